// Printing an EAN as the devices carry it: a u64 whose hexadecimal digits are
// the EAN's decimal digits.
#pragma once

#include <cstdint>
#include <string>

namespace tq {

// XX-XXXXX-XXXXX-X: bits 44..55, 24..43 and 4..23 in lower-case hex (widths
// are minimums, never truncations), then the check digit in decimal (so
// 10..15 print as such). Bits 56..63 are ignored; digits are not validated.
std::string format_ean(uint64_t ean);

}  // namespace tq
