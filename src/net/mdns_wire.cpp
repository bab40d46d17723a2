#include "net/mdns_wire.hpp"

#include <algorithm>
#include <cstring>

namespace tq::dnssd::wire {

namespace {

constexpr uint16_t kClassIn = 1;
constexpr uint16_t kClassMask = 0x7fff;  // the top bit is cache-flush (answers) or unicast-response (questions)
constexpr uint16_t kClassAny = 255;
constexpr uint16_t kUnicastResponseBit = 0x8000;
constexpr uint16_t kCacheFlushBit = 0x8000;
constexpr uint16_t kAuthoritativeFlag = 0x0400;
constexpr uint16_t kResponseFlag = 0x8000;
constexpr uint16_t kOpcodeMask = 0x7800;
constexpr uint16_t kTruncatedFlag = 0x0200;
constexpr size_t kMaxLabel = 63;
constexpr size_t kMaxName = 255;

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_label(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

void put_u16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xff));
}

class Reader {
public:
    explicit Reader(std::span<const uint8_t> message) : m_(message) {}

    bool u16(uint16_t& v) {
        if (at_ + 2 > m_.size()) return false;
        v = static_cast<uint16_t>(m_[at_] << 8 | m_[at_ + 1]);
        at_ += 2;
        return true;
    }
    bool u32(uint32_t& v) {
        uint16_t hi = 0;
        uint16_t lo = 0;
        if (!u16(hi) || !u16(lo)) return false;
        v = static_cast<uint32_t>(hi) << 16 | lo;
        return true;
    }
    bool skip(size_t n) {
        if (at_ + n > m_.size()) return false;
        at_ += n;
        return true;
    }
    size_t at() const { return at_; }
    void seek(size_t at) { at_ = at; }
    std::span<const uint8_t> bytes(size_t at, size_t n) const { return m_.subspan(at, n); }

    // A possibly compressed name. Pointers must point backwards, which rules
    // out loops; the hop limit keeps a chain of them from costing more than
    // the few steps a real name takes.
    bool name(Name& out) {
        out.clear();
        ++work_.names;
        size_t length = 1;
        size_t pos = at_;
        size_t resume = 0;  // where reading continues after the first pointer
        size_t lowest_target = pos;
        size_t hops = 0;
        for (;;) {
            ++work_.steps;
            if (pos >= m_.size()) return false;
            const uint8_t len = m_[pos];
            if ((len & 0xc0) == 0xc0) {
                if (pos + 1 >= m_.size() || ++hops > kMaxPointerHops) return false;
                work_.most_hops = std::max(work_.most_hops, hops);
                const size_t target = static_cast<size_t>(len & 0x3f) << 8 | m_[pos + 1];
                if (target >= lowest_target) return false;
                lowest_target = target;
                if (resume == 0) resume = pos + 2;
                pos = target;
                continue;
            }
            if ((len & 0xc0) != 0) return false;
            if (len == 0) {
                at_ = resume != 0 ? resume : pos + 1;
                return true;
            }
            length += len + 1u;
            if (length > kMaxName || pos + 1 + len > m_.size()) return false;
            out.emplace_back(reinterpret_cast<const char*>(m_.data() + pos + 1), len);
            pos += 1 + len;
        }
    }

    const Work& work() const { return work_; }

private:
    std::span<const uint8_t> m_;
    size_t at_ = 0;
    Work work_;
};

struct Header {
    uint16_t id = 0;
    uint16_t flags = 0;
    uint16_t questions = 0;
    uint16_t answers = 0;
    size_t records = 0;  // in all three sections
};

// The fixed header, if the message is a response (or a query) announcing no
// more than kMaxEntries entries.
std::optional<Header> read_header(Reader& in, bool response = true) {
    Header h;
    uint16_t counts[4] = {};
    if (!in.u16(h.id) || !in.u16(h.flags)) return std::nullopt;
    for (uint16_t& c : counts) {
        if (!in.u16(c)) return std::nullopt;
    }
    h.questions = counts[0];
    h.answers = counts[1];
    h.records = static_cast<size_t>(counts[1]) + counts[2] + counts[3];
    if (((h.flags & kResponseFlag) != 0) != response || h.questions + h.records > kMaxEntries) return std::nullopt;
    return h;
}

}  // namespace

