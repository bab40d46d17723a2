#include "sim/mdns/advertiser.hpp"

#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-core/core.h>
#include <avahi-core/publish.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "net/avahi.hpp"

namespace tq::sim {

struct Advertiser::Impl {
    std::vector<Advertisement> advertisements;
    StateCallback on_state;
    AvahiThreadedPoll* poll = nullptr;
    AvahiServer* server = nullptr;
    AvahiSEntryGroup* group = nullptr;
    bool running = false;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    State state = State::Registering;

    ~Impl() {
        if (running) avahi_threaded_poll_stop(poll);
        // Freeing the group withdraws its records: the server sends the
        // goodbyes right away, so browsers drop the instances at once.
        if (group != nullptr) avahi_s_entry_group_free(group);
        if (server != nullptr) avahi_server_free(server);
        if (poll != nullptr) avahi_threaded_poll_free(poll);
    }

    void set_state(State s) {
        {
            std::lock_guard lock(mutex);
            if (state == s) return;
            state = s;
        }
        changed.notify_all();
        if (on_state) on_state(s);
    }

    static void on_server(AvahiServer* s, AvahiServerState state, void* self) {
        auto* impl = static_cast<Impl*>(self);
        // The library calls this from inside avahi_server_new too, before the
        // server pointer has been handed back.
        if (state == AVAHI_SERVER_RUNNING) impl->publish(s);
        if (state == AVAHI_SERVER_FAILURE) impl->set_state(State::Failed);
    }

    static void on_group(AvahiServer*, AvahiSEntryGroup*, AvahiEntryGroupState state, void* self) {
        auto* impl = static_cast<Impl*>(self);
        if (state == AVAHI_ENTRY_GROUP_ESTABLISHED) impl->set_state(State::Established);
        // Names are unique per process, so a collision means a second process
        // claims the same names: give up rather than publish under new ones.
        if (state == AVAHI_ENTRY_GROUP_COLLISION || state == AVAHI_ENTRY_GROUP_FAILURE) {
            impl->set_state(State::Failed);
        }
    }

    void publish(AvahiServer* s) {
        if (group != nullptr) return;
        group = avahi_s_entry_group_new(s, on_group, this);
        if (group == nullptr) return set_state(State::Failed);
        std::vector<std::string> hosts_done;
        for (const Advertisement& ad : advertisements) {
            const std::string host = ad.host_name + ".local";
            if (std::find(hosts_done.begin(), hosts_done.end(), host) == hosts_done.end()) {
                hosts_done.push_back(host);
                for (const ServiceAddress& address : ad.addresses) {
                    AvahiAddress a = avahi::to_avahi_address(address);
                    // No reverse (PTR) records: several simulated hosts may
                    // share 127.0.0.1, and that name would collide.
                    if (avahi_server_add_address(s, group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                 AVAHI_PUBLISH_NO_REVERSE, host.c_str(), &a) < 0) {
                        return set_state(State::Failed);
                    }
                }
            }
            if (avahi_server_add_service(s, group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                         ad.instance_name.c_str(), std::string(kAdvertisedServiceType).c_str(), nullptr,
                                         host.c_str(), ad.port, nullptr) < 0) {
                return set_state(State::Failed);
            }
        }
        if (avahi_s_entry_group_commit(group) < 0) set_state(State::Failed);
    }
};

Advertiser::Advertiser(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Advertiser::~Advertiser() = default;

tl::expected<std::unique_ptr<Advertiser>, std::string> Advertiser::start(std::vector<Advertisement> advertisements,
                                                                         StateCallback on_state) {
    if (advertisements.empty()) return tl::unexpected(std::string("nothing to advertise"));
    for (const Advertisement& ad : advertisements) {
        if (ad.addresses.empty()) return tl::unexpected("no address for host " + ad.host_name);
        if (ad.instance_name.empty() || ad.host_name.empty()) return tl::unexpected(std::string("empty name"));
    }
    avahi::silence_library_log();
    auto impl = std::make_unique<Impl>();
    impl->advertisements = std::move(advertisements);
    impl->on_state = std::move(on_state);
    impl->poll = avahi_threaded_poll_new();
    if (impl->poll == nullptr) return tl::unexpected(std::string("cannot create the mDNS poll"));

    AvahiServerConfig config;
    avahi_server_config_init(&config);
    avahi_free(config.host_name);
    // Our own host name is never announced; it is set so that the server
    // does not take the machine's, which other simulators share.
    config.host_name = avahi_strdup(impl->advertisements.front().host_name.c_str());
    config.publish_hinfo = 0;
    config.publish_addresses = 0;
    config.publish_workstation = 0;
    config.publish_domain = 0;
    config.enable_wide_area = 0;
    config.disallow_other_stacks = 0;
    // Without this an IPv4 browser sees only the AAAA records.
    config.publish_a_on_ipv6 = 1;
    int error = 0;
    AvahiServer* server =
        avahi_server_new(avahi_threaded_poll_get(impl->poll), &config, Impl::on_server, impl.get(), &error);
    avahi_server_config_free(&config);
    if (server == nullptr) return tl::unexpected(std::string("cannot start mDNS: ") + avahi_strerror(error));
    impl->server = server;
    if (avahi_server_get_state(server) == AVAHI_SERVER_RUNNING) impl->publish(server);
    if (avahi_threaded_poll_start(impl->poll) < 0) return tl::unexpected(std::string("cannot start the mDNS thread"));
    impl->running = true;
    return std::unique_ptr<Advertiser>(new Advertiser(std::move(impl)));
}

Advertiser::State Advertiser::state() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->state;
}

bool Advertiser::wait_established(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait_for(lock, timeout, [&] { return impl_->state != State::Registering; });
    return impl_->state == State::Established;
}

std::string unique_host_label(std::string_view prefix) {
    std::random_device entropy;
    std::mt19937 generator(entropy());
    char random[8];
    std::snprintf(random, sizeof random, "%06x", static_cast<unsigned>(generator() & 0xffffff));
    return std::string(prefix) + "-" + std::to_string(::getpid()) + "-" + random;
}

}  // namespace tq::sim
