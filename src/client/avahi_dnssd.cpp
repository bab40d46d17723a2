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
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>

#include "client/avahi_support.hpp"
#include "client/dnssd.hpp"
#include "client/dnssd_wire.hpp"

namespace tq::dnssd {

namespace {

class AvahiDaemon;

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
    uint16_t port = 0;
    // The resolver yields a single address; the host's A and AAAA records,
    // browsed on every interface, give the whole set.
    AvahiSRecordBrowser* a_browser = nullptr;
    AvahiSRecordBrowser* aaaa_browser = nullptr;
    std::vector<ServiceAddress> addresses;
    AvahiTimeout* settle = nullptr;
    bool settling = false;
    bool reported = false;
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
    void answered(const wire::Response& answer, unsigned interface, int fd, const sockaddr_storage& from,
                  socklen_t from_size);
    Instance& instance_named(const std::string& name);

    void sighted(AvahiIfIndex interface, AvahiProtocol protocol, const std::string& name);
    void lost(AvahiIfIndex interface, AvahiProtocol protocol, const std::string& name);
    void resolved(Instance& instance, const char* host, uint16_t port);
    void address_seen(Instance& instance, const ServiceAddress& address, bool added);
    void arm_settle(Instance& instance);
    void report(Instance& instance);
    void browse_host(Instance& instance);
    void release_host(Instance& instance);
    void release(Instance& instance);

    const DaemonOptions options_;
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiServer* server_ = nullptr;
    AvahiSServiceBrowser* browser_ = nullptr;
    std::shared_ptr<EventChannel> channel_;
    std::string type_;
    std::string domain_;
    std::map<std::string, std::unique_ptr<Instance>> instances_;
    std::vector<QuerySocket> query_sockets_;
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
    channel_ = std::make_shared<EventChannel>();

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

Instance& AvahiDaemon::instance_named(const std::string& name) {
    auto& slot = instances_[name];
    if (!slot) {
        slot = std::make_unique<Instance>();
        slot->daemon = this;
        slot->name = name;
        channel_->send(ServiceEvent{EventKind::ServiceFound, ResolvedService{name, {}, 0}});
    }
    return *slot;
}

void AvahiDaemon::sighted(AvahiIfIndex interface, AvahiProtocol protocol, const std::string& name) {
    Instance& instance = instance_named(name);
    instance.sightings.emplace(interface, protocol);
    if (instance.resolver != nullptr) return;
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

void AvahiDaemon::resolved(Instance& instance, const char* host, uint16_t port) {
    // Our own answers and the library's may spell the host in other cases.
    const bool host_changed =
        !instance.resolved || !wire::same_name(wire::split_name(instance.host), wire::split_name(host));
    if (instance.resolved && !host_changed && instance.port == port) return;  // same data again
    if (host_changed) {
        release_host(instance);
        instance.addresses.clear();
        instance.host = host;
    }
    instance.port = port;
    instance.resolved = true;
    instance.reported = false;
    if (host_changed) {
        browse_host(instance);
    } else if (!instance.addresses.empty()) {
        arm_settle(instance);
    }
}

void AvahiDaemon::browse_host(Instance& instance) {
    const auto browse = [&](uint16_t type) -> AvahiSRecordBrowser* {
        AvahiKey* key = avahi_key_new(instance.host.c_str(), AVAHI_DNS_CLASS_IN, type);
        if (key == nullptr) return nullptr;
        AvahiSRecordBrowser* browser = avahi_s_record_browser_new(server_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, key,
                                                                  AVAHI_LOOKUP_USE_MULTICAST, on_address, &instance);
        avahi_key_unref(key);
        return browser;
    };
    instance.a_browser = browse(AVAHI_DNS_TYPE_A);
    instance.aaaa_browser = browse(AVAHI_DNS_TYPE_AAAA);
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
    if (added && it == set.end()) set.push_back(address);
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
    const std::vector<uint8_t> question =
        wire::encode_question(query_id_, wire::split_name(type_ + "." + domain_), wire::kTypePtr, false);
    if (question.empty()) return;
    for (const QuerySocket& socket : query_sockets_) {
        for (const LinkInterface& via : mdns_interfaces(socket.family)) {
            send_to_group(socket.fd, socket.family, via, question);
        }
    }
}

void AvahiDaemon::on_query_answer(AvahiWatch*, int fd, AvahiWatchEvent, void* self) {
    auto* daemon = static_cast<AvahiDaemon*>(self);
    std::vector<uint8_t> buffer(9000);
    alignas(cmsghdr) char control[256];
    for (;;) {
        sockaddr_storage from{};
        iovec io{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd, &message, MSG_DONTWAIT);
        if (n < 0) return;  // drained
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
        const auto answer = wire::parse_response(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
        if (answer && answer->id == daemon->query_id_) {
            daemon->answered(*answer, interface, fd, from, message.msg_namelen);
        }
    }
}

void AvahiDaemon::answered(const wire::Response& answer, unsigned interface, int fd, const sockaddr_storage& from,
                           socklen_t from_size) {
    const wire::Name service = wire::split_name(type_ + "." + domain_);
    std::vector<Instance*> named;
    for (const auto& ptr : answer.ptrs) {
        if (!wire::same_name(ptr.owner, service)) continue;
        const auto label = wire::child_label(ptr.target, service);
        if (!label) continue;
        Instance& instance = instance_named(*label);
        named.push_back(&instance);
        // Should our answers stop short, the library resolves it.
        if (instance.resolver == nullptr) {
            instance.resolver = avahi_s_service_resolver_new(
                server_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, label->c_str(), type_.c_str(), domain_.c_str(),
                AVAHI_PROTO_UNSPEC, AvahiLookupFlags(AVAHI_LOOKUP_NO_TXT | AVAHI_LOOKUP_NO_ADDRESS), on_resolve,
                &instance);
        }
    }
    for (const auto& srv : answer.srvs) {
        const auto label = wire::child_label(srv.owner, service);
        if (!label) continue;
        resolved(instance_named(*label), wire::join_name(srv.target).c_str(), srv.port);
    }
    for (const auto& record : answer.addresses) {
        ServiceAddress address = record.address;
        if (address.family == ServiceAddress::Family::V6) address.interface_index = interface;
        for (auto& [name, instance] : instances_) {
            if (instance->resolved && wire::same_name(wire::split_name(instance->host), record.owner)) {
                address_seen(*instance, address, true);
            }
        }
    }
    // A legacy answer holds at most 512 bytes: with many instances it names
    // them without their records. Ask the responder for each directly.
    for (Instance* instance : named) {
        if (instance->resolved || instance->asked_for_srv) continue;
        instance->asked_for_srv = true;
        wire::Name name = service;
        name.insert(name.begin(), instance->name);
        const auto question = wire::encode_question(query_id_, name, wire::kTypeSrv, false);
        if (!question.empty()) {
            ::sendto(fd, question.data(), question.size(), 0, reinterpret_cast<const sockaddr*>(&from), from_size);
        }
    }
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