Name split_name(std::string_view dotted) {
    Name out;
    if (!dotted.empty() && dotted.back() == '.') dotted.remove_suffix(1);
    while (!dotted.empty()) {
        const size_t dot = dotted.find('.');
        out.emplace_back(dotted.substr(0, dot));
        if (dot == std::string_view::npos) break;
        dotted.remove_prefix(dot + 1);
        if (dotted.empty()) out.emplace_back();  // "a..": keeps the empty label, which encoding refuses
    }
    return out;
}

std::string join_name(const Name& name) {
    std::string out;
    for (const auto& label : name) {
        if (!out.empty()) out += '.';
        out += label;
    }
    return out;
}

bool same_name(const Name& a, const Name& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!same_label(a[i], b[i])) return false;
    }
    return true;
}

std::string name_key(const Name& name) {
    std::string key = join_name(name);
    for (char& c : key) c = lower(c);
    return key;
}

std::optional<std::string> child_label(const Name& name, const Name& parent) {
    if (name.size() != parent.size() + 1) return std::nullopt;
    for (size_t i = 0; i < parent.size(); ++i) {
        if (!same_label(name[i + 1], parent[i])) return std::nullopt;
    }
    return name.front();
}

std::vector<uint8_t> encode_question(uint16_t id, const Name& name, uint16_t type, bool unicast_response) {
    std::vector<uint8_t> out;
    put_u16(out, id);
    out.insert(out.end(), {0, 0, 0, 1, 0, 0, 0, 0, 0, 0});  // standard query, one question
    size_t length = 1;
    for (const auto& label : name) {
        if (label.empty() || label.size() > kMaxLabel) return {};
        length += label.size() + 1;
        if (length > kMaxName) return {};
        out.push_back(static_cast<uint8_t>(label.size()));
        out.insert(out.end(), label.begin(), label.end());
    }
    out.push_back(0);
    put_u16(out, type);
    put_u16(out, static_cast<uint16_t>(kClassIn | (unicast_response ? kUnicastResponseBit : 0)));
    return out;
}

std::optional<Echo> echoed_question(std::span<const uint8_t> message) {
    Reader in(message);
    const auto header = read_header(in);
    if (!header || header->questions != 1 || (header->flags & kOpcodeMask) != 0) return std::nullopt;
    Echo out{header->id, {}, 0};
    uint16_t klass = 0;
    if (!in.name(out.name) || !in.u16(out.type) || !in.u16(klass)) return std::nullopt;
    return out;
}

namespace {

std::optional<Response> read_response(Reader& in) {
    const auto header = read_header(in);
    if (!header) return std::nullopt;
    Response out;
    out.id = header->id;
    out.truncated = (header->flags & kTruncatedFlag) != 0;
    Name name;
    for (uint16_t q = 0; q < header->questions; ++q) {
        if (!in.name(name) || !in.skip(4)) return std::nullopt;
    }
    for (size_t r = 0; r < header->records; ++r) {
        uint16_t type = 0;
        uint16_t klass = 0;
        uint32_t ttl = 0;
        uint16_t size = 0;
        if (!in.name(name) || !in.u16(type) || !in.u16(klass) || !in.u32(ttl) || !in.u16(size)) return std::nullopt;
        const size_t data = in.at();
        if (!in.skip(size)) return std::nullopt;
        if ((klass & kClassMask) != kClassIn) continue;
        const size_t end = in.at();
        if (type == kTypePtr) {
            Response::Ptr ptr{name, {}, ttl};
            in.seek(data);
            if (!in.name(ptr.target) || in.at() != end) return std::nullopt;
            out.ptrs.push_back(std::move(ptr));
        } else if (type == kTypeSrv) {
            Response::Srv srv{name, {}, 0, ttl};
            in.seek(data);
            uint16_t priority = 0;
            uint16_t weight = 0;
            if (!in.u16(priority) || !in.u16(weight) || !in.u16(srv.port) || !in.name(srv.target) || in.at() != end) {
                return std::nullopt;
            }
            out.srvs.push_back(std::move(srv));
        } else if (type == kTypeA && size == 4) {
            in_addr a{};
            std::memcpy(&a, in.bytes(data, 4).data(), 4);
            out.addresses.push_back({name, ServiceAddress::v4(a), ttl});
        } else if (type == kTypeAaaa && size == 16) {
            in6_addr a{};
            std::memcpy(&a, in.bytes(data, 16).data(), 16);
            out.addresses.push_back({name, ServiceAddress::v6(a, 0), ttl});
        }
        in.seek(end);
    }
    return out;
}

}  // namespace

