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

std::string scalar_text(const Json& v) {
    if (v.is_null()) return "-";
    if (v.is_boolean()) return v.get<bool>() ? "on" : "off";
    if (v.is_string()) return v.get<std::string>().empty() ? "-" : v.get<std::string>();
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
