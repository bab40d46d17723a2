#include "sim/simulator.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "protocol/packet.hpp"
#include "protocol/status.hpp"
#include "sim/posix.hpp"

namespace tq::sim {
namespace {

bool read_exact(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool write_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, kSendNoSignal);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// A listening socket on address:port (port 0: any free one).
int listen_on(const std::string& address, uint16_t port, uint16_t& bound) {
    sockaddr_storage ss{};
    socklen_t len = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof *v4;
    } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof *v6;
    } else {
        throw std::runtime_error("not a numeric address: " + address);
    }
    const int fd = stream_socket(ss.ss_family);
    if (fd < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd, 64) != 0) {
        const std::string why = std::strerror(errno);
        ::close(fd);
        throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(port) + ": " + why);
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    bound = ntohs(ss.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    return fd;
}

void put_u16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}

uint64_t pick(std::mt19937_64& rng, uint64_t lo, uint64_t hi) {
    return std::uniform_int_distribution<uint64_t>(lo, hi)(rng);
}

Fault draw_fault(const RandomFaults& r, std::mt19937_64& rng) {
    enum Kind : uint8_t { Delay, Close, Partial, Oversize, Garbage, WrongCode, ErrorResponse, kKinds };
    static constexpr std::array<ServiceStatus, 4> kStatuses{
        ServiceStatus::UnspecifiedError, ServiceStatus::OperationFailed, ServiceStatus::NotSupportedByDevice,
        ServiceStatus::NotSupportedByInterface};
    Fault f;
    switch (pick(rng, 0, kKinds - 1)) {
        case Delay: {
            const auto lo = static_cast<uint64_t>(r.delay_min.count());
            f.delay = std::chrono::milliseconds(pick(rng, lo, std::max<uint64_t>(lo, r.delay_max.count())));
            break;
        }
        case Close:
            f.close = true;
            break;
        case Partial:
            f.partial = pick(rng, 0, 2);
            break;
        case Oversize:
            f.oversize = static_cast<uint16_t>(pick(rng, proto::kBufferSize - proto::kHeaderLen + 1, 0xFFFF));
            break;
        case Garbage:
            f.garbage = pick(rng, 1, 64);
            break;
        case WrongCode:
            f.wrong_code = true;
            break;
        default:
            f.error_status = static_cast<uint16_t>(kStatuses[pick(rng, 0, kStatuses.size() - 1)]);
            break;
    }
    return f;
}

std::vector<uint8_t> garbage(size_t n, uint16_t request, std::mt19937_64& rng) {
    std::vector<uint8_t> g(n);
    for (auto& b : g) b = static_cast<uint8_t>(pick(rng, 0, 255));
    if (n >= proto::kHeaderLen) {
        uint16_t code = static_cast<uint16_t>(pick(rng, 0, 0xFFFF));
        while (code == static_cast<uint16_t>(request + 1) || code == proto::kErrorResponse) ++code;
        put_u16(g, 0, code);
        put_u16(g, 2, static_cast<uint16_t>(pick(rng, 0, proto::kBufferSize - proto::kHeaderLen)));
    }
    return g;
}

}  // namespace

std::string format_log_line(const LoggedRequest& r) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string line = std::to_string(r.serial_number) + " " + std::to_string(r.command) + " ";
    for (uint8_t b : r.bytes) {
        line += kHex[b >> 4];
        line += kHex[b & 0xF];
    }
    return line;
}

Simulator::Simulator(std::vector<DeviceModel> devices, SimulatorOptions options) : options_(std::move(options)) {
    for (auto& m : devices) {
        auto d = std::make_unique<Served>();
        d->model = std::move(m);
        d->rng.seed(d->model.random_faults.seed);
        devices_.push_back(std::move(d));
    }
}

Simulator::~Simulator() {
    stop();
}

