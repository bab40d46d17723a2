#include "client/ean.hpp"

#include <cinttypes>
#include <cstdio>

namespace tq {

std::string format_ean(uint64_t ean) {
    char text[48];
    const int n = std::snprintf(text, sizeof text, "%02" PRIx64 "-%05" PRIx64 "-%05" PRIx64 "-%" PRIu64,
                                (ean >> 44) & 0xfff, (ean >> 24) & 0xfffff, (ean >> 4) & 0xfffff, ean & 0xf);
    return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace tq
