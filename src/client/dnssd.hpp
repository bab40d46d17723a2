// The DNS-SD facilities discovery uses, and nothing more: a daemon running on
// its own thread, one browse that delivers service events into a channel, and
// shutdown. The scan depends on this interface only; the libavahi-core
// implementation lives in avahi_dnssd.cpp.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

#include <netinet/in.h>

#include "net/address.hpp"

namespace tq::dnssd {

enum class EventKind : uint8_t { SearchStarted, ServiceFound, ServiceResolved, ServiceRemoved, SearchStopped };

struct ServiceEvent {
    EventKind kind = EventKind::SearchStarted;
    // instance_name is set for every kind but the search events; addresses and
    // port only for ServiceResolved.
    ResolvedService service;
};

// Unbounded, many senders, one receiver. Closing disconnects it: whatever was
// queued before is still received, then receive() reports the end.
class EventChannel {
public:
    // False (and the event dropped) once the channel is closed.
    bool send(ServiceEvent event);
    // Blocks until an event is queued or the channel is closed and drained;
    // nullopt means disconnected.
    std::optional<ServiceEvent> receive();
    void close();
    bool closed() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<ServiceEvent> queue_;
    bool closed_ = false;
};

enum class Failure : uint8_t { CreateDaemon, Browse, Shutdown };

class ServiceDaemon {
public:
    virtual ~ServiceDaemon() = default;

    // Starts browsing a service type given as a fully qualified name such as
    // "_px-command-api._tcp.local.". One browse per daemon.
    virtual tl::expected<std::shared_ptr<EventChannel>, Failure> browse(std::string_view service_type) = 0;
    // Stops the daemon's thread. Resolutions still settling are delivered,
    // then the browse channel is closed. Calling it again does nothing.
    virtual tl::expected<void, Failure> shutdown() = 0;
};

struct DaemonOptions {
    // Addresses of one instance keep arriving for a few milliseconds (one
    // answer per interface and transport); they are gathered for this long
    // after the instance first resolves and then reported as one event.
    std::chrono::milliseconds settle{30};
    // Asks the network once, with a unicast-response question, as soon as the
    // browse starts instead of waiting for the library's own first query.
    bool ask_at_browse_start = true;
};

using DaemonResult = tl::expected<std::unique_ptr<ServiceDaemon>, Failure>;

// A browse-only libavahi-core server bound to UDP 5353, sharing the port with
// any other mDNS stack on the host. Its library log is discarded.
DaemonResult create_daemon(const DaemonOptions& options = {});

// Splits "_px-command-api._tcp.local." into the service type and the domain
// ("_px-command-api._tcp", "local"). Nullopt if no domain can be split off.
struct ServiceTypeName {
    std::string type;
    std::string domain;
};
std::optional<ServiceTypeName> split_service_type(std::string_view fully_qualified);

// A DNS query message with one PTR question for `name` (dotted, without the
// trailing dot), with the unicast-response bit set when asked.
std::vector<uint8_t> encode_ptr_question(std::string_view name, bool unicast_response);

// Sends that question for `name` from UDP port 5353 to the mDNS group on
// every interface that is up and can carry it (IPv4 on loopback too, IPv6 on
// multicast interfaces). Returns the number of datagrams sent; failures are
// not errors, the library's own query follows anyway.
size_t send_ptr_question(std::string_view name, bool unicast_response);

// An interface mDNS can use: IPv4 ones that are up with multicast or
// loopback (with their first IPv4 address, the source of what is sent),
// IPv6 ones that are up with multicast.
struct LinkInterface {
    unsigned index = 0;
    in_addr v4_address{};
};
std::vector<LinkInterface> mdns_interfaces(int family);
bool send_to_group(int fd, int family, const LinkInterface& via, std::span<const uint8_t> message);

// One address prefix of an interface that is up.
struct LinkPrefix {
    unsigned index = 0;
    bool loopback = false;
    int family = 0;  // AF_INET or AF_INET6
    std::array<uint8_t, 16> address{};
    std::array<uint8_t, 16> mask{};
};
std::vector<LinkPrefix> link_prefixes();

// Whether a datagram that arrived on interface `arrival` may be a
// responder's reply: sent from UDP port 5353 (responders answer from no
// other), by a host on that interface's link (its source inside one of the
// interface's prefixes) or by this host (anything arriving on loopback).
// A host further away, or one faking another link's addresses, is not
// heard.
bool from_responder_on_link(const sockaddr_storage& from, unsigned arrival, std::span<const LinkPrefix> links);

// A socket for legacy unicast queries (RFC 6762, 6.7): from a port other
// than 5353, so responders answer at once, by unicast, to this socket.
// Wildcard address, a port of the kernel's choosing, arrival interface
// reported (IP_PKTINFO / IPV6_RECVPKTINFO), non-blocking. -1 on failure.
int open_legacy_query_socket(int family);

}  // namespace tq::dnssd