std::optional<Response> parse_response(std::span<const uint8_t> message, Work* work) {
    Reader in(message);
    auto out = read_response(in);
    if (work != nullptr) *work = in.work();
    return out;
}

std::optional<Query> parse_query(std::span<const uint8_t> message) {
    Reader in(message);
    const auto header = read_header(in, false);
    if (!header || (header->flags & kOpcodeMask) != 0) return std::nullopt;
    Query out;
    out.id = header->id;
    for (uint16_t q = 0; q < header->questions; ++q) {
        Query::Question question;
        uint16_t klass = 0;
        if (!in.name(question.name) || !in.u16(question.type) || !in.u16(klass)) return std::nullopt;
        if ((klass & kClassMask) != kClassIn && (klass & kClassMask) != kClassAny) continue;
        question.unicast_response = (klass & kUnicastResponseBit) != 0;
        out.questions.push_back(std::move(question));
    }
    // Known answers are in the answer section; the rest is not looked at.
    const size_t answers = std::min<size_t>(header->answers, header->records);
    Name owner;
    for (size_t r = 0; r < answers; ++r) {
        uint16_t type = 0;
        uint16_t klass = 0;
        uint32_t ttl = 0;
        uint16_t size = 0;
        if (!in.name(owner) || !in.u16(type) || !in.u16(klass) || !in.u32(ttl) || !in.u16(size)) return std::nullopt;
        const size_t end = in.at() + size;
        if (type == kTypePtr && (klass & kClassMask) == kClassIn) {
            Response::Ptr ptr{owner, {}, ttl};
            if (!in.name(ptr.target) || in.at() != end) return std::nullopt;
            out.known_answers.push_back(std::move(ptr));
        } else if (!in.skip(size)) {
            return std::nullopt;
        }
    }
    return out;
}

MessageWriter::MessageWriter(uint16_t id, bool response, size_t limit) : limit_(limit) {
    put_u16(out_, id);
    put_u16(out_, response ? kResponseFlag | kAuthoritativeFlag : 0);
    out_.resize(12, 0);
}

void MessageWriter::set_truncated() {
    out_[2] |= static_cast<uint8_t>(kTruncatedFlag >> 8);
}

bool MessageWriter::open(Section section) {
    if (section < section_) return false;
    section_ = section;
    names_before_ = names_.size();
    return true;
}

void MessageWriter::commit(Section section) {
    const auto i = static_cast<size_t>(section);
    ++counts_[i];
    // Counts sit at 4 (questions), 6 (answers) and 10 (additional records).
    const size_t at = i == 0 ? 4 : i == 1 ? 6 : 10;
    out_[at] = static_cast<uint8_t>(counts_[i] >> 8);
    out_[at + 1] = static_cast<uint8_t>(counts_[i]);
}

