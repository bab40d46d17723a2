// The one request/response transaction behind every operation: lock, poison
// check, encode, write, read header, read payload, decode, status, release.
// The pieces are exposed separately because the firmware update runs several
// exchanges under one lock and get_interfaces builds its result under it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "client/connection.hpp"
#include "client/error.hpp"
#include "protocol/codec.hpp"

namespace tq {

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
// into the buffer. Discards stale bytes first if an earlier exchange left the
// stream out of step, and never lets a response header announce more than
// the buffer holds.
Result<void> exchange(DeviceConnection& c, size_t request_len, const OpName& name);

// Under the lock: encode (the version gate takes effect here, before anything
// is written) and exchange.
template <class Encode>
Result<void> send_request(DeviceConnection& c, const OpName& name, Encode&& encode) {
    auto len = encode(c.protocol_version.load(std::memory_order_relaxed), wire::Buffer(c.buffer));
    if (!len) return tl::unexpected(Error::from_protocol(std::move(len.error())));
    return exchange(c, *len, name);
}

// Under the lock: decode the response standing in the buffer.
template <class Decode>
auto decode_response(const DeviceConnection& c, Decode&& decode) {
    using Decoded = decltype(decode(uint32_t{}, wire::ConstBuffer(c.buffer)));
    using T = typename Decoded::value_type;
    Decoded d = decode(c.protocol_version.load(std::memory_order_relaxed), wire::ConstBuffer(c.buffer));
    if (!d) return Result<T>(tl::unexpected(Error::from_protocol(std::move(d.error()))));
    if constexpr (std::is_void_v<T>) {
        return Result<void>{};
    } else {
        return Result<T>(std::move(*d));
    }
}

// A response that carries only a service status: success is the empty
// result, anything else the failure Error::from_service names.
inline Result<void> status_only(ServiceStatus s) {
    if (s == ServiceStatus::Success) return {};
    return tl::unexpected(Error::from_service(s));
}

// The default result conversion: status-only responses become void, every
// other decoded value is the result as it is.
struct AsDecoded {
    Result<void> operator()(ServiceStatus s) const { return status_only(s); }
    template <class T>
    Result<std::decay_t<T>> operator()(T&& v) const {
        return Result<std::decay_t<T>>(std::forward<T>(v));
    }
    Result<void> operator()() const { return {}; }
};

namespace detail {
template <class Convert, class T>
struct Converted {
    using type = decltype(std::declval<Convert>()(std::declval<T>()));
};
template <class Convert>
struct Converted<Convert, void> {
    using type = decltype(std::declval<Convert>()());
};
}  // namespace detail

// The whole transaction. `convert` runs while the lock is still held.
template <class Encode, class Decode, class Convert = AsDecoded>
auto transact(DeviceConnection& c, const OpName& name, Encode&& encode, Decode&& decode, Convert&& convert = {}) {
    using Decoded = decltype(decode_response(c, decode));
    using T = typename Decoded::value_type;
    using Out = typename detail::Converted<Convert, T>::type;

    auto lock = c.acquire();
    if (!lock) return Out(tl::unexpected(std::move(lock.error())));
    if (auto sent = send_request(c, name, encode); !sent) return Out(tl::unexpected(std::move(sent.error())));
    auto decoded = decode_response(c, decode);
    if (!decoded) return Out(tl::unexpected(std::move(decoded.error())));
    if constexpr (std::is_void_v<T>) {
        return Out(convert());
    } else {
        return Out(convert(std::move(*decoded)));
    }
}

// Binds an encoder's arguments after (version, buffer).
template <class F, class... Args>
auto encoder(F f, Args... args) {
    return [=](uint32_t version, wire::Buffer buf) { return f(version, buf, args...); };
}

}  // namespace tq
