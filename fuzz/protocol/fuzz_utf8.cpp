// The UTF-8 validator against a plain code-point decoder, and the text
// primitives' round trip for every text the validator accepts.
#include <array>
#include <cstring>
#include <span>
#include <string_view>

#include "check.hpp"
#include "protocol/packet.hpp"

using namespace tq::proto;

namespace {

// Decodes each sequence into its code point and judges that, rather than
// checking byte ranges as the library does.
bool reference_valid(std::span<const uint8_t> s) {
    size_t i = 0;
    while (i < s.size()) {
        const uint8_t b = s[i];
        size_t len;
        uint32_t cp;
        if (b < 0x80) {
            ++i;
            continue;
        }
        if ((b & 0xE0) == 0xC0) {
            len = 2;
            cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
            cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
            cp = b & 0x07;
        } else
            return false;
        if (i + len > s.size()) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (s[i + k] & 0x3F);
        }
        static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes{data, size};
    const bool valid = is_valid_utf8(bytes);
    FUZZ_CHECK(valid == reference_valid(bytes));

    const std::string_view text{reinterpret_cast<const char*>(data), size};
    const std::string_view sent = text.substr(0, text.find('\0'));
    std::array<uint8_t, kHeaderLen + 65535> buf;
    PacketWriter out{buf};
    FUZZ_CHECK(out.start(4) == kSuccess);
    const Status s = out.append_text(text);
    if (!is_valid_utf8(sent)) {
        FUZZ_CHECK(s == kInvalidUtf8);
        FUZZ_CHECK(out.payload_len() == 0);
        return 0;
    }
    FUZZ_CHECK(s == kSuccess);
    FUZZ_CHECK(out.payload_len() == 2 + sent.size());

    PacketReader in;
    FUZZ_CHECK(in.parse(buf) == kSuccess);
    std::array<char, kTextFieldCapacity> field{};
    const Status t = in.take_text(field.data(), field.size());
    if (sent.size() >= kTextFieldCapacity) {
        FUZZ_CHECK(t == kBufferTooSmall);
    } else {
        FUZZ_CHECK(t == kSuccess);
        FUZZ_CHECK(std::memcmp(field.data(), sent.data(), sent.size()) == 0 && field[sent.size()] == '\0');
    }
    return 0;
}
