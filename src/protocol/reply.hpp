// What the client makes of a response: the fields the command table lays
// out, read where the response arrived, with a text as an owned string and a
// leading service status checked and dropped (anything but success is a
// Service failure). No field left is void, one is the value itself, several
// are a tuple. The values the client's types need converting (mode bits,
// records) go through wire_values.hpp afterwards.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include <tl/expected.hpp>

#include "protocol/commands.hpp"
#include "protocol/protocol_error.hpp"
#include "protocol/wire_values.hpp"

namespace tq::proto {

namespace detail {

template <class T>
struct ClientField : std::type_identity<T> {};
template <>
struct ClientField<TextField> : std::type_identity<std::string> {};

template <class... T>
struct Collapse : std::type_identity<std::tuple<T...>> {};
template <>
struct Collapse<> : std::type_identity<void> {};
template <class T>
struct Collapse<T> : std::type_identity<T> {};

template <bool DropFirst, class Fields>
struct ReplyOf;
template <class... T>
struct ReplyOf<false, std::tuple<T...>> : Collapse<typename ClientField<T>::type...> {};
template <class First, class... T>
struct ReplyOf<true, std::tuple<First, T...>> : Collapse<typename ClientField<T>::type...> {};

template <Command C>
constexpr bool checks_status() {
    const Layout& l = command_info(C).response;
    return l.size() > 0 && l[0].kind == FieldKind::Status;
}

inline tl::expected<std::string, ProtocolError> client_field(const TextField& text) {
    return wire::text_from_field(text);
}
template <class T>
tl::expected<T, ProtocolError> client_field(const T& value) {
    return value;
}

}  // namespace detail

template <Command C>
using Reply = typename detail::ReplyOf<detail::checks_status<C>(), ResponseFields<C>>::type;

// The response at the start of `buffer`, field by field, statuses unexamined.
template <Command C>
tl::expected<ResponseFields<C>, ProtocolError> decode_fields(std::span<const uint8_t> buffer) {
    PacketReader packet;
    ResponseFields<C> fields;
    Status s = packet.parse(buffer);
    if (s == kSuccess) s = std::apply([&](auto&... f) { return decode_response<C>(packet, f...); }, fields);
    if (s != kSuccess) return tl::unexpected(ProtocolError::from_status(s));
    return fields;
}

// The response at the start of `buffer` as the client's reply.
template <Command C>
tl::expected<Reply<C>, ProtocolError> decode_reply(std::span<const uint8_t> buffer) {
    return decode_fields<C>(buffer).and_then(
        [](const ResponseFields<C>& fields) -> tl::expected<Reply<C>, ProtocolError> {
            constexpr size_t first = detail::checks_status<C>() ? 1 : 0;
            if constexpr (first == 1) {
                const ServiceStatus s = std::get<0>(fields);
                if (s != ServiceStatus::Success) return tl::unexpected(ProtocolError::service_failure(s));
            }
            constexpr size_t n = std::tuple_size_v<ResponseFields<C>> - first;
            if constexpr (n == 0) {
                return {};
            } else if constexpr (n == 1) {
                return detail::client_field(std::get<first>(fields));
            } else {
                // Only single-field responses carry a text, so nothing here can fail.
                return [&]<size_t... I>(std::index_sequence<I...>) {
                    return Reply<C>{std::get<first + I>(fields)...};
                }
                (std::make_index_sequence<n>{});
            }
        });
}

}  // namespace tq::proto
