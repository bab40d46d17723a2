#include "cli/format.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace tq::cli {

std::string format_utc(std::chrono::sys_seconds t) {
    using namespace std::chrono;
    const auto day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss<seconds> time{t - day};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

std::string format_bytes(uint64_t bytes) {
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string format_duration(std::chrono::seconds d) {
    const long long total = std::max<long long>(0, d.count());
    const long long h = total / 3600, m = total / 60 % 60, s = total % 60;
    char text[32];
    if (h > 0) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", h, m, s);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", m, s);
    }
    return text;
}

bool equals_ignore_case(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

std::optional<bool> parse_on_off(std::string_view text) {
    if (equals_ignore_case(text, "on")) return true;
    if (equals_ignore_case(text, "off")) return false;
    return std::nullopt;
}

namespace {

// Length of the well-formed UTF-8 sequence at s[i] (overlong forms and
// surrogates included, which a terminal shows as replacement characters),
// 0 when the byte starts none.
size_t sequence_length(std::string_view s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    const size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
    }
    return n;
}

void append_hex(std::string& out, const char* prefix, unsigned value, const char* suffix) {
    char text[16];
    std::snprintf(text, sizeof text, "%s%02x%s", prefix, value, suffix);
    out += text;
}

}  // namespace

std::string terminal_safe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const size_t n = sequence_length(text, i);
        if (b == '\t' || b == '\n' || b == '\r') {
            out += b == '\t' ? "\\t" : b == '\n' ? "\\n" : "\\r";
            ++i;
        } else if (n == 0 || b < 0x20 || b == 0x7F) {  // not UTF-8, C0, DEL
            append_hex(out, "\\x", b, "");
            ++i;
        } else if (b == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            // U+0080..U+009F: CSI (U+009B) and OSC (U+009D) among them.
            append_hex(out, "\\u{", static_cast<unsigned char>(text[i + 1]), "}");
            i += 2;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string json_text(const Json& value, int indent) {
    const std::string dumped = value.dump(indent);
    // Outside strings a dump is printable ASCII, so these bytes are string content.
    std::string out;
    out.reserve(dumped.size());
    for (size_t i = 0; i < dumped.size(); ++i) {
        const auto b = static_cast<unsigned char>(dumped[i]);
        if (b == 0x7F) {
            out += "\\u007f";
        } else if (b == 0xC2 && i + 1 < dumped.size() && static_cast<unsigned char>(dumped[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(dumped[i + 1]) < 0xA0) {
            append_hex(out, "\\u00", static_cast<unsigned char>(dumped[++i]), "");
        } else {
            out += dumped[i];
        }
    }
    return out;
}

namespace {

std::string scalar_text(const Json& v) {
    if (v.is_null()) return "-";
    if (v.is_boolean()) return v.get<bool>() ? "on" : "off";
    if (v.is_string()) return v.get<std::string>().empty() ? "-" : terminal_safe(v.get<std::string>());
    if (v.is_array()) {
        if (v.empty()) return "-";
        std::string joined;
        for (const auto& item : v) {
            if (!joined.empty()) joined += ", ";
            joined += scalar_text(item);
        }
        return joined;
    }
    return v.dump();
}

std::string label(std::string key, bool upper) {
    for (char& c : key) {
        if (c == '_') c = ' ';
        if (upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return key;
}

void pad_to(std::string& line, size_t width) {
    if (line.size() < width) line.append(width - line.size(), ' ');
}

std::string render_table(const Json& rows) {
    if (rows.empty()) return {};
    std::vector<std::string> keys;
    for (const auto& [key, value] : rows.front().items()) keys.push_back(key);

    std::vector<std::vector<std::string>> cells;
    std::vector<std::string> header;
    header.reserve(keys.size());
    for (const auto& key : keys) header.push_back(label(key, true));
    cells.push_back(std::move(header));
    for (const auto& row : rows) {
        std::vector<std::string> line;
        line.reserve(keys.size());
        for (const auto& key : keys) line.push_back(scalar_text(row.contains(key) ? row.at(key) : Json()));
        cells.push_back(std::move(line));
    }
    std::vector<size_t> widths(keys.size(), 0);
    for (const auto& line : cells) {
        for (size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], line[i].size());
    }
    std::string out;
    for (const auto& line : cells) {
        std::string text;
        for (size_t i = 0; i < line.size(); ++i) {
            text += line[i];
            if (i + 1 < line.size()) pad_to(text, text.size() - line[i].size() + widths[i] + 2);
        }
        out += text + "\n";
    }
    return out;
}

}  // namespace

std::string render_text(const Json& result) {
    if (result.is_null()) return {};
    if (result.is_array() && (result.empty() || result.front().is_object())) return render_table(result);
    if (!result.is_object()) return scalar_text(result) + "\n";

    size_t width = 0;
    for (const auto& [key, value] : result.items()) width = std::max(width, key.size());
    std::string out;
    for (const auto& [key, value] : result.items()) {
        std::string line = label(key, false) + ":";
        pad_to(line, width + 3);
        out += line + scalar_text(value) + "\n";
    }
    return out;
}

}  // namespace tq::cli
