#include "client/dnssd.hpp"

#include <utility>

namespace tq::dnssd {

bool EventChannel::send(ServiceEvent event) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return false;
        queue_.push_back(std::move(event));
    }
    ready_.notify_one();
    return true;
}

std::optional<ServiceEvent> EventChannel::receive() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return !queue_.empty() || closed_; });
    if (queue_.empty()) return std::nullopt;
    ServiceEvent event = std::move(queue_.front());
    queue_.pop_front();
    return event;
}

void EventChannel::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

bool EventChannel::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::optional<ServiceTypeName> split_service_type(std::string_view name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    // The type is "_service._proto"; whatever follows it is the domain.
    const size_t proto = name.find("._");
    if (proto == std::string_view::npos || name.empty() || name.front() != '_') return std::nullopt;
    const size_t end = name.find('.', proto + 2);
    if (end == std::string_view::npos || end + 1 >= name.size()) return std::nullopt;
    return ServiceTypeName{std::string(name.substr(0, end)), std::string(name.substr(end + 1))};
}

}  // namespace tq::dnssd
