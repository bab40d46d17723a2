// The DNS reply reader on arbitrary bytes, as the legacy-unicast socket gets
// them from anyone on the link. Besides memory safety it checks the work
// budget: no name follows more than kMaxPointerHops pointers, and the steps
// taken over all names stay linear in the message size.
#include <cstddef>
#include <cstdint>
#include <span>

#include "check.hpp"
#include "net/mdns_wire.hpp"

using namespace tq::dnssd::wire;

namespace {

// A name costs at most its pointer hops, its labels (each takes at least
// two of the 255 bytes a name may have) and the terminating byte or the
// step that fails.
constexpr size_t kStepsPerName = kMaxPointerHops + 255 / 2 + 1;

void check_name(const Name& name) {
    size_t length = 1;
    for (const auto& label : name) {
        FUZZ_CHECK(!label.empty() && label.size() <= 63);
        length += label.size() + 1;
    }
    FUZZ_CHECK(length <= 255);
    // Whatever was read can be asked about again.
    FUZZ_CHECK(!encode_question(0, name, kTypeSrv, false).empty());
}

uint16_t u16_at(std::span<const uint8_t> m, size_t at) {
    return static_cast<uint16_t>(m[at] << 8 | m[at + 1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> message(data, size);

    Work work;
    const auto response = parse_response(message, &work);
    FUZZ_CHECK(work.most_hops <= kMaxPointerHops);
    FUZZ_CHECK(work.steps <= work.names * kStepsPerName);
    // Every name read begins with a byte of its own: one of a question
    // (which takes five bytes at least) or of a record (eleven at least, and
    // a record reads at most two names).
    FUZZ_CHECK(work.names <= size / 5 + 2);
    FUZZ_CHECK(work.steps <= (size / 5 + 2) * kStepsPerName);

    if (response) {
        FUZZ_CHECK(size >= 12 && (message[2] & 0x80) != 0);
        FUZZ_CHECK(response->id == u16_at(message, 0));
        const size_t announced =
            size_t{u16_at(message, 4)} + u16_at(message, 6) + u16_at(message, 8) + u16_at(message, 10);
        FUZZ_CHECK(announced <= kMaxEntries);
        FUZZ_CHECK(response->ptrs.size() + response->srvs.size() + response->addresses.size() <= announced);
        for (const auto& p : response->ptrs) {
            check_name(p.owner);
            check_name(p.target);
        }
        for (const auto& s : response->srvs) {
            check_name(s.owner);
            check_name(s.target);
        }
        for (const auto& a : response->addresses) check_name(a.owner);
    }

    const auto echo = echoed_question(message);
    if (echo) {
        FUZZ_CHECK(echo->id == u16_at(message, 0) && u16_at(message, 4) == 1);
        check_name(echo->name);
        // The question is the first thing the full reader reads as well.
        if (response) FUZZ_CHECK(response->id == echo->id);
    }
    return 0;
}
