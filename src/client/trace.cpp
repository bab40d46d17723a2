#include "client/trace.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace tq::trace {
namespace {

// pcapng block types and the one link type used: raw IPv4/IPv6 packets.
constexpr uint32_t kSectionHeader = 0x0A0D0D0A, kInterfaceDescription = 1, kEnhancedPacket = 6;
constexpr uint16_t kLinkTypeRaw = 101;
constexpr uint16_t kOptEnd = 0, kOptShbUserAppl = 4, kOptIfName = 2, kOptIfTsresol = 9;

constexpr uint8_t kFin = 0x01, kSyn = 0x02, kPsh = 0x08, kAck = 0x10;
// The largest payload one made-up segment carries (an IPv6 packet holds
// 65535 bytes after its header, less the TCP header).
constexpr size_t kMaxSegment = 65000;

class Bytes {
public:
    void u8(uint8_t v) { data.push_back(v); }
    void u16le(uint16_t v) { append_le(v, 2); }
    void u32le(uint32_t v) { append_le(v, 4); }
    void u16be(uint16_t v) {
        u8(static_cast<uint8_t>(v >> 8));
        u8(static_cast<uint8_t>(v));
    }
    void u32be(uint32_t v) {
        u16be(static_cast<uint16_t>(v >> 16));
        u16be(static_cast<uint16_t>(v));
    }
    void raw(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        data.insert(data.end(), b, b + n);
    }
    void pad4() {
        while (data.size() % 4) u8(0);
    }
    void put_be16(size_t at, uint16_t v) {
        data[at] = static_cast<uint8_t>(v >> 8);
        data[at + 1] = static_cast<uint8_t>(v);
    }
    std::vector<uint8_t> data;

private:
    void append_le(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
    }
};

// The Internet checksum (RFC 1071) of `sum` already accumulated over words.
uint16_t fold(uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}
uint32_t add_words(uint32_t sum, const uint8_t* p, size_t n) {
    for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n % 2) sum += static_cast<uint32_t>(p[n - 1] << 8);
    return sum;
}

// One endpoint: address bytes (4 or 16, network order) and port.
struct Endpoint {
    bool v6 = false;
    uint8_t address[16]{};
    uint16_t port = 0;
};

bool endpoint_of(const sockaddr_storage& s, Endpoint& e) {
    if (s.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(s);
        e.v6 = false;
        std::memcpy(e.address, &a.sin_addr, 4);
        e.port = ntohs(a.sin_port);
        return true;
    }
    if (s.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(s);
        e.v6 = true;
        std::memcpy(e.address, &a.sin6_addr, 16);
        e.port = ntohs(a.sin6_port);
        return true;
    }
    return false;
}

struct Flow {
    Endpoint local, peer;
    uint32_t local_seq = 0, peer_seq = 0;  // next sequence number of each side
};

// A made-up TCP segment in an IP packet, checksums included.
std::vector<uint8_t> segment(const Flow& f, bool from_local, uint8_t flags, std::span<const uint8_t> payload) {
    const Endpoint& src = from_local ? f.local : f.peer;
    const Endpoint& dst = from_local ? f.peer : f.local;
    const uint32_t seq = from_local ? f.local_seq : f.peer_seq;
    const uint32_t ack = from_local ? f.peer_seq : f.local_seq;
    const size_t tcp_len = 20 + payload.size();
    const size_t alen = src.v6 ? 16 : 4;
    Bytes p;
    if (src.v6) {
        p.u32be(0x60000000);
        p.u16be(static_cast<uint16_t>(tcp_len));
        p.u8(IPPROTO_TCP);
        p.u8(64);
    } else {
        static std::atomic<uint16_t> id{1};
        p.u8(0x45);
        p.u8(0);
        p.u16be(static_cast<uint16_t>(20 + tcp_len));
        p.u16be(id.fetch_add(1, std::memory_order_relaxed));
        p.u16be(0x4000);  // don't fragment
        p.u8(64);
        p.u8(IPPROTO_TCP);
        p.u16be(0);
    }
    p.raw(src.address, alen);
    p.raw(dst.address, alen);
    if (!src.v6) p.put_be16(10, fold(add_words(0, p.data.data(), 20)));
    const size_t tcp_at = p.data.size();
    p.u16be(src.port);
    p.u16be(dst.port);
    p.u32be(seq);
    p.u32be(flags & kAck ? ack : 0);
    p.u8(5 << 4);
    p.u8(flags);
    p.u16be(65535);
    p.u16be(0);
    p.u16be(0);
    p.raw(payload.data(), payload.size());
    // Pseudo-header: addresses, protocol, TCP length.
    uint32_t sum = add_words(0, src.address, alen);
    sum = add_words(sum, dst.address, alen);
    sum += IPPROTO_TCP;
    sum += static_cast<uint32_t>(tcp_len & 0xFFFF) + static_cast<uint32_t>(tcp_len >> 16);
    sum = add_words(sum, p.data.data() + tcp_at, tcp_len);
    p.put_be16(tcp_at + 16, fold(sum));
    return std::move(p.data);
}

void option(Bytes& b, uint16_t code, const void* value, uint16_t len) {
    b.u16le(code);
    b.u16le(len);
    b.raw(value, len);
    b.pad4();
}