void Simulator::start() {
    if (started_) return;
    if (!options_.log_path.empty()) {
        log_file_ = std::fopen(options_.log_path.c_str(), "a");
        if (log_file_ == nullptr) throw std::runtime_error("cannot open log file " + options_.log_path);
    }
    try {
        for (auto& d : devices_) d->listener = listen_on(options_.bind_address, d->model.port, d->port);
    } catch (...) {
        for (auto& d : devices_) {
            if (d->listener >= 0) ::close(d->listener);
            d->listener = -1;
        }
        if (log_file_ != nullptr) std::fclose(log_file_);
        log_file_ = nullptr;
        throw;
    }
    int wake[2] = {-1, -1};
    if (!wake_pipe(wake)) throw std::runtime_error("cannot start the simulator's acceptor");
    wake_fd_ = wake[0];
    wake_write_fd_ = wake[1];
    started_ = true;
    acceptor_ = std::thread([this] { accept_loop(); });
}

void Simulator::stop() {
    if (!started_) return;
    started_ = false;
    {
        std::lock_guard lock(pause_mutex_);
        stopping_ = true;
    }
    pause_cv_.notify_all();
    const char one = 1;
    (void)!::write(wake_write_fd_, &one, sizeof one);
    acceptor_.join();
    for (auto& d : devices_) {
        ::close(d->listener);
        d->listener = -1;
    }
    {
        std::lock_guard lock(connections_mutex_);
        for (auto& c : connections_) {
            if (c.fd >= 0) ::shutdown(c.fd, SHUT_RDWR);
        }
    }
    // Connection threads never touch the list, so joining outside the lock is safe.
    for (auto& c : connections_) c.thread.join();
    for (auto& c : connections_) {
        if (c.fd >= 0) ::close(c.fd);
    }
    connections_.clear();
    ::close(wake_fd_);
    ::close(wake_write_fd_);
    wake_fd_ = wake_write_fd_ = -1;
    if (log_file_ != nullptr) std::fclose(log_file_);
    log_file_ = nullptr;
    stopping_ = false;
}

uint16_t Simulator::port(size_t device) const {
    return devices_.at(device)->port;
}

std::string Simulator::ready_line() const {
    const bool v6 = options_.bind_address.find(':') != std::string::npos;
    std::string line = "READY";
    for (const auto& d : devices_) {
        line += ' ';
        line += v6 ? "[" + options_.bind_address + "]" : options_.bind_address;
        line += ":" + std::to_string(d->port);
    }
    return line;
}

void Simulator::set_fault(size_t device, uint16_t command, Fault fault) {
    with_device(device, [&](DeviceModel& m) { m.faults[command] = std::move(fault); });
}

void Simulator::clear_faults(size_t device) {
    with_device(device, [](DeviceModel& m) { m.faults.clear(); });
}

void Simulator::set_random_faults(size_t device, RandomFaults random) {
    Served& d = *devices_.at(device);
    std::lock_guard lock(d.mutex);
    d.model.random_faults = random;
    d.rng.seed(random.seed);
}

uint64_t Simulator::faults_fired(size_t device) const {
    return devices_.at(device)->faults_fired.load();
}

std::vector<LoggedRequest> Simulator::requests() const {
    std::lock_guard lock(log_mutex_);
    return log_;
}

std::vector<LoggedRequest> Simulator::requests(size_t device) const {
    std::lock_guard lock(log_mutex_);
    std::vector<LoggedRequest> out;
    for (const auto& r : log_) {
        if (r.device == device) out.push_back(r);
    }
    return out;
}

void Simulator::clear_requests() {
    std::lock_guard lock(log_mutex_);
    log_.clear();
}

size_t Simulator::connections_accepted(size_t device) const {
    return devices_.at(device)->accepted.load();
}

size_t Simulator::open_connections(size_t device) const {
    std::lock_guard lock(connections_mutex_);
    size_t n = 0;
    for (const auto& c : connections_) {
        if (c.device == device && !c.done.load()) ++n;
    }
    return n;
}

void Simulator::accept_loop() {
    std::vector<pollfd> fds;
    for (auto& d : devices_) fds.push_back({d->listener, POLLIN, 0});
    fds.push_back({wake_fd_, POLLIN, 0});
    while (!stopping_) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds.back().revents != 0) break;
        for (size_t i = 0; i < devices_.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            const int fd = accept_connection(fds[i].fd);
            if (fd < 0) continue;
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            devices_[i]->accepted.fetch_add(1);
            reap_finished();
            std::lock_guard lock(connections_mutex_);
            Connection& c = connections_.emplace_back();
            c.device = i;
            c.fd = fd;
            c.thread = std::thread([this, i, &c] { serve(i, c); });
        }
    }
}

