// The DNS-SD daemon over libavahi-core: no avahi-daemon, no D-Bus. A
// browse-only server runs on the library's threaded poll; every callback
// below runs on that thread with the poll lock held, so none of them may block
// or stop the poll.
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <avahi-core/core.h>
#include <avahi-core/lookup.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "client/dnssd.hpp"
#include "client/dnssd_wire.hpp"
#include "client/error.hpp"
#include "net/avahi.hpp"

namespace tq::dnssd {

namespace {

// What one browse keeps, whatever the link sends: a host that answers with
// thousands of names, or with an address list without end, costs a bounded
// amount of memory and of work for the library (a resolver and two record
// browsers per instance) and for the scan (a connection per resolution).
constexpr size_t kMaxInstances = 1024;
constexpr size_t kMaxAddresses = 16;
// Datagrams read from a query socket per wake-up of the poll thread; the
// rest wait for the next one, so a flood cannot keep the thread from
// seeing a request to stop.
constexpr int kMaxDatagramsPerWakeUp = 32;
// The largest mDNS message (RFC 6762, 17); anything longer arrives cut.
constexpr size_t kMaxDatagram = 9000;

// How many distinct things were dropped, without keeping every one of them:
// only the hashes of the first kRemembered, and after that the count is a
// lower bound.
class DropCount {
public:
    void add(std::string_view key) {
        if (seen_.size() >= kRemembered) {
            saturated_ = saturated_ || seen_.find(std::hash<std::string_view>{}(key)) == seen_.end();
            return;
        }
        seen_.insert(std::hash<std::string_view>{}(key));
    }
    // "3976", or "more than 16384" once the count stopped being exact.
    std::string text() const {
        return saturated_ ? "more than " + std::to_string(seen_.size()) : std::to_string(seen_.size());
    }
    bool any() const { return !seen_.empty(); }
    size_t size() const { return seen_.size(); }

private:
    static constexpr size_t kRemembered = 16384;
    std::unordered_set<size_t> seen_;
    bool saturated_ = false;
};

const char* plural(size_t n) {
    return n == 1 ? "" : "s";
}

// Host names compare without regard to ASCII case; this is the form they
// are matched in.
std::string host_key(const wire::Name& name) {
    std::string key = wire::join_name(name);
    std::transform(key.begin(), key.end(), key.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return key;
}

class AvahiDaemon;

// The address families an answer already carried for a host: those need no
// browse of their own.
struct Carried {
    bool v4 = false;
    bool v6 = false;
};

// One service instance as the browser sees it. The browser reports it once
// per interface and transport; the scan wants one resolution with every
// address, so the sightings are merged here.
struct Instance {
    AvahiDaemon* daemon = nullptr;
    std::string name;
    std::set<std::pair<AvahiIfIndex, AvahiProtocol>> sightings;
    AvahiSServiceResolver* resolver = nullptr;
    bool resolved = false;
    std::string host;
    std::string host_key;  // the host in lower case, for matching address records
    uint16_t port = 0;
    // The resolver yields a single address; the host's A and AAAA records,
    // browsed on every interface, give the whole set (but for a family an
    // answer to our own question carried with the SRV record).
    AvahiSRecordBrowser* a_browser = nullptr;
    AvahiSRecordBrowser* aaaa_browser = nullptr;
    std::vector<ServiceAddress> addresses;
    AvahiTimeout* settle = nullptr;
    bool settling = false;
    // Reported once per browse: later SRV changes are not news for the scan
    // (a host flipping the port every few milliseconds would otherwise make
    // a resolution, and a connection, per settle time).
    bool reported = false;
    bool changed_after_report = false;
    bool asked_for_srv = false;
};

// A socket of our own for legacy unicast queries, watched by the poll.
struct QuerySocket {
    int family = 0;
    int fd = -1;
    AvahiWatch* watch = nullptr;
};

class AvahiDaemon final : public ServiceDaemon {
public:
    explicit AvahiDaemon(const DaemonOptions& options) : options_(options) {}
    AvahiDaemon(const AvahiDaemon&) = delete;
    AvahiDaemon& operator=(const AvahiDaemon&) = delete;
    ~AvahiDaemon() override { (void)shutdown(); }

    bool start();
    // Answers to our own questions carry it back; anything else is ignored.
    void set_query_id(uint16_t id) { query_id_ = id; }
    tl::expected<std::shared_ptr<EventChannel>, Failure> browse(std::string_view service_type) override;
    tl::expected<void, Failure> shutdown() override;

private:
    static void on_server(AvahiServer*, AvahiServerState, void*) {}
    static void on_browse(AvahiSServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                          AvahiBrowserEvent event, const char* name, const char*, const char*, AvahiLookupResultFlags,
                          void* self);
    static void on_resolve(AvahiSServiceResolver*, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event, const char*,
                           const char*, const char*, const char* host, const AvahiAddress*, uint16_t port,
                           AvahiStringList*, AvahiLookupResultFlags, void* instance);
    static void on_address(AvahiSRecordBrowser*, AvahiIfIndex interface, AvahiProtocol, AvahiBrowserEvent event,
                           AvahiRecord* record, AvahiLookupResultFlags, void* instance);
    static void on_settled(AvahiTimeout*, void* instance);
    static void on_query_answer(AvahiWatch*, int fd, AvahiWatchEvent, void* self);

    void ask_directly();
    void read_answers(const QuerySocket& socket);
    bool asked(const wire::Echo& echo) const;
    void answered(const wire::Response& answer, const QuerySocket& socket, unsigned interface);
    void ask_for_srv(const QuerySocket& socket, unsigned interface, const Instance& instance);
    // Nullptr once the browse holds kMaxInstances: the name is dropped.
    Instance* instance_named(const std::string& name);
    void write_drop_lines() const;

    void sighted(AvahiIfIndex interface, AvahiProtocol protocol, const std::string& name);
    void lost(AvahiIfIndex interface, AvahiProtocol protocol, const std::string& name);
    void resolved(Instance& instance, const char* host, uint16_t port, Carried carried = {});
    void address_seen(Instance& instance, const ServiceAddress& address, bool added);
    void arm_settle(Instance& instance);
    void report(Instance& instance);
    void browse_host(Instance& instance, Carried carried);
    void release_host(Instance& instance);
    void release(Instance& instance);

    const DaemonOptions options_;
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiServer* server_ = nullptr;
    AvahiSServiceBrowser* browser_ = nullptr;
    std::shared_ptr<EventChannel> channel_;
    std::string type_;
    std::string domain_;
    wire::Name service_;
    std::map<std::string, std::unique_ptr<Instance>> instances_;
    size_t admitted_ = 0;  // instances made in this browse, removed ones included
    DropCount dropped_instances_;
    DropCount dropped_addresses_;
    size_t changed_after_report_ = 0;  // instances
    std::vector<QuerySocket> query_sockets_;
    // Taken when the browse starts: where questions go, and which sources
    // a reply may come from.
    std::vector<LinkPrefix> links_;
    std::vector<LinkInterface> group_v4_;
    std::vector<LinkInterface> group_v6_;
    std::vector<uint8_t> datagram_;
    uint16_t query_id_ = 0;
    bool running_ = false;
    bool stopped_ = false;
};

bool AvahiDaemon::start() {
    poll_ = avahi_threaded_poll_new();
    if (poll_ == nullptr) return false;

    AvahiServerConfig config;
    avahi_server_config_init(&config);
    // Browse only: no host name to probe, nothing announced, only queries.
    config.publish_hinfo = 0;
    config.publish_addresses = 0;
    config.publish_workstation = 0;
    config.publish_domain = 0;
    config.disable_publishing = 1;
    config.enable_wide_area = 0;
    // Keeps address reuse on the sockets, so another mDNS stack on the host
    // and this server share UDP 5353.
    config.disallow_other_stacks = 0;
    int error = 0;
    server_ = avahi_server_new(avahi_threaded_poll_get(poll_), &config, on_server, this, &error);
    avahi_server_config_free(&config);
    if (server_ == nullptr) return false;

    if (avahi_threaded_poll_start(poll_) < 0) return false;
    running_ = true;
    return true;
}

tl::expected<std::shared_ptr<EventChannel>, Failure> AvahiDaemon::browse(std::string_view service_type) {
    if (stopped_ || browser_ != nullptr) return tl::unexpected(Failure::Browse);
    const auto name = split_service_type(service_type);
    if (!name) return tl::unexpected(Failure::Browse);
    type_ = name->type;
    domain_ = name->domain;
    service_ = wire::split_name(type_ + "." + domain_);
    channel_ = std::make_shared<EventChannel>();
    if (options_.ask_at_browse_start) {
        links_ = link_prefixes();
        group_v4_ = mdns_interfaces(AF_INET);
        group_v6_ = mdns_interfaces(AF_INET6);
        datagram_.resize(kMaxDatagram);
    }

    avahi_threaded_poll_lock(poll_);
    browser_ = avahi_s_service_browser_new(server_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type_.c_str(), domain_.c_str(),
                                           AvahiLookupFlags(0), on_browse, this);
    if (browser_ != nullptr && options_.ask_at_browse_start) {
        const AvahiPoll* api = avahi_threaded_poll_get(poll_);
        for (const int family : {AF_INET, AF_INET6}) {
            QuerySocket socket{family, open_legacy_query_socket(family), nullptr};
            if (socket.fd < 0) continue;
            socket.watch = api->watch_new(api, socket.fd, AVAHI_WATCH_IN, on_query_answer, this);
            if (socket.watch == nullptr) {
                ::close(socket.fd);
                continue;
            }
            query_sockets_.push_back(socket);
        }
    }
    avahi_threaded_poll_unlock(poll_);
    if (browser_ == nullptr) {
        channel_.reset();
        return tl::unexpected(Failure::Browse);
    }
    channel_->send(ServiceEvent{EventKind::SearchStarted, {}});
    if (options_.ask_at_browse_start) {
        // The library holds its first query back for 100 ms and responders
        // delay a multicast answer by 20 to 120 ms more: longer than a short
        // scan. So we ask at once, twice over. The unicast-response question
        // from port 5353 gets past responders that suppress a multicast
        // answer they sent moments ago (to a previous scan, or their own
        // announcement), and its answers land in the server's cache where
        // the browser just created finds them. The legacy unicast question
        // is answered at once, by unicast, with the instances and as many of
        // their records as fit; we read those answers ourselves.
        send_ptr_question(type_ + "." + domain_, true);
        ask_directly();
    }
    return channel_;
}

tl::expected<void, Failure> AvahiDaemon::shutdown() {
    if (stopped_) return {};
    stopped_ = true;
    bool stopped_cleanly = true;
    if (running_) {
        // Joins the poll thread; from here on no callback runs. (It returns
        // a positive value on success in this library version: only a
        // negative one is a failure.)
        stopped_cleanly = avahi_threaded_poll_stop(poll_) >= 0;
        running_ = false;
    }
    // What resolved during the wait but is still gathering addresses is
    // delivered with what it has, ahead of the disconnection.
    for (auto& [name, instance] : instances_) {
        if (instance->resolved && !instance->reported && !instance->addresses.empty()) report(*instance);
        release(*instance);
    }
    write_drop_lines();
    instances_.clear();
    if (browser_ != nullptr) avahi_s_service_browser_free(browser_);
    browser_ = nullptr;
    for (const QuerySocket& socket : query_sockets_) {
        const AvahiPoll* api = avahi_threaded_poll_get(poll_);
        if (socket.watch != nullptr) api->watch_free(socket.watch);
        ::close(socket.fd);
    }
    query_sockets_.clear();
    if (server_ != nullptr) avahi_server_free(server_);
    server_ = nullptr;
    if (poll_ != nullptr) avahi_threaded_poll_free(poll_);
    poll_ = nullptr;
    if (channel_) {
        channel_->send(ServiceEvent{EventKind::SearchStopped, {}});
        channel_->close();
    }
    if (!stopped_cleanly) return tl::unexpected(Failure::Shutdown);
    return {};
}

void AvahiDaemon::on_browse(AvahiSServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                            AvahiBrowserEvent event, const char* name, const char*, const char*, AvahiLookupResultFlags,
                            void* self) {
    auto* daemon = static_cast<AvahiDaemon*>(self);
    if (name == nullptr) return;
    if (event == AVAHI_BROWSER_NEW) daemon->sighted(interface, protocol, name);
    if (event == AVAHI_BROWSER_REMOVE) daemon->lost(interface, protocol, name);
}

Instance* AvahiDaemon::instance_named(const std::string& name) {
    const auto it = instances_.find(name);
    if (it != instances_.end()) return it->second.get();
    if (admitted_ >= kMaxInstances) {
        dropped_instances_.add(name);
        return nullptr;
    }
    ++admitted_;
    auto& slot = instances_[name];
    slot = std::make_unique<Instance>();
    slot->daemon = this;
    slot->name = name;
    channel_->send(ServiceEvent{EventKind::ServiceFound, ResolvedService{name, {}, 0}});
    return slot.get();
}

void AvahiDaemon::write_drop_lines() const {
    if (dropped_instances_.any()) {
        write_stdout_line("Dropped " + dropped_instances_.text() + " DNS-SD service instance" +
                          plural(dropped_instances_.size()) + " beyond the first " + std::to_string(kMaxInstances) +
                          " of this scan");
    }
    if (dropped_addresses_.any()) {
        write_stdout_line(
            "Dropped " + dropped_addresses_.text() + " address" + (dropped_addresses_.size() == 1 ? "" : "es") +
            " of DNS-SD service instances beyond the first " + std::to_string(kMaxAddresses) + " of each");
    }
    const size_t changing = changed_after_report_;
    if (changing > 0) {
        write_stdout_line("Reported " + std::to_string(changing) + " DNS-SD service instance" + plural(changing) +
                          " once although its SRV record kept changing");
    }
}

void AvahiDaemon::sighted(AvahiIfIndex interface, AvahiProtocol protocol, const std::string& name) {
    Instance* found = instance_named(name);
    if (found == nullptr) return;
    Instance& instance = *found;
    instance.sightings.emplace(interface, protocol);
    // Resolved by an answer to our own question already: a resolver would
    // only tell the same again.
    if (instance.resolver != nullptr || instance.resolved) return;
    // The text record is not used and the addresses come from the host
    // browsers, so the resolver is done as soon as the SRV record is in.
    instance.resolver = avahi_s_service_resolver_new(
        server_, interface, protocol, name.c_str(), type_.c_str(), domain_.c_str(), AVAHI_PROTO_UNSPEC,
        AvahiLookupFlags(AVAHI_LOOKUP_NO_TXT | AVAHI_LOOKUP_NO_ADDRESS), on_resolve, &instance);
}

void AvahiDaemon::lost(AvahiIfIndex interface, AvahiProtocol protocol, const std::string& name) {
    const auto it = instances_.find(name);
    if (it == instances_.end()) return;
    it->second->sightings.erase({interface, protocol});
    if (!it->second->sightings.empty()) return;
    // Gone everywhere: a later sighting is a new resolution with its own event.
    release(*it->second);
    instances_.erase(it);
    channel_->send(ServiceEvent{EventKind::ServiceRemoved, ResolvedService{name, {}, 0}});
}

void AvahiDaemon::on_resolve(AvahiSServiceResolver*, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event, const char*,
                             const char*, const char*, const char* host, const AvahiAddress*, uint16_t port,
                             AvahiStringList*, AvahiLookupResultFlags, void* instance) {
    // A failure is the library giving up for now; it keeps listening and
    // reports FOUND if the records appear later.
    if (event != AVAHI_RESOLVER_FOUND || host == nullptr) return;
    auto* in = static_cast<Instance*>(instance);
    in->daemon->resolved(*in, host, port);
}

void AvahiDaemon::resolved(Instance& instance, const char* host, uint16_t port, Carried carried) {
    // Our own answers and the library's may spell the host in other cases.
    const bool host_changed =
        !instance.resolved || !wire::same_name(wire::split_name(instance.host), wire::split_name(host));
    if (instance.resolved && !host_changed && instance.port == port) return;  // same data again
    if (instance.reported) {
        if (!instance.changed_after_report) ++changed_after_report_;
        instance.changed_after_report = true;
        return;
    }
    if (host_changed) {
        release_host(instance);
        instance.addresses.clear();
        instance.host = host;
        instance.host_key = host_key(wire::split_name(host));
    }
    instance.port = port;
    instance.resolved = true;
    if (host_changed) {
        browse_host(instance, carried);
    } else if (!instance.addresses.empty()) {
        arm_settle(instance);
    }
}

void AvahiDaemon::browse_host(Instance& instance, Carried carried) {
    const auto browse = [&](uint16_t type) -> AvahiSRecordBrowser* {
        AvahiKey* key = avahi_key_new(instance.host.c_str(), AVAHI_DNS_CLASS_IN, type);
        if (key == nullptr) return nullptr;
        AvahiSRecordBrowser* browser = avahi_s_record_browser_new(server_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, key,
                                                                  AVAHI_LOOKUP_USE_MULTICAST, on_address, &instance);
        avahi_key_unref(key);
        return browser;
    };
    // Each browse costs the library's poll thread work that grows with the
    // browses already running (most of it comparing names): with 200
    // devices that kept the thread from reading answers 15 to 30 ms at a
    // time, and a 100 ms scan missed a quarter of them. So a family the SRV
    // record's own answer carried is not browsed.
    if (!carried.v4) instance.a_browser = browse(AVAHI_DNS_TYPE_A);
    if (!carried.v6) instance.aaaa_browser = browse(AVAHI_DNS_TYPE_AAAA);
}

void AvahiDaemon::on_address(AvahiSRecordBrowser*, AvahiIfIndex interface, AvahiProtocol, AvahiBrowserEvent event,
                             AvahiRecord* record, AvahiLookupResultFlags, void* instance) {
    if ((event != AVAHI_BROWSER_NEW && event != AVAHI_BROWSER_REMOVE) || record == nullptr) return;
    AvahiAddress address{};
    if (record->key->type == AVAHI_DNS_TYPE_A) {
        address.proto = AVAHI_PROTO_INET;
        address.data.ipv4 = record->data.a.address;
    } else if (record->key->type == AVAHI_DNS_TYPE_AAAA) {
        address.proto = AVAHI_PROTO_INET6;
        address.data.ipv6 = record->data.aaaa.address;
    } else {
        return;
    }
    const auto converted = avahi::to_service_address(address, interface);
    if (!converted) return;
    auto* in = static_cast<Instance*>(instance);
    in->daemon->address_seen(*in, *converted, event == AVAHI_BROWSER_NEW);
}

void AvahiDaemon::address_seen(Instance& instance, const ServiceAddress& address, bool added) {
    // Once reported, the resolution stands; late addresses do not make a
    // second event for the same data.
    if (instance.reported) return;
    auto& set = instance.addresses;
    const auto it = std::find(set.begin(), set.end(), address);
    if (added && it == set.end()) {
        if (set.size() >= kMaxAddresses) {
            std::string key = instance.name;
            key.push_back('\0');
            key.append(address.to_string());
            dropped_addresses_.add(key);
            return;
        }
        set.push_back(address);
    }
    if (!added && it != set.end()) set.erase(it);
    if (instance.resolved && !set.empty()) arm_settle(instance);
}

void AvahiDaemon::arm_settle(Instance& instance) {
    if (instance.settling) return;
    timeval when{};
    avahi_elapse_time(&when, static_cast<unsigned>(options_.settle.count()), 0);
    const AvahiPoll* api = avahi_threaded_poll_get(poll_);
    if (instance.settle == nullptr) {
        instance.settle = api->timeout_new(api, &when, on_settled, &instance);
        if (instance.settle == nullptr) return report(instance);
    } else {
        api->timeout_update(instance.settle, &when);
    }
    instance.settling = true;
}

void AvahiDaemon::on_settled(AvahiTimeout*, void* instance) {
    auto* in = static_cast<Instance*>(instance);
    in->settling = false;
    if (in->resolved && !in->reported && !in->addresses.empty()) in->daemon->report(*in);
}

void AvahiDaemon::report(Instance& instance) {
    instance.reported = true;
    channel_->send(
        ServiceEvent{EventKind::ServiceResolved, ResolvedService{instance.name, instance.addresses, instance.port}});
}

void AvahiDaemon::ask_directly() {
    const std::vector<uint8_t> question = wire::encode_question(query_id_, service_, wire::kTypePtr, false);
    if (question.empty()) return;
    for (const QuerySocket& socket : query_sockets_) {
        for (const LinkInterface& via : socket.family == AF_INET ? group_v4_ : group_v6_) {
            send_to_group(socket.fd, socket.family, via, question);
        }
    }
}

void AvahiDaemon::on_query_answer(AvahiWatch*, int fd, AvahiWatchEvent, void* self) {
    auto* daemon = static_cast<AvahiDaemon*>(self);
    for (const QuerySocket& socket : daemon->query_sockets_) {
        if (socket.fd == fd) return daemon->read_answers(socket);
    }
}

// Anyone on the link can send to this socket, and knows its port from the
// question we multicast. So the cheap checks come first and the message is
// read only once it is a reply, from a responder on the link, to a question
// we asked.
void AvahiDaemon::read_answers(const QuerySocket& socket) {
    alignas(cmsghdr) char control[256];
    for (int datagrams = 0; datagrams < kMaxDatagramsPerWakeUp; ++datagrams) {
        sockaddr_storage from{};
        iovec io{datagram_.data(), datagram_.size()};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(socket.fd, &message, MSG_DONTWAIT);
        if (n < 0) return;  // drained
        if ((message.msg_flags & MSG_TRUNC) != 0) continue;
        unsigned interface = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                interface = static_cast<unsigned>(info.ipi_ifindex);
            } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
                in6_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                interface = info.ipi6_ifindex;
            }
        }
        if (!from_responder_on_link(from, interface, links_)) continue;
        const std::span<const uint8_t> bytes(datagram_.data(), static_cast<size_t>(n));
        const auto echo = wire::echoed_question(bytes);
        if (!echo || !asked(*echo)) continue;
        if (const auto answer = wire::parse_response(bytes)) answered(*answer, socket, interface);
    }
}