// A block: type, total length, body, total length again.
std::vector<uint8_t> block(uint32_t type, const Bytes& body) {
    Bytes b;
    const auto total = static_cast<uint32_t>(12 + body.data.size());
    b.u32le(type);
    b.u32le(total);
    b.raw(body.data.data(), body.data.size());
    b.u32le(total);
    return std::move(b.data);
}

class Writer {
public:
    explicit Writer(std::FILE* file) : file_(file) {
        Bytes shb;
        shb.u32le(0x1A2B3C4D);
        shb.u16le(1);
        shb.u16le(0);
        shb.u32le(0xFFFFFFFF);  // section length unknown
        shb.u32le(0xFFFFFFFF);
        const char app[] = "plenko-tq trace";
        option(shb, kOptShbUserAppl, app, sizeof app - 1);
        option(shb, kOptEnd, nullptr, 0);
        write(block(kSectionHeader, shb));
        Bytes idb;
        idb.u16le(kLinkTypeRaw);
        idb.u16le(0);
        idb.u32le(0);  // no snapshot limit
        const char name[] = "plenko-tq";
        option(idb, kOptIfName, name, sizeof name - 1);
        const uint8_t nanoseconds = 9;
        option(idb, kOptIfTsresol, &nanoseconds, 1);
        option(idb, kOptEnd, nullptr, 0);
        write(block(kInterfaceDescription, idb));
    }
    ~Writer() { std::fclose(file_); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void opened(int fd) {
        Flow* f = take_up(fd, false);
        if (!f) return;
        packet(*f, true, kSyn, {});
        f->local_seq++;
        packet(*f, false, kSyn | kAck, {});
        f->peer_seq++;
        packet(*f, true, kAck, {});
    }

    void moved(int fd, std::span<const uint8_t> bytes, bool sent) {
        Flow* f = take_up(fd, true);
        if (!f) return;
        while (!bytes.empty()) {
            const auto piece = bytes.first(std::min(bytes.size(), kMaxSegment));
            packet(*f, sent, kPsh | kAck, piece);
            (sent ? f->local_seq : f->peer_seq) += static_cast<uint32_t>(piece.size());
            bytes = bytes.subspan(piece.size());
        }
    }

    void closed(int fd) {
        const auto it = flows_.find(fd);
        if (it == flows_.end()) return;
        packet(it->second, true, kFin | kAck, {});
        flows_.erase(it);
    }

private:
    // The flow of `fd`, created from the socket's addresses when it is new.
    Flow* take_up(int fd, bool existing_ok) {
        if (const auto it = flows_.find(fd); it != flows_.end()) {
            if (existing_ok) return &it->second;
            flows_.erase(it);  // the number was closed unseen and reused
        }
        sockaddr_storage local{}, peer{};
        socklen_t llen = sizeof local, plen = sizeof peer;
        Flow f;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &llen) != 0 ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen) != 0 || !endpoint_of(local, f.local) ||
            !endpoint_of(peer, f.peer) || f.local.v6 != f.peer.v6) {
            return nullptr;
        }
        // Start numbers that differ per connection, as a real stack's do.
        f.local_seq = 0x10000000u + static_cast<uint32_t>(f.local.port) * 7919u;
        f.peer_seq = 0x20000000u + static_cast<uint32_t>(f.local.port) * 104729u;
        return &flows_.emplace(fd, f).first->second;
    }

    void packet(const Flow& f, bool from_local, uint8_t flags, std::span<const uint8_t> payload) {
        const std::vector<uint8_t> ip = segment(f, from_local, flags, payload);
        const auto ns = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                  std::chrono::system_clock::now().time_since_epoch())
                                                  .count());
        Bytes epb;
        epb.u32le(0);
        epb.u32le(static_cast<uint32_t>(ns >> 32));
        epb.u32le(static_cast<uint32_t>(ns));
        epb.u32le(static_cast<uint32_t>(ip.size()));
        epb.u32le(static_cast<uint32_t>(ip.size()));
        epb.raw(ip.data(), ip.size());
        epb.pad4();
        write(block(kEnhancedPacket, epb));
    }

    // Flushed per block: the file is complete whenever the process stops.
    void write(const std::vector<uint8_t>& b) {
        std::fwrite(b.data(), 1, b.size(), file_);
        std::fflush(file_);
    }

    std::FILE* file_;
    std::map<int, Flow> flows_;
};

std::mutex g_mutex;
Writer* g_writer = nullptr;  // guarded by g_mutex

}  // namespace

tl::expected<void, int> start(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return tl::unexpected(errno != 0 ? errno : EIO);
    std::lock_guard lock(g_mutex);
    delete g_writer;
    g_writer = new Writer(file);
    detail::on.store(true, std::memory_order_relaxed);
    return {};
}

void stop() {
    std::lock_guard lock(g_mutex);
    detail::on.store(false, std::memory_order_relaxed);
    delete g_writer;
    g_writer = nullptr;
}

namespace detail {

void opened(int fd) {
    std::lock_guard lock(g_mutex);
    if (g_writer) g_writer->opened(fd);
}
void moved(int fd, std::span<const uint8_t> bytes, bool sent) {
    std::lock_guard lock(g_mutex);
    if (g_writer) g_writer->moved(fd, bytes, sent);
}
void closed(int fd) {
    std::lock_guard lock(g_mutex);
    if (g_writer) g_writer->closed(fd);
}

}  // namespace detail
}  // namespace tq::trace
