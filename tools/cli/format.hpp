// Text forms the command-line tool reads and prints: EANs, dates, sizes,
// durations, enumeration member names, and the rendering of a command's
// result as aligned text lines, a table, or JSON.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/ean.hpp"
#include "protocol/types.hpp"

namespace tq::cli {

using Json = nlohmann::ordered_json;

using tq::format_ean;

// ISO 8601 in UTC, "2023-11-14T22:13:20Z".
std::string format_utc(std::chrono::sys_seconds t);

// "999 B", "1.5 KiB", "12.0 MiB".
std::string format_bytes(uint64_t bytes);

// "0:05", "12:34", "1:02:03".
std::string format_duration(std::chrono::seconds d);

bool equals_ignore_case(std::string_view a, std::string_view b);

// Member names of an enumeration, in value order, from its name table.
template <class E>
std::vector<std::string> enum_names() {
    return {EnumInfo<E>::members.begin(), EnumInfo<E>::members.end()};
}

// A member by its name, ignoring case.
template <class E>
std::optional<E> parse_enum(std::string_view text) {
    const auto& members = EnumInfo<E>::members;
    for (size_t i = 0; i < members.size(); ++i) {
        if (equals_ignore_case(members[i], text)) return static_cast<E>(i);
    }
    return std::nullopt;
}

template <class E>
std::string enum_text(E value) {
    return std::string(enum_name(value));
}

template <class E>
Json enum_list(const std::vector<E>& values) {
    Json list = Json::array();
    for (E v : values) list.push_back(enum_text(v));
    return list;
}

// "on"/"off", ignoring case.
std::optional<bool> parse_on_off(std::string_view text);

// A text for the terminal with every control character escaped, so a device
// that names itself "\x1b]0;...\x07" cannot drive the user's terminal: C0
// controls and DEL as \xNN (\t \n \r as such), C1 controls as \u{NN}, bytes
// that are not UTF-8 as \xNN. Everything else, backslashes included, stays.
std::string terminal_safe(std::string_view text);

// JSON text as nlohmann dumps it (indent -1: one line), except that DEL and the
// C1 controls, which it passes through raw, are written as \u escapes too;
// JSON of texts without them is unchanged.
std::string json_text(const Json& value, int indent = -1);

// Text rendering of a result:
//  - an object: one "label  value" line per key, labels aligned;
//  - an array of objects: a table whose header is the keys of the first row;
//  - lists of scalars are joined by ", ", booleans print as on/off, null and
//    empty texts and lists as "-"; texts are terminal_safe.
// Keys are snake_case; labels and headers replace '_' by ' ' (headers in upper case).
std::string render_text(const Json& result);

}  // namespace tq::cli
