// The response read path against answers cut and spread at will. A peer on
// the other end of a socketpair answers each request as the input says:
// packets under foreign codes, then the call's own answer, an error response
// or nothing, the whole cut at any byte, in pieces; the cut-off rest arrives
// after the call has returned, before the next request, or never. A call
// that finds its stream given up on opens a new socketpair (or is refused,
// as the input says), and the peer answers the handshake there.
//
// Every call must return its own answer (text "v<call>") or an error, never
// another call's answer, and within its deadline.
//
// Input: call count, then per call: op, foreign packet count and each packet
// (code, length, oversize flag, bytes), terminal kind, cut, whether the rest
// comes, piece count and cut points, whether a reconnect is refused. Zero
// bytes (and the input's end) mean the plain case: the answer, whole.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "client/connection.hpp"
#include "client/transaction.hpp"
#include "protocol/packet.hpp"
#include "protocol/status.hpp"

using namespace tq;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kTimeout{2};
// A reconnect's three handshake exchanges (answered at once), the write, the
// header and the payload, each bounded by one timeout; the slack absorbs the
// sanitizers and a loaded machine. A read bounded per receive instead of per exchange, or not at
// all, still shows: libFuzzer's own -timeout catches a hang.
constexpr auto kCallBound = 4 * kTimeout + std::chrono::milliseconds(500);
constexpr size_t kMaxCalls = 12;

struct Op {
    uint16_t request;
    Result<std::string> (*transact)(DeviceConnection&);
};

template <Command C>
Result<std::string> text_call(DeviceConnection& c) {
    return transact<C>(c, device_op("fuzz"));
}

// They share nothing but the shape of their answer: a text.
constexpr std::array<Op, 3> kOps{{{3, text_call<Command::DeviceGetName>},
                                  {33, text_call<Command::GetFirmwareVersion>},
                                  {41, text_call<Command::GetPcbRevision>}}};

class Input {
public:
    Input(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    uint8_t byte() { return n_ > 0 ? (--n_, *p_++) : 0; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
    uint8_t any() const { return n_ > 0 ? *p_ : 0; }

private:
    const uint8_t* p_;
    size_t n_;
};

void put_u16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

struct Call {
    const Op* op = nullptr;
    std::string value;
    std::vector<uint8_t> sent;  // by the peer once the request is in, in pieces
    std::vector<size_t> pieces;
    std::vector<uint8_t> late;  // after the call has returned
    bool refuse_reconnect = false;
};

Call make_call(Input& in, size_t index) {
    Call call;
    call.op = &kOps[in.byte() % kOps.size()];
    call.value = "v" + std::to_string(index);
    const uint16_t answer_code = static_cast<uint16_t>(call.op->request + 1);
    std::vector<uint8_t> stream;
    for (int i = in.byte() % 3; i > 0; --i) {
        uint16_t code = in.u16();
        while (code == answer_code || code == proto::kErrorResponse) ++code;
        size_t len = in.byte();
        if (in.byte() % 8 == 7) len = proto::kBufferSize - 3 + in.u16() % 4096;  // cannot fit the buffer
        put_u16(stream, code);
        put_u16(stream, static_cast<uint16_t>(len));
        for (size_t k = 0; k < len; ++k) stream.push_back(k < 16 ? in.byte() : in.any());
    }
    switch (in.byte() % 3) {
        case 0:
            put_u16(stream, answer_code);
            put_u16(stream, static_cast<uint16_t>(2 + call.value.size()));
            put_u16(stream, static_cast<uint16_t>(call.value.size()));
            stream.insert(stream.end(), call.value.begin(), call.value.end());
            break;
        case 1:
            // Status 0 would be a success carrying the decoder's starting
            // value: an answer of its own, but not one the oracle can tell.
            put_u16(stream, proto::kErrorResponse);
            put_u16(stream, 2);
            put_u16(stream, static_cast<uint16_t>(in.u16() | 1));
            break;
        default:
            break;  // nothing
    }
    size_t cut = stream.size();
    if (in.byte() % 2 == 1) cut = in.u16() % (stream.size() + 1);
    call.sent.assign(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(cut));
    if (in.byte() % 2 == 0) call.late.assign(stream.begin() + static_cast<ptrdiff_t>(cut), stream.end());
    for (int i = in.byte() % 4; i > 0 && !call.sent.empty(); --i) call.pieces.push_back(in.u16() % call.sent.size());
    std::sort(call.pieces.begin(), call.pieces.end());
    call.pieces.push_back(call.sent.size());
    call.refuse_reconnect = in.byte() % 4 == 3;
    return call;
}

bool read_exact(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void write_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0) return;
        p += r;
        n -= static_cast<size_t>(r);
    }
}

