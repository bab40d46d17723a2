// The DNS-SD daemon over libavahi-core: no avahi-daemon, no D-Bus. A
// browse-only server runs on the library's threaded poll; every callback
// below runs on that thread with the poll lock held, so none of them may block
// or stop the poll.
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <avahi-core/core.h>
#include <avahi-core/lookup.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "client/avahi_support.hpp"
#include "client/dnssd.hpp"

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
};

class AvahiDaemon final : public ServiceDaemon {
public:
    explicit AvahiDaemon(const DaemonOptions& options) : options_(options) {}
    AvahiDaemon(const AvahiDaemon&) = delete;
    AvahiDaemon& operator=(const AvahiDaemon&) = delete;
    ~AvahiDaemon() override { (void)shutdown(); }

    bool start();
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
    avahi_threaded_poll_unlock(poll_);
    if (browser_ == nullptr) {
        channel_.reset();
        return tl::unexpected(Failure::Browse);
    }
    channel_->send(ServiceEvent{EventKind::SearchStarted, {}});
    // The library holds its first query back for 100 ms and responders add
    // up to 120 ms more, longer than a short scan. Asking at once, for a
    // unicast answer, also gets past responders that suppress a multicast
    // answer they sent moments ago (to a previous scan, or their own
    // announcement). The answers land in the server's cache, where the
    // browser just created picks them up.
    if (options_.ask_at_browse_start) send_ptr_question(type_ + "." + domain_, true);
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

void AvahiDaemon::sighted(AvahiIfIndex interface, AvahiProtocol protocol, const std::string& name) {
    auto& slot = instances_[name];
    if (!slot) {
        slot = std::make_unique<Instance>();
        slot->daemon = this;
        slot->name = name;
        channel_->send(ServiceEvent{EventKind::ServiceFound, ResolvedService{name, {}, 0}});
    }
    Instance& instance = *slot;
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
    const bool host_changed = !instance.resolved || instance.host != host;
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
    if (!daemon->start()) return tl::unexpected(Failure::CreateDaemon);
    return std::unique_ptr<ServiceDaemon>(std::move(daemon));
}

}  // namespace tq::dnssd
