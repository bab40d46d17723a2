// The one request/response transaction behind every operation: lock, poison
// check, version gate, encode into the connection's buffer, write, read the
// response into the same buffer, decode it where it lies, release. Client
// operations call it with a command of the table, for example
//
//     transact<Command::DeviceGetName>(connection, device_op("get_name"));
//
// The pieces are exposed separately because the firmware update runs several
// exchanges under one lock.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "client/connection.hpp"
#include "client/error.hpp"
#include "protocol/commands.hpp"
#include "protocol/reply.hpp"

namespace tq {

using proto::Command;

// Names the operation in a write-failure text; the full name is only built
// when a write fails.
struct OpName {
    enum class Scope : uint8_t { Device, Interface };
    Scope scope;
    std::string_view op;

    // "Failed to send tq_sdk_client::device::Device::<op>::{{closure}} request"
    std::string write_failure_text() const;
};

inline constexpr OpName device_op(std::string_view op) {
    return {OpName::Scope::Device, op};
}
inline constexpr OpName interface_op(std::string_view op) {
    return {OpName::Scope::Interface, op};
}

// Under the lock: sends buffer[0, request_len) and reads one response packet
// into the buffer: its header within one exchange timeout of the request
// going out, its payload within one more of the header's arrival. An
// exchange that gives up on its answer closes the stream (see
// DeviceConnection::stream), and a header never announces more than the
// buffer holds.
Result<void> exchange(DeviceConnection& c, size_t request_len, const OpName& name);

// Under the lock, when an earlier exchange closed the stream: opens a new
// connection to the same address, runs the handshake and checks that the
// same device answers (handshake.cpp). On failure nothing of the caller's
// request has been sent: the error is the request's write failure, its
// detail says why.
Result<void> reopen(DeviceConnection& c, const OpName& name);

namespace detail {

template <class T>
Result<T> from_protocol(tl::expected<T, ProtocolError>&& r) {
    if (!r) return tl::unexpected(Error::from_protocol(std::move(r.error())));
    if constexpr (std::is_void_v<T>) {
        return {};
    } else {
        return std::move(*r);
    }
}

// A text argument goes out as a C string, so a NUL inside would cut it short
// unnoticed: refuse it before anything else is looked at. Texts come back in
// a field of kTextFieldCapacity bytes, its last a NUL; a longer one would be
// stored by the device and then fail every read of it, so it is refused too.
template <class T>
Result<void> sendable_one(const T& argument) {
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        const std::string_view text{argument};
        if (text.find('\0') != std::string_view::npos) {
            return fail(Error::Kind::Utf8Error, "Failed to encode " + std::string{text} + " as utf-8 cstring");
        }
        if (constexpr size_t kMax = proto::kTextFieldCapacity - 1; text.size() > kMax) {
            const std::string why = "A nickname may be at most " + std::to_string(kMax) +
                                    " bytes long in UTF-8 (a device answers with no more); this one has " +
                                    std::to_string(text.size());
            return tl::unexpected(Error(Error::Kind::ApiError, why).with_detail(why));
        }
    }
    return {};
}
template <class... Args>
Result<void> sendable(const Args&... args) {
    Result<void> ok;
    (void)((ok = sendable_one(args)) && ...);
    return ok;
}

}  // namespace detail

// Under the lock: the version gate (a refused command sends nothing), the
// request's fields straight into the connection's buffer, the exchange.
template <Command C, class... Args>
Result<void> send_request(DeviceConnection& c, const OpName& name, const Args&... args) {
    if (auto ok = detail::sendable(args...); !ok) return ok;
    auto failed = [](proto::Status s) { return tl::unexpected(Error::from_protocol(ProtocolError::from_status(s))); };
    auto gate = [&c] { return proto::version_gate(c.protocol_version.load(std::memory_order_relaxed), C); };
    if (const auto s = gate()) return failed(s);
    if (!c.stream.valid()) {
        if (auto ok = reopen(c, name); !ok) return ok;
        // The device may have come back with other firmware.
        if (const auto s = gate()) return failed(s);
    }
    proto::PacketWriter packet{c.buffer};
    if (const auto s = proto::encode_request<C>(packet, args...)) return failed(s);
    return exchange(c, packet.packet_len(), name);
}

// Under the lock: the response standing in the buffer as the client's reply
// (proto::Reply), or field by field with its statuses unexamined.
template <Command C>
Result<proto::Reply<C>> receive_reply(const DeviceConnection& c) {
    return detail::from_protocol(proto::decode_reply<C>(c.buffer));
}
template <Command C>
Result<proto::ResponseFields<C>> receive_fields(const DeviceConnection& c) {
    return detail::from_protocol(proto::decode_fields<C>(c.buffer));
}

// The whole transaction of command C: its request carries `args` as the
// command table lays them out, and `convert` turns the reply (proto::Reply<C>)
// into the operation's result while the lock is still held, so that a failure
// there aborts the transaction like any other.
template <Command C, class Convert, class... Args>
auto transact_as(DeviceConnection& c, const OpName& name, Convert&& convert, const Args&... args) {
    using Out = decltype(receive_reply<C>(c).and_then(convert));
    auto lock = c.acquire();
    if (!lock) return Out(tl::unexpected(std::move(lock.error())));
    if (auto sent = send_request<C>(c, name, args...); !sent) return Out(tl::unexpected(std::move(sent.error())));
    return receive_reply<C>(c).and_then(convert);
}

// The reply as the operation's result.
struct AsReply {
    Result<void> operator()() const { return {}; }
    template <class T>
    Result<std::decay_t<T>> operator()(T&& reply) const {
        return std::forward<T>(reply);
    }
};

template <Command C, class... Args>
Result<proto::Reply<C>> transact(DeviceConnection& c, const OpName& name, const Args&... args) {
    return transact_as<C>(c, name, AsReply{}, args...);
}

// Adapts a conversion of wire_values.hpp to transact_as: a tuple reply is
// spread over its parameters, and a Conversion failure becomes the client's
// Error.
template <class F>
auto from_wire(F convert) {
    return [convert](const auto& reply) {
        auto converted = [&] {
            if constexpr (requires { std::tuple_size<std::decay_t<decltype(reply)>>::value; }) {
                return std::apply(convert, reply);
            } else {
                return convert(reply);
            }
        }();
        if constexpr (requires { converted.error(); }) {
            return detail::from_protocol(std::move(converted));
        } else {
            return Result<decltype(converted)>(std::move(converted));
        }
    };
}

}  // namespace tq