bool AvahiDaemon::asked(const wire::Echo& echo) const {
    if (echo.id != query_id_) return false;
    if (echo.type == wire::kTypePtr) return wire::same_name(echo.name, service_);
    if (echo.type != wire::kTypeSrv) return false;
    const auto label = wire::child_label(echo.name, service_);
    if (!label) return false;
    const auto it = instances_.find(*label);
    return it != instances_.end() && it->second->asked_for_srv;
}

void AvahiDaemon::answered(const wire::Response& answer, const QuerySocket& socket, unsigned interface) {
    std::vector<Instance*> named;
    for (const auto& ptr : answer.ptrs) {
        if (!wire::same_name(ptr.owner, service_)) continue;
        const auto label = wire::child_label(ptr.target, service_);
        if (!label) continue;
        if (Instance* instance = instance_named(*label)) named.push_back(instance);
    }
    // One pass over the instances, whatever the number of records.
    std::unordered_multimap<std::string, ServiceAddress> by_host;
    for (const auto& record : answer.addresses) {
        ServiceAddress address = record.address;
        if (address.family == ServiceAddress::Family::V6) address.interface_index = interface;
        by_host.emplace(host_key(record.owner), address);
    }
    for (const auto& srv : answer.srvs) {
        const auto label = wire::child_label(srv.owner, service_);
        if (!label) continue;
        Instance* instance = instance_named(*label);
        if (instance == nullptr) continue;
        // A reply cut short may have lost some of the host's addresses.
        Carried carried;
        if (!answer.truncated) {
            const auto [first, last] = by_host.equal_range(host_key(srv.target));
            for (auto it = first; it != last; ++it) {
                (it->second.family == ServiceAddress::Family::V4 ? carried.v4 : carried.v6) = true;
            }
        }
        resolved(*instance, wire::join_name(srv.target).c_str(), srv.port, carried);
    }
    if (!by_host.empty()) {
        for (auto& [name, instance] : instances_) {
            if (!instance->resolved) continue;
            const auto [first, last] = by_host.equal_range(instance->host_key);
            for (auto it = first; it != last; ++it) address_seen(*instance, it->second, true);
        }
    }
    for (Instance* instance : named) {
        if (instance->resolved) continue;
        // Should our answers stop short, the library resolves it.
        if (instance->resolver == nullptr) {
            instance->resolver = avahi_s_service_resolver_new(
                server_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, instance->name.c_str(), type_.c_str(), domain_.c_str(),
                AVAHI_PROTO_UNSPEC, AvahiLookupFlags(AVAHI_LOOKUP_NO_TXT | AVAHI_LOOKUP_NO_ADDRESS), on_resolve,
                instance);
        }
        // A legacy answer holds at most 512 bytes: with many instances it
        // names them without their records. Ask for each, by multicast like
        // any question: a reply's source address is whatever its sender
        // wrote, and a question sent there would let anyone aim our traffic
        // at any host.
        if (instance->asked_for_srv) continue;
        instance->asked_for_srv = true;
        ask_for_srv(socket, interface, *instance);
    }
}

