// The DNS-SD facilities discovery uses, and nothing more: a daemon running on
// its own thread, one browse that delivers service events into a channel, and
// shutdown. The scan depends on this interface only; the mDNS querier behind
// it lives in mdns_querier.cpp.
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
    // answer per interface and family); they are gathered for this long
    // after the instance first resolves and then reported as one event.
    std::chrono::milliseconds settle{30};
};

using DaemonResult = tl::expected<std::unique_ptr<ServiceDaemon>, Failure>;

// An mDNS querier: it asks from a port of its own, so that responders answer
// it straight back, and listens on UDP 5353, shared with any other mDNS stack
// on the host, for what they multicast. Fails when it can open no socket on
// 5353.
DaemonResult create_daemon(const DaemonOptions& options = {});

// Splits "_px-command-api._tcp.local." into the service type and the domain
// ("_px-command-api._tcp", "local"). Nullopt if no domain can be split off.
struct ServiceTypeName {
    std::string type;
    std::string domain;
};
std::optional<ServiceTypeName> split_service_type(std::string_view fully_qualified);

}  // namespace tq::dnssd
