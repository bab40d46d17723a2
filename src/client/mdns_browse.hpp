// What one browse learns from the link, free of sockets and threads: the
// chain PTR -> SRV -> A/AAAA of every instance of one service type, the
// follow-up questions it still needs, and one resolution per instance once
// its addresses had a moment to come in. The querier feeds it datagrams
// from responders on the link; the fuzz target feeds it anything.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "client/dnssd.hpp"
#include "net/mdns_socket.hpp"
#include "net/mdns_wire.hpp"

namespace tq::dnssd {

// What one browse keeps, whatever the link sends: a host that answers with
// thousands of names, or with an address list without end, costs a bounded
// amount of memory and work, and the scan a bounded number of connections.
inline constexpr size_t kMaxInstances = 1024;
inline constexpr size_t kMaxAddresses = 16;

// How many distinct things were dropped, without keeping every one of them:
// only the hashes of the first kRemembered, and after that the count is a
// lower bound.
class DropCount {
public:
    void add(std::string_view key);
    // "3976", or "more than 16384" once the count stopped being exact.
    std::string text() const;
    size_t size() const { return seen_.size(); }

private:
    static constexpr size_t kRemembered = 16384;
    std::unordered_set<size_t> seen_;
    bool saturated_ = false;
};

class Browse {
public:
    using Clock = std::chrono::steady_clock;
    using Emit = std::function<void(ServiceEvent)>;

    // `service` is the type's full name ("_px-command-api._tcp.local");
    // legacy replies must carry `query_id` and echo a question we asked.
    Browse(wire::Name service, uint16_t query_id, std::chrono::milliseconds settle, Emit emit);

    // Where a message arrived: the legacy query socket gets replies to our
    // own questions only; the group socket gets whatever responders multicast.
    enum class Via : uint8_t { Legacy, Group };
    // One datagram from a responder on the link (the caller checked its
    // source) that arrived on `interface`.
    void received(std::span<const uint8_t> message, Via via, unsigned interface, Clock::time_point now,
                  std::span<const LinkPrefix> links = {});

    struct Question {
        wire::Name name;
        uint16_t type = 0;
        unsigned interface = 0;  // where what prompted it arrived
    };
    // Questions owed since the last call: SRV records of instances only
    // named so far, addresses of hosts that have none of a family (or came
    // in a message cut short). Each is asked once per browse.
    std::vector<Question> take_follow_ups();
    // The instances already reported, as PTR targets: the known answers of
    // a repeated question.
    std::vector<wire::Response::Ptr> known_answers() const;

    // Reports the instances whose addresses have settled by `now`.
    void report_due(Clock::time_point now);
    std::optional<Clock::time_point> next_due() const;
    // The end of the browse: what has an address but was still settling is
    // reported with what it has, then the lines about dropped records.
    void finish();

    const wire::Name& service() const { return service_; }
    uint16_t query_id() const { return query_id_; }
    size_t instance_count() const { return instances_.size(); }

private:
    struct Host {
        wire::Name name;  // as the first SRV record spelled it
        std::vector<ServiceAddress> addresses;
        size_t users = 0;
        bool asked_v4 = false;
        bool asked_v6 = false;
        bool incomplete = false;  // seen in a message cut short
        unsigned interface = 0;
    };
    struct Instance {
        std::string label;
        size_t serial = 0;  // which admission this is, should the label come back after a goodbye
        bool has_srv = false;
        std::string host;  // lower-case key into hosts_
        uint16_t port = 0;
        uint32_t ptr_ttl = 0;
        unsigned interface = 0;
        bool asked_srv = false;
        bool settling = false;
        bool reported = false;
        bool changed_after_report = false;
    };

    bool asked(const wire::Echo& echo) const;
    Instance* instance_named(const std::string& label, unsigned interface);
    void remove(const std::string& label);
    void set_srv(Instance& instance, const wire::Name& host, uint16_t port, Clock::time_point now);
    void release_host(Instance& instance);
    // True when the host gained an address.
    bool address_seen(const std::string& host, const ServiceAddress& address, bool withdrawn);
    void arm(Instance& instance, Clock::time_point now);
    // Its SRV record and at least one address of its host are in.
    bool resolvable(const Instance& instance) const;
    void report(Instance& instance);

    const wire::Name service_;
    const uint16_t query_id_;
    const std::chrono::milliseconds settle_;
    const Emit emit_;
    std::map<std::string, Instance> instances_;  // by label as sent
    std::unordered_map<std::string, Host> hosts_;
    struct Settling {
        Clock::time_point due;
        std::string label;
        size_t serial = 0;
    };
    std::deque<Settling> settling_;  // in order of their due time: the settle time is one for all
    std::vector<std::string> owed_srv_;
    std::vector<std::string> owed_hosts_;
    size_t admitted_ = 0;  // instances made in this browse, removed ones included
    size_t changed_after_report_ = 0;
    DropCount dropped_instances_;
    DropCount dropped_addresses_;
};

}  // namespace tq::dnssd