void AvahiDaemon::ask_for_srv(const QuerySocket& socket, unsigned interface, const Instance& instance) {
    wire::Name name = service_;
    name.insert(name.begin(), instance.name);
    const auto question = wire::encode_question(query_id_, name, wire::kTypeSrv, false);
    if (question.empty()) return;
    const auto& group = socket.family == AF_INET ? group_v4_ : group_v6_;
    // On the link the answer came from; a responder on this host may have
    // answered over loopback, where IPv6 multicast cannot go: then on every
    // link, which all reach this host too.
    const auto via =
        std::find_if(group.begin(), group.end(), [&](const LinkInterface& i) { return i.index == interface; });
    if (via != group.end()) {
        send_to_group(socket.fd, socket.family, *via, question);
        return;
    }
    for (const LinkInterface& each : group) send_to_group(socket.fd, socket.family, each, question);
}

void AvahiDaemon::release_host(Instance& instance) {
    if (instance.a_browser != nullptr) avahi_s_record_browser_free(instance.a_browser);
    if (instance.aaaa_browser != nullptr) avahi_s_record_browser_free(instance.aaaa_browser);
    instance.a_browser = nullptr;
    instance.aaaa_browser = nullptr;
}

void AvahiDaemon::release(Instance& instance) {
    release_host(instance);
    if (instance.resolver != nullptr) avahi_s_service_resolver_free(instance.resolver);
    instance.resolver = nullptr;
    if (instance.settle != nullptr) {
        const AvahiPoll* api = avahi_threaded_poll_get(poll_);
        api->timeout_free(instance.settle);
    }
    instance.settle = nullptr;
    instance.settling = false;
}

}  // namespace

DaemonResult create_daemon(const DaemonOptions& options) {
    avahi::silence_library_log();
    auto daemon = std::make_unique<AvahiDaemon>(options);
    daemon->set_query_id(static_cast<uint16_t>(std::random_device{}() | 1));
    if (!daemon->start()) return tl::unexpected(Failure::CreateDaemon);
    return std::unique_ptr<ServiceDaemon>(std::move(daemon));
}

}  // namespace tq::dnssd