void Simulator::reap_finished() {
    std::lock_guard lock(connections_mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->done.load()) {
            it->thread.join();
            if (it->fd >= 0) ::close(it->fd);
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

bool Simulator::pause(std::chrono::milliseconds d) {
    std::unique_lock lock(pause_mutex_);
    return !pause_cv_.wait_for(lock, d, [this] { return stopping_.load(); });
}

void Simulator::log(size_t device, uint64_t serial, std::span<const uint8_t> request) {
    LoggedRequest r{device, serial, proto::read_header(request).command, {request.begin(), request.end()}};
    std::lock_guard lock(log_mutex_);
    if (log_file_ != nullptr) {
        const std::string line = format_log_line(r) + "\n";
        std::fputs(line.c_str(), log_file_);
        std::fflush(log_file_);
    }
    if (options_.keep_log) log_.push_back(std::move(r));
}

bool Simulator::send_reply(int fd, std::span<const uint8_t> reply, const Fault& fault) {
    if (fault.trickle.count() > 0) {
        for (size_t i = 0; i < reply.size(); ++i) {
            if (i > 0 && !pause(fault.trickle)) return false;
            if (!write_all(fd, &reply[i], 1)) return false;
        }
        return true;
    }
    if (fault.split.count() > 0 && reply.size() > proto::kHeaderLen) {
        return write_all(fd, reply.data(), proto::kHeaderLen) && pause(fault.split) &&
               write_all(fd, reply.data() + proto::kHeaderLen, reply.size() - proto::kHeaderLen);
    }
    return write_all(fd, reply.data(), reply.size());
}

void Simulator::serve(size_t device, Connection& connection) {
    Served& d = *devices_[device];
    const int fd = connection.fd;
    std::vector<uint8_t> request(proto::kHeaderLen + 0xFFFF);
    for (;;) {
        if (!read_exact(fd, request.data(), proto::kHeaderLen)) break;
        const auto [command, len] = proto::read_header(request);
        if (!read_exact(fd, request.data() + proto::kHeaderLen, len)) break;
        const std::span<const uint8_t> packet(request.data(), proto::kHeaderLen + len);

        Fault fault;
        uint64_t serial = 0;
        {
            std::lock_guard lock(d.mutex);
            serial = d.model.serial_number;
            bool faulted = false;
            if (auto it = d.model.faults.find(command); it != d.model.faults.end() && it->second.times != 0) {
                fault = it->second;
                faulted = true;
                if (it->second.times > 0) --it->second.times;
            } else if (const RandomFaults& r = d.model.random_faults;
                       r.rate > 0 && std::bernoulli_distribution(std::min(r.rate, 1.0))(d.rng)) {
                fault = draw_fault(r, d.rng);
                faulted = true;
            }
            if (faulted) d.faults_fired.fetch_add(1);
        }
        log(device, serial, packet);

        if (fault.delay.count() > 0 && !pause(fault.delay)) break;
        if (fault.close) {
            std::lock_guard lock(connections_mutex_);
            ::close(connection.fd);
            connection.fd = -1;
            break;
        }
        std::vector<uint8_t> reply;
        if (fault.raw) {
            reply = *fault.raw;
        } else if (fault.garbage) {
            std::lock_guard lock(d.mutex);
            reply = garbage(*fault.garbage, command, d.rng);
        } else if (fault.oversize) {
            reply.assign(proto::kHeaderLen + *fault.oversize, 0);
            put_u16(reply, 0, static_cast<uint16_t>(command + 1));
            put_u16(reply, 2, *fault.oversize);
        } else if (fault.error_status) {
            reply = error_response(ServiceStatus{*fault.error_status});
        } else {
            std::lock_guard lock(d.mutex);
            reply = answer(d.model, packet, fault.status);
        }
        if (fault.partial) reply.resize(std::min(reply.size(), proto::kHeaderLen + *fault.partial));
        if (fault.wrong_code && reply.size() >= proto::kHeaderLen) {
            std::vector<uint8_t> stray = reply;
            put_u16(stray, 0, static_cast<uint16_t>(command + 3));
            if (!send_reply(fd, stray, fault)) break;
        }
        if (!send_reply(fd, reply, fault)) break;
    }
    connection.done = true;
}

}  // namespace tq::sim
