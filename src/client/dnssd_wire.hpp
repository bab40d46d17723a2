// The little of the DNS message format the discovery adapter speaks itself:
// one-question queries, and the PTR, SRV, A and AAAA records of an answer.
// Everything else the library handles. What is read here arrives on a socket
// any host on the link can send to: every read is bounded, so a message of n
// bytes costs work linear in n whatever it holds.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/address.hpp"

namespace tq::dnssd::wire {

inline constexpr uint16_t kTypeA = 1;
inline constexpr uint16_t kTypePtr = 12;
inline constexpr uint16_t kTypeSrv = 33;
inline constexpr uint16_t kTypeAaaa = 28;

// Compression pointers followed while reading one name. Responders point
// each name at most once per label it shares with an earlier one; a longer
// chain is built to make the reader walk.
inline constexpr size_t kMaxPointerHops = 16;
// Questions and records a message may announce in all; a reply to one of
// our questions (at most 512 bytes) holds a few dozen.
inline constexpr size_t kMaxEntries = 256;

// A domain name as its labels, raw bytes (a label may hold dots or spaces,
// as service instance names do).
using Name = std::vector<std::string>;

// "a.b.local." -> {"a", "b", "local"}; no escapes are interpreted.
Name split_name(std::string_view dotted);
std::string join_name(const Name& name);
// DNS names compare ASCII case-insensitively.
bool same_name(const Name& a, const Name& b);
// `name` is one label followed by `parent`; that label, or nullopt.
std::optional<std::string> child_label(const Name& name, const Name& parent);

// A query with one question; empty if the name cannot be encoded (an empty
// label, a label over 63 bytes, a name over 255).
std::vector<uint8_t> encode_question(uint16_t id, const Name& name, uint16_t type, bool unicast_response);

// The header of a response that echoes exactly one question, and that
// question; the records are not looked at. Nullopt for anything else (a
// query, an opcode other than a standard query, no or several questions,
// more entries announced than kMaxEntries, a malformed question).
struct Echo {
    uint16_t id = 0;
    Name name;
    uint16_t type = 0;
};
std::optional<Echo> echoed_question(std::span<const uint8_t> message);

struct Response {
    struct Ptr {
        Name owner;
        Name target;
    };
    struct Srv {
        Name owner;
        Name target;
        uint16_t port = 0;
    };
    struct Address {
        Name owner;
        ServiceAddress address;  // interface index 0: the caller knows where it arrived
    };
    uint16_t id = 0;
    // The sender cut the message short (TC): records it meant to send are missing.
    bool truncated = false;
    std::vector<Ptr> ptrs;
    std::vector<Srv> srvs;
    std::vector<Address> addresses;
};

// What reading a message cost, for checking the bounds above.
struct Work {
    size_t names = 0;      // names read
    size_t steps = 0;      // labels and pointers stepped over, in all names
    size_t most_hops = 0;  // pointers followed in the worst name
};

// The records of class IN from every section of a response message, but
// goodbyes (TTL 0). Nullopt for a query, or a message that is malformed
// (truncated, a compression pointer that loops or points forward, more than
// kMaxPointerHops pointers in one name, a name over 255 bytes, more than
// kMaxEntries questions and records announced).
std::optional<Response> parse_response(std::span<const uint8_t> message, Work* work = nullptr);

}  // namespace tq::dnssd::wire
