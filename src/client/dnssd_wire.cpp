#include "client/dnssd_wire.hpp"

#include <cstring>

namespace tq::dnssd::wire {

namespace {

constexpr uint16_t kClassIn = 1;
constexpr uint16_t kClassMask = 0x7fff;  // the top bit is cache-flush (answers) or unicast-response (questions)
constexpr uint16_t kUnicastResponseBit = 0x8000;
constexpr uint16_t kResponseFlag = 0x8000;
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

    // A possibly compressed name. Pointers must point backwards, which also
    // rules out loops.
    bool name(Name& out) {
        out.clear();
        size_t length = 1;
        size_t pos = at_;
        size_t resume = 0;  // where reading continues after the first pointer
        size_t lowest_target = pos;
        for (;;) {
            if (pos >= m_.size()) return false;
            const uint8_t len = m_[pos];
            if ((len & 0xc0) == 0xc0) {
                if (pos + 1 >= m_.size()) return false;
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

private:
    std::span<const uint8_t> m_;
    size_t at_ = 0;
};

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

std::optional<Response> parse_response(std::span<const uint8_t> message) {
    Reader in(message);
    Response out;
    uint16_t flags = 0;
    uint16_t counts[4] = {};
    if (!in.u16(out.id) || !in.u16(flags)) return std::nullopt;
    for (uint16_t& c : counts) {
        if (!in.u16(c)) return std::nullopt;
    }
    if ((flags & kResponseFlag) == 0) return std::nullopt;
    Name name;
    for (uint16_t q = 0; q < counts[0]; ++q) {
        if (!in.name(name) || !in.skip(4)) return std::nullopt;
    }
    const size_t records = static_cast<size_t>(counts[1]) + counts[2] + counts[3];
    for (size_t r = 0; r < records; ++r) {
        uint16_t type = 0;
        uint16_t klass = 0;
        uint32_t ttl = 0;
        uint16_t size = 0;
        if (!in.name(name) || !in.u16(type) || !in.u16(klass) || !in.u32(ttl) || !in.u16(size)) return std::nullopt;
        const size_t data = in.at();
        if (!in.skip(size)) return std::nullopt;
        if ((klass & kClassMask) != kClassIn || ttl == 0) continue;
        const size_t end = in.at();
        if (type == kTypePtr) {
            Response::Ptr ptr{name, {}};
            in.seek(data);
            if (!in.name(ptr.target) || in.at() != end) return std::nullopt;
            out.ptrs.push_back(std::move(ptr));
        } else if (type == kTypeSrv) {
            Response::Srv srv{name, {}, 0};
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
            out.addresses.push_back({name, ServiceAddress::v4(a)});
        } else if (type == kTypeAaaa && size == 16) {
            in6_addr a{};
            std::memcpy(&a, in.bytes(data, 16).data(), 16);
            out.addresses.push_back({name, ServiceAddress::v6(a, 0)});
        }
        in.seek(end);
    }
    return out;
}

}  // namespace tq::dnssd::wire
