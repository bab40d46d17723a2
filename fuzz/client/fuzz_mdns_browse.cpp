// The querier's whole receive path on arbitrary datagrams, as the legacy
// socket and the group socket get them from anyone on the link: the browse's
// checks, its cache and the resolutions it reports. Input: records of
// [flags][length: 2 bytes][datagram]; flags choose the socket, the arrival
// interface and how far the clock moves. Checks: the caps hold (instances,
// addresses per resolution), an instance is reported at most once per
// admission, a report names an instance found before, follow-up questions
// are encodable and never repeated, and a legacy datagram counts only when
// it carries our id.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string>

#include "check.hpp"
#include "client/mdns_browse.hpp"

using namespace tq::dnssd;

// The browse's lines about dropped records go to standard output: not here.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) ::dup2(null, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const wire::Name service = wire::split_name("_px-command-api._tcp.local");
    constexpr uint16_t kId = 0x5a5a;
    std::map<std::string, int> found;  // label -> admissions not yet reported
    std::set<std::string> reported;    // labels reported since their last admission
    size_t events = 0;
    Browse browse(service, kId, std::chrono::milliseconds(30), [&](ServiceEvent e) {
        ++events;
        const std::string& label = e.service.instance_name;
        switch (e.kind) {
            case EventKind::ServiceFound:
                FUZZ_CHECK(reported.count(label) == 0);
                ++found[label];
                break;
            case EventKind::ServiceResolved:
                FUZZ_CHECK(found[label] > 0 && reported.insert(label).second);
                FUZZ_CHECK(!e.service.addresses.empty() && e.service.addresses.size() <= kMaxAddresses);
                break;
            case EventKind::ServiceRemoved:
                found.erase(label);
                reported.erase(label);
                break;
            default:
                FUZZ_CHECK(false);
        }
    });
    LinkPrefix lo;
    lo.index = 1;
    lo.loopback = true;
    lo.family = AF_INET;
    const LinkPrefix links[] = {lo};

    auto now = Browse::Clock::time_point{};
    size_t at = 0;
    while (at + 3 <= size) {
        const uint8_t flags = data[at];
        const size_t length = std::min<size_t>(size_t{data[at + 1]} << 8 | data[at + 2], size - at - 3);
        const std::span<const uint8_t> message(data + at + 3, length);
        at += 3 + length;
        const auto via = (flags & 1) != 0 ? Browse::Via::Legacy : Browse::Via::Group;
        const size_t before = events;
        browse.received(message, via, (flags >> 1) & 3, now, links);
        // A legacy reply with another id is not read at all.
        if (via == Browse::Via::Legacy && (length < 2 || (message[0] << 8 | message[1]) != kId)) {
            FUZZ_CHECK(events == before);
        }
        for (const auto& q : browse.take_follow_ups()) {
            FUZZ_CHECK(!wire::encode_question(kId, q.name, q.type, false).empty());
        }
        now += std::chrono::milliseconds(flags >> 3);
        browse.report_due(now);
        FUZZ_CHECK(browse.instance_count() <= kMaxInstances);
    }
    browse.finish();
    return 0;
}