// The handshake's answers on a new connection: protocol version 2, EAN 0 and
// serial number 0, as the connection was first named.
std::vector<uint8_t> handshake_answer(uint16_t request) {
    std::vector<uint8_t> out;
    put_u16(out, static_cast<uint16_t>(request + 1));
    if (request == static_cast<uint16_t>(Command::GetVersion)) {
        put_u16(out, 2);
        put_u16(out, 2);
    } else {
        put_u16(out, 8);
        out.resize(out.size() + 8, 0);
    }
    return out;
}

bool is_handshake(uint16_t request) {
    for (const Command c : {Command::GetVersion, Command::GetEan, Command::GetSerialNumber}) {
        if (request == static_cast<uint16_t>(c)) return true;
    }
    return false;
}

// Answers each request with the current call's bytes, piece by piece, on
// one connection after another.
class Peer {
public:
    Peer(const std::vector<Call>& calls) : calls_(calls), thread_([this] { run(); }) {}
    ~Peer() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            if (serving_ >= 0) ::shutdown(serving_, SHUT_RDWR);
        }
        cv_.notify_all();
        thread_.join();
        for (const int fd : next_) ::close(fd);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // The peer's end of a new connection, served once the current one ends.
    void attach(int fd) {
        std::lock_guard lock(mutex_);
        next_.push_back(fd);
        cv_.notify_all();
    }
    void begin(size_t call) { current_.store(call); }
    // Waits until the peer has sent all it sends for `call`.
    void wait_answered(size_t call) {
        std::unique_lock lock(mutex_);
        FUZZ_CHECK(cv_.wait_for(lock, std::chrono::seconds(10), [&] { return answered_ > call; }));
    }
    // On the connection being served.
    void send(const std::vector<uint8_t>& bytes) {
        std::lock_guard lock(mutex_);
        if (serving_ >= 0) write_all(serving_, bytes.data(), bytes.size());
    }

private:
    void run() {
        for (;;) {
            int fd = -1;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [&] { return stopping_ || !next_.empty(); });
                if (stopping_) return;
                fd = serving_ = next_.front();
                next_.erase(next_.begin());
            }
            serve(fd);
            std::lock_guard lock(mutex_);
            serving_ = -1;
            ::close(fd);
        }
    }

    void serve(int fd) {
        std::vector<uint8_t> request(4 + 0xFFFF);
        while (read_exact(fd, request.data(), 4)) {
            if (!read_exact(fd, request.data() + 4, request[2] | request[3] << 8)) break;
            const auto code = static_cast<uint16_t>(request[0] | request[1] << 8);
            if (is_handshake(code)) {
                const auto answer = handshake_answer(code);
                write_all(fd, answer.data(), answer.size());
                continue;
            }
            const size_t index = current_.load();
            const Call& call = calls_[index];
            FUZZ_CHECK(code == call.op->request);
            size_t at = 0;
            for (const size_t end : call.pieces) {
                write_all(fd, call.sent.data() + at, end - at);
                at = end;
            }
            std::lock_guard lock(mutex_);
            answered_ = index + 1;
            cv_.notify_all();
        }
    }

    const std::vector<Call>& calls_;
    std::atomic<size_t> current_{0};
    std::mutex mutex_;
    std::condition_variable cv_;
    size_t answered_ = 0;
    int serving_ = -1;
    std::vector<int> next_;  // connections opened since, served in turn
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    std::vector<Call> calls(1 + in.byte() % kMaxCalls);
    for (size_t i = 0; i < calls.size(); ++i) calls[i] = make_call(in, i);

    Peer peer(calls);
    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    peer.attach(fds[1]);
    bool refuse = false;
    auto reopen = [&](std::chrono::nanoseconds) -> TcpStream::IoResult<TcpStream> {
        if (refuse) return tl::unexpected(ECONNREFUSED);
        int pair[2];
        FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
        peer.attach(pair[1]);
        return TcpStream(pair[0]);
    };
    DeviceConnection c(TcpStream(fds[0]), kTimeout, SocketAddress{}, reopen);
    c.protocol_version.store(2);

    for (size_t i = 0; i < calls.size(); ++i) {
        const Call& call = calls[i];
        refuse = call.refuse_reconnect;
        peer.begin(i);
        const auto began = Clock::now();
        const auto r = call.op->transact(c);
        FUZZ_CHECK(Clock::now() - began < kCallBound);
        if (r) FUZZ_CHECK(*r == call.value);
        // Refused, or the handshake there ran out of time: nothing was sent.
        const bool reconnect_failed = !r && r.error().detail().starts_with("cannot reconnect");
        if (!reconnect_failed) peer.wait_answered(i);
        // A stream given up on is closed: nothing more reaches it.
        if (c.stream.valid()) peer.send(call.late);
    }
    return 0;
}
