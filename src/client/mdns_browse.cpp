#include "client/mdns_browse.hpp"

#include <algorithm>
#include <utility>

#include "client/diagnostics.hpp"
#include "client/error.hpp"

namespace tq::dnssd {

void DropCount::add(std::string_view key) {
    const size_t hash = std::hash<std::string_view>{}(key);
    if (seen_.size() >= kRemembered) {
        saturated_ = saturated_ || seen_.find(hash) == seen_.end();
        return;
    }
    seen_.insert(hash);
}

std::string DropCount::text() const {
    return saturated_ ? "more than " + std::to_string(seen_.size()) : std::to_string(seen_.size());
}

namespace {

const char* plural(size_t n) {
    return n == 1 ? "" : "s";
}

bool has_family(const std::vector<ServiceAddress>& addresses, ServiceAddress::Family family) {
    return std::any_of(addresses.begin(), addresses.end(), [&](const ServiceAddress& a) { return a.family == family; });
}

}  // namespace

Browse::Browse(wire::Name service, uint16_t query_id, std::chrono::milliseconds settle, Emit emit)
    : service_(std::move(service)), query_id_(query_id), settle_(settle), emit_(std::move(emit)) {}

bool Browse::asked(const wire::Echo& echo) const {
    if (echo.id != query_id_) return false;
    if (echo.type == wire::kTypePtr) return wire::same_name(echo.name, service_);
    if (echo.type == wire::kTypeSrv) {
        const auto label = wire::child_label(echo.name, service_);
        if (!label) return false;
        const auto it = instances_.find(*label);
        return it != instances_.end() && it->second.asked_srv;
    }
    if (echo.type != wire::kTypeA && echo.type != wire::kTypeAaaa) return false;
    const auto host = hosts_.find(wire::name_key(echo.name));
    return host != hosts_.end() && (echo.type == wire::kTypeA ? host->second.asked_v4 : host->second.asked_v6);
}

void Browse::received(std::span<const uint8_t> message, Via via, unsigned interface, Clock::time_point now,
                      std::span<const LinkPrefix> links) {
    // Anyone on the link can send to the legacy socket, and knows its port
    // from the question we multicast: only a reply to a question we asked is
    // read in full.
    if (via == Via::Legacy) {
        const auto echo = wire::echoed_question(message);
        if (!echo || !asked(*echo)) return;
    }
    const auto answer = wire::parse_response(message);
    if (!answer) return;

    std::vector<std::string> named;
    for (const auto& ptr : answer->ptrs) {
        if (!wire::same_name(ptr.owner, service_)) continue;
        const auto label = wire::child_label(ptr.target, service_);
        if (!label) continue;
        if (ptr.ttl == 0) {
            remove(*label);
            continue;
        }
        if (Instance* instance = instance_named(*label, interface)) {
            instance->ptr_ttl = ptr.ttl;
            named.push_back(*label);
        }
    }
    std::vector<std::string> hosts;
    for (const auto& srv : answer->srvs) {
        // A goodbye for an SRV record says nothing the PTR goodbye does not.
        if (srv.ttl == 0) continue;
        const auto label = wire::child_label(srv.owner, service_);
        if (!label) continue;
        Instance* instance = instance_named(*label, interface);
        if (instance == nullptr) continue;
        set_srv(*instance, srv.target, srv.port, now);
        if (instance->has_srv && !instance->reported) {
            hosts.push_back(instance->host);
            // A reply cut short may have lost some of the host's addresses.
            if (answer->truncated) hosts_[instance->host].incomplete = true;
        }
    }
    const bool loopback = std::any_of(links.begin(), links.end(),
                                      [&](const LinkPrefix& l) { return l.index == interface && l.loopback; });
    for (const auto& record : answer->addresses) {
        const std::string key = wire::name_key(record.owner);
        if (hosts_.find(key) == hosts_.end()) continue;  // only hosts an instance of ours names
        ServiceAddress address = record.address;
        if (address.family == ServiceAddress::Family::V6) {
            // An IPv6 address is reached over the interface it was heard on;
            // this host's own ones answer over loopback, and live on the
            // interface that holds them.
            const unsigned holder = loopback ? interface_holding(AF_INET6, address.bytes, links) : 0;
            address.interface_index = holder != 0 ? holder : interface;
        }
        if (address_seen(key, address, record.ttl == 0)) {
            for (auto& [label, instance] : instances_) {
                if (instance.has_srv && instance.host == key) arm(instance, now);
            }
        }
    }
    for (const std::string& label : named) {
        // A goodbye later in the message may have removed it again.
        const auto it = instances_.find(label);
        if (it == instances_.end()) continue;
        Instance& instance = it->second;
        if (instance.has_srv || instance.asked_srv) continue;
        instance.asked_srv = true;
        owed_srv_.push_back(label);
    }
    for (std::string& host : hosts) owed_hosts_.push_back(std::move(host));
}

Browse::Instance* Browse::instance_named(const std::string& label, unsigned interface) {
    const auto it = instances_.find(label);
    if (it != instances_.end()) return &it->second;
    if (admitted_ >= kMaxInstances) {
        dropped_instances_.add(label);
        return nullptr;
    }
    ++admitted_;
    Instance& instance = instances_[label];
    instance.label = label;
    instance.serial = admitted_;
    instance.interface = interface;
    emit_(ServiceEvent{EventKind::ServiceFound, ResolvedService{label, {}, 0}});
    return &instance;
}

void Browse::remove(const std::string& label) {
    const auto it = instances_.find(label);
    if (it == instances_.end()) return;
    // A later sighting is a new resolution with its own event.
    release_host(it->second);
    instances_.erase(it);
    emit_(ServiceEvent{EventKind::ServiceRemoved, ResolvedService{label, {}, 0}});
}

void Browse::set_srv(Instance& instance, const wire::Name& host, uint16_t port, Clock::time_point now) {
    const std::string key = wire::name_key(host);
    if (instance.has_srv && instance.host == key && instance.port == port) return;  // the same data again
    // Reported once per browse: later changes are not news for the scan (a
    // host flipping the port every few milliseconds would otherwise make a
    // resolution, and a connection, per settle time).
    if (instance.reported) {
        if (!instance.changed_after_report) ++changed_after_report_;
        instance.changed_after_report = true;
        return;
    }
    if (!instance.has_srv || instance.host != key) {
        release_host(instance);
        Host& entry = hosts_[key];
        if (entry.users++ == 0) {
            entry.name = host;
            entry.interface = instance.interface;
        }
        instance.host = key;
    }
    instance.port = port;
    instance.has_srv = true;
    arm(instance, now);
}

void Browse::release_host(Instance& instance) {
    if (!instance.has_srv) return;
    const auto it = hosts_.find(instance.host);
    if (it != hosts_.end() && --it->second.users == 0) hosts_.erase(it);
    instance.has_srv = false;
    instance.host.clear();
}

bool Browse::address_seen(const std::string& host, const ServiceAddress& address, bool withdrawn) {
    auto& set = hosts_.at(host).addresses;
    const auto it = std::find(set.begin(), set.end(), address);
    if (withdrawn) {
        if (it != set.end()) set.erase(it);
        return false;
    }
    if (it != set.end()) return false;
    if (set.size() >= kMaxAddresses) {
        std::string key = host;
        key.push_back('\0');
        key.append(address.to_string());
        dropped_addresses_.add(key);
        return false;
    }
    set.push_back(address);
    return true;
}

void Browse::arm(Instance& instance, Clock::time_point now) {
    if (instance.reported || instance.settling || !instance.has_srv) return;
    if (hosts_.at(instance.host).addresses.empty()) return;
    // Addresses of one instance keep arriving for a few milliseconds (one
    // answer per interface and family): they are gathered, then reported
    // as one resolution.
    instance.settling = true;
    settling_.push_back({now + settle_, instance.label, instance.serial});
}

bool Browse::resolvable(const Instance& instance) const {
    return instance.has_srv && !hosts_.at(instance.host).addresses.empty();
}

void Browse::report(Instance& instance) {
    instance.settling = false;
    instance.reported = true;
    emit_(ServiceEvent{EventKind::ServiceResolved,
                       ResolvedService{instance.label, hosts_.at(instance.host).addresses, instance.port}});
}

void Browse::report_due(Clock::time_point now) {
    while (!settling_.empty() && settling_.front().due <= now) {
        const Settling due = std::move(settling_.front());
        settling_.pop_front();
        const auto it = instances_.find(due.label);
        if (it == instances_.end() || it->second.serial != due.serial || !it->second.settling) continue;
        Instance& instance = it->second;
        if (resolvable(instance)) {
            report(instance);
        } else {
            instance.settling = false;
        }
    }
}

std::optional<Browse::Clock::time_point> Browse::next_due() const {
    if (settling_.empty()) return std::nullopt;
    return settling_.front().due;
}

std::vector<Browse::Question> Browse::take_follow_ups() {
    std::vector<Question> out;
    for (const std::string& label : owed_srv_) {
        const auto it = instances_.find(label);
        if (it == instances_.end() || it->second.has_srv) continue;
        wire::Name name = service_;
        name.insert(name.begin(), label);
        out.push_back({std::move(name), wire::kTypeSrv, it->second.interface});
    }
    owed_srv_.clear();
    for (const std::string& key : owed_hosts_) {
        const auto it = hosts_.find(key);
        if (it == hosts_.end()) continue;
        Host& host = it->second;
        const unsigned interface = host.interface;
        if (!host.asked_v4 && (host.incomplete || !has_family(host.addresses, ServiceAddress::Family::V4))) {
            host.asked_v4 = true;
            out.push_back({host.name, wire::kTypeA, interface});
        }
        if (!host.asked_v6 && (host.incomplete || !has_family(host.addresses, ServiceAddress::Family::V6))) {
            host.asked_v6 = true;
            out.push_back({host.name, wire::kTypeAaaa, interface});
        }
    }
    owed_hosts_.clear();
    return out;
}

std::vector<wire::Response::Ptr> Browse::known_answers() const {
    std::vector<wire::Response::Ptr> out;
    for (const auto& [label, instance] : instances_) {
        if (!instance.reported) continue;
        wire::Name name = service_;
        name.insert(name.begin(), label);
        out.push_back({service_, std::move(name), instance.ptr_ttl});
    }
    return out;
}

void Browse::finish() {
    for (auto& [label, instance] : instances_) {
        // Its addresses may have been withdrawn while it settled.
        if (instance.settling && !instance.reported && resolvable(instance)) report(instance);
    }
    settling_.clear();
    if (dropped_instances_.size() > 0) {
        report_line("Dropped " + dropped_instances_.text() + " DNS-SD service instance" +
                          plural(dropped_instances_.size()) + " beyond the first " + std::to_string(kMaxInstances) +
                          " of this scan");
    }
    if (dropped_addresses_.size() > 0) {
        report_line(
            "Dropped " + dropped_addresses_.text() + " address" + (dropped_addresses_.size() == 1 ? "" : "es") +
            " of DNS-SD service instances beyond the first " + std::to_string(kMaxAddresses) + " of each");
    }
    if (changed_after_report_ > 0) {
        report_line("Reported " + std::to_string(changed_after_report_) + " DNS-SD service instance" +
                          plural(changed_after_report_) + " once although its SRV record kept changing");
    }
}

}  // namespace tq::dnssd
