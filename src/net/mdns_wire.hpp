// The part of the mDNS message format that the client's querier and the
// simulator's responder speak: questions, and PTR, SRV, TXT, A and AAAA
// records. What is read here arrives on a socket any host on the link can
// send to: every read is bounded, so a message of n bytes costs work linear
// in n whatever it holds.
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
inline constexpr uint16_t kTypeTxt = 16;
inline constexpr uint16_t kTypeAaaa = 28;
inline constexpr uint16_t kTypeAny = 255;

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
// The name dotted and in ASCII lower case, for maps keyed by name.
std::string name_key(const Name& name);
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
    // A TTL of 0 is a goodbye: the record is withdrawn.
    struct Ptr {
        Name owner;
        Name target;
        uint32_t ttl = 0;
    };
    struct Srv {
        Name owner;
        Name target;
        uint16_t port = 0;
        uint32_t ttl = 0;
    };
    struct Address {
        Name owner;
        ServiceAddress address;  // interface index 0: the caller knows where it arrived
        uint32_t ttl = 0;
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

// The records of class IN from every section of a response message. Nullopt for a query, or a message that is malformed
// (truncated, a compression pointer that loops or points forward, more than
// kMaxPointerHops pointers in one name, a name over 255 bytes, more than
// kMaxEntries questions and records announced).
std::optional<Response> parse_response(std::span<const uint8_t> message, Work* work = nullptr);

// A query: its questions, and the PTR records it says it already knows
// (known answers). Nullopt for a response, an opcode other than a standard
// query, or a malformed message, with the bounds above.
struct Query {
    struct Question {
        Name name;
        uint16_t type = 0;
        bool unicast_response = false;
    };
    uint16_t id = 0;
    std::vector<Question> questions;
    std::vector<Response::Ptr> known_answers;
};
std::optional<Query> parse_query(std::span<const uint8_t> message);

// Builds one message of at most `limit` bytes, names compressed. Entries go
// in section order: questions, then answers, then additional records; an
// entry that would break the order or the limit is refused (false) and the
// message stays as it was.
class MessageWriter {
public:
    enum class Section : uint8_t { Question, Answer, Additional };
    MessageWriter(uint16_t id, bool response, size_t limit);

    bool question(const Name& name, uint16_t type, bool unicast_response = false);
    // The cache-flush bit marks records only their owner publishes (SRV,
    // TXT, addresses), not shared ones (PTR).
    bool ptr(Section section, const Name& owner, const Name& target, uint32_t ttl);
    bool srv(Section section, const Name& owner, const Name& host, uint16_t port, uint32_t ttl, bool cache_flush);
    bool empty_txt(Section section, const Name& owner, uint32_t ttl, bool cache_flush);
    bool address(Section section, const Name& owner, const ServiceAddress& address, uint32_t ttl, bool cache_flush);
    void set_truncated();

    size_t entries() const { return counts_[0] + counts_[1] + counts_[2]; }
    size_t size() const { return out_.size(); }
    const std::vector<uint8_t>& bytes() const { return out_; }

private:
    template <typename Data>
    bool record(Section section, const Name& owner, uint16_t type, uint32_t ttl, bool cache_flush, Data data);
    bool put_name(const Name& name);
    bool open(Section section);
    void commit(Section section);

    std::vector<uint8_t> out_;
    size_t limit_;
    Section section_ = Section::Question;
    size_t counts_[3] = {};
    // Offsets of names written so far, by their lower-case dotted suffix.
    std::vector<std::pair<std::string, uint16_t>> names_;
    size_t names_before_ = 0;
};

}  // namespace tq::dnssd::wire