bool MessageWriter::put_name(const Name& name) {
    size_t length = 1;
    for (const auto& label : name) {
        if (label.empty() || label.size() > kMaxLabel) return false;
        length += label.size() + 1;
    }
    if (length > kMaxName) return false;
    std::string suffix;
    for (size_t i = 0; i < name.size(); ++i) {
        suffix.clear();
        for (size_t j = i; j < name.size(); ++j) {
            for (const char c : name[j]) suffix.push_back(lower(c));
            suffix.push_back('.');
        }
        const auto known = std::find_if(names_.begin(), names_.end(), [&](const auto& n) { return n.first == suffix; });
        if (known != names_.end()) {
            put_u16(out_, static_cast<uint16_t>(0xc000 | known->second));
            return true;
        }
        // Only offsets a pointer can reach are remembered.
        if (out_.size() < 0x3fff) names_.emplace_back(suffix, static_cast<uint16_t>(out_.size()));
        out_.push_back(static_cast<uint8_t>(name[i].size()));
        out_.insert(out_.end(), name[i].begin(), name[i].end());
    }
    out_.push_back(0);
    return true;
}

bool MessageWriter::question(const Name& name, uint16_t type, bool unicast_response) {
    if (!open(Section::Question)) return false;
    const size_t before = out_.size();
    const bool written = put_name(name);
    if (written) {
        put_u16(out_, type);
        put_u16(out_, static_cast<uint16_t>(kClassIn | (unicast_response ? kUnicastResponseBit : 0)));
    }
    if (!written || out_.size() > limit_) {
        out_.resize(before);
        names_.resize(names_before_);
        return false;
    }
    commit(Section::Question);
    return true;
}

template <typename Data>
bool MessageWriter::record(Section section, const Name& owner, uint16_t type, uint32_t ttl, bool cache_flush,
                           Data data) {
    if (section == Section::Question || !open(section)) return false;
    const size_t before = out_.size();
    bool written = put_name(owner);
    if (written) {
        put_u16(out_, type);
        put_u16(out_, static_cast<uint16_t>(kClassIn | (cache_flush ? kCacheFlushBit : 0)));
        put_u16(out_, static_cast<uint16_t>(ttl >> 16));
        put_u16(out_, static_cast<uint16_t>(ttl & 0xffff));
        const size_t length_at = out_.size();
        put_u16(out_, 0);
        written = data();
        const size_t length = out_.size() - length_at - 2;
        out_[length_at] = static_cast<uint8_t>(length >> 8);
        out_[length_at + 1] = static_cast<uint8_t>(length);
    }
    if (!written || out_.size() > limit_) {
        out_.resize(before);
        names_.resize(names_before_);
        return false;
    }
    commit(section);
    return true;
}

bool MessageWriter::ptr(Section section, const Name& owner, const Name& target, uint32_t ttl) {
    return record(section, owner, kTypePtr, ttl, false, [&] { return put_name(target); });
}

bool MessageWriter::srv(Section section, const Name& owner, const Name& host, uint16_t port, uint32_t ttl,
                        bool cache_flush) {
    return record(section, owner, kTypeSrv, ttl, cache_flush, [&] {
        put_u16(out_, 0);  // priority
        put_u16(out_, 0);  // weight
        put_u16(out_, port);
        return put_name(host);
    });
}

bool MessageWriter::empty_txt(Section section, const Name& owner, uint32_t ttl, bool cache_flush) {
    // A TXT record holds at least one string; an empty one stands for "no keys".
    return record(section, owner, kTypeTxt, ttl, cache_flush, [&] {
        out_.push_back(0);
        return true;
    });
}

bool MessageWriter::address(Section section, const Name& owner, const ServiceAddress& address, uint32_t ttl,
                            bool cache_flush) {
    const bool v4 = address.family == ServiceAddress::Family::V4;
    return record(section, owner, v4 ? kTypeA : kTypeAaaa, ttl, cache_flush, [&] {
        out_.insert(out_.end(), address.bytes.begin(), address.bytes.begin() + (v4 ? 4 : 16));
        return true;
    });
}

}  // namespace tq::dnssd::wire
