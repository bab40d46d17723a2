// An mDNS responder for the simulated devices, on the wire code the client's
// querier uses: one thread answers questions for our names, announces them
// at start and withdraws them with goodbyes at the end. The names are unique
// per process (unique_host_label), so nothing is probed.
#include "sim/mdns/advertiser.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <random>
#include <thread>

#include "net/mdns_socket.hpp"
#include "sim/posix.hpp"
#include "net/mdns_wire.hpp"

namespace tq::sim {

namespace {

using dnssd::Fd;
using dnssd::LinkInterface;
using Section = dnssd::wire::MessageWriter::Section;
using Name = dnssd::wire::Name;
namespace wire = dnssd::wire;

// RFC 6762, 10: host records live two minutes, the others 75 minutes; a
// reply to a legacy question carries at most ten seconds.
constexpr uint32_t kHostTtl = 120;
constexpr uint32_t kServiceTtl = 4500;
constexpr uint32_t kLegacyTtl = 10;
// Announced twice, a second apart (RFC 6762, 8.3).
constexpr auto kSecondAnnouncement = std::chrono::seconds(1);

struct Record {
    enum class Kind : uint8_t { Ptr, Srv, Txt, Address };
    Kind kind = Kind::Ptr;
    Name owner;
    Name target;  // PTR: the instance; SRV: the host
    uint16_t port = 0;
    ServiceAddress address;
};

// One thing asked about: what answers it, and what goes with it so that
// nobody needs to ask again.
struct Answer {
    std::vector<Record> answers;
    std::vector<Record> additional;
};

// TTL 0 withdraws the records; legacy replies carry short TTLs and no
// cache-flush bits (RFC 6762, 6.7).
enum class Mode : uint8_t { Multicast, Legacy, Goodbye };

bool put(wire::MessageWriter& out, Section section, const Record& r, Mode mode) {
    const bool host = r.kind == Record::Kind::Address;
    const uint32_t ttl = mode == Mode::Goodbye ? 0 : mode == Mode::Legacy ? kLegacyTtl : host ? kHostTtl : kServiceTtl;
    const bool flush = mode == Mode::Multicast && r.kind != Record::Kind::Ptr;
    switch (r.kind) {
        case Record::Kind::Ptr:
            return out.ptr(section, r.owner, r.target, ttl);
        case Record::Kind::Srv:
            return out.srv(section, r.owner, r.target, r.port, ttl, flush);
        case Record::Kind::Txt:
            return out.empty_txt(section, r.owner, ttl, flush);
        case Record::Kind::Address:
            return out.address(section, r.owner, r.address, ttl, flush);
    }
    return false;
}

}  // namespace

struct Advertiser::Impl {
    struct Family {
        int family = 0;
        std::vector<LinkInterface> links;
        Fd socket;
    };

    std::vector<Advertisement> advertisements;
    StateCallback on_state;
    Name service = wire::split_name(std::string(kAdvertisedServiceType) + ".local");
    std::vector<Family> families;
    Fd wake_read;
    Fd wake_write;
    std::thread thread;
    std::vector<uint8_t> datagram = std::vector<uint8_t>(dnssd::kMaxDatagram);

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    State state = State::Registering;

    ~Impl() {
        if (thread.joinable()) {
            const char stop = 1;
            (void)!::write(wake_write.get(), &stop, 1);
            thread.join();
        }
        // Browsers drop the instances at once.
        send_everywhere(everything(), Mode::Goodbye);
    }

    void set_state(State s) {
        {
            std::lock_guard lock(mutex);
            if (state == s) return;
            state = s;
        }
        changed.notify_all();
        if (on_state) on_state(s);
    }

    static Name host_of(const Advertisement& ad) { return {ad.host_name, "local"}; }
    Name instance_of(const Advertisement& ad) const {
        Name name = service;
        name.insert(name.begin(), ad.instance_name);
        return name;
    }

    void add_host(std::vector<Record>& out, const Advertisement& ad, std::optional<ServiceAddress::Family> only) const {
        for (const ServiceAddress& a : ad.addresses) {
            if (!only || a.family == *only) out.push_back({Record::Kind::Address, host_of(ad), {}, 0, a});
        }
    }

    Answer instance_answer(const Advertisement& ad, bool with_ptr) const {
        Answer a;
        const Name instance = instance_of(ad);
        std::vector<Record>& service_records = with_ptr ? a.additional : a.answers;
        if (with_ptr) a.answers.push_back({Record::Kind::Ptr, service, instance, 0, {}});
        service_records.push_back({Record::Kind::Srv, instance, host_of(ad), ad.port, {}});
        service_records.push_back({Record::Kind::Txt, instance, {}, 0, {}});
        add_host(a.additional, ad, std::nullopt);
        return a;
    }

    // Every record, for announcements and goodbyes: one answer per instance.
    std::vector<Answer> everything() const {
        std::vector<Answer> out;
        for (const Advertisement& ad : advertisements) {
            Answer a = instance_answer(ad, true);
            a.answers.insert(a.answers.end(), a.additional.begin(), a.additional.end());
            a.additional.clear();
            out.push_back(std::move(a));
        }
        return out;
    }

    // What answers one question, known answers left out.
    void answers_for(const wire::Query::Question& q, const wire::Query& query, Mode mode,
                     std::vector<Answer>& out) const {
        const bool any = q.type == wire::kTypeAny;
        const uint32_t ttl = mode == Mode::Legacy ? kLegacyTtl : kServiceTtl;
        if (wire::same_name(q.name, service) && (any || q.type == wire::kTypePtr)) {
            for (const Advertisement& ad : advertisements) {
                const Name instance = instance_of(ad);
                const bool known =
                    std::any_of(query.known_answers.begin(), query.known_answers.end(), [&](const auto& k) {
                        return wire::same_name(k.owner, service) && wire::same_name(k.target, instance) &&
                               k.ttl >= ttl / 2;
                    });
                if (!known) out.push_back(instance_answer(ad, true));
            }
            return;
        }
        for (const Advertisement& ad : advertisements) {
            if (wire::same_name(q.name, instance_of(ad)) &&
                (any || q.type == wire::kTypeSrv || q.type == wire::kTypeTxt)) {
                out.push_back(instance_answer(ad, false));
            }
        }
        if (!any && q.type != wire::kTypeA && q.type != wire::kTypeAaaa) return;
        for (const Advertisement& ad : advertisements) {
            if (!wire::same_name(q.name, host_of(ad))) continue;
            Answer a;
            add_host(
                a.answers, ad,
                any ? std::nullopt
                    : std::optional(q.type == wire::kTypeA ? ServiceAddress::Family::V4 : ServiceAddress::Family::V6));
            if (!a.answers.empty()) out.push_back(std::move(a));
            return;  // several instances may share the host: its records once
        }
    }

    // One message for answers[from, to), or nullopt when they do not fit.
    std::optional<std::vector<uint8_t>> build(const std::vector<Answer>& answers, size_t from, size_t to, Mode mode,
                                              const wire::Query* echo) const {
        wire::MessageWriter out(echo != nullptr ? echo->id : 0, true, dnssd::kMaxSentMessage);
        if (echo != nullptr) {
            for (const auto& q : echo->questions) {
                if (!out.question(q.name, q.type)) return std::nullopt;
            }
        }
        std::vector<const Record*> extra;
        for (size_t i = from; i < to; ++i) {
            for (const Record& r : answers[i].answers) {
                if (!put(out, Section::Answer, r, mode)) return std::nullopt;
            }
            for (const Record& r : answers[i].additional) extra.push_back(&r);
        }
        // Instances of one host share its addresses: each record once.
        std::vector<const Record*> done;
        for (const Record* r : extra) {
            const bool again = std::any_of(done.begin(), done.end(), [&](const Record* d) {
                return d->kind == r->kind && wire::same_name(d->owner, r->owner) && d->address == r->address &&
                       d->port == r->port;
            });
            if (again) continue;
            done.push_back(r);
            if (!put(out, Section::Additional, *r, mode)) return std::nullopt;
        }
        return out.bytes();
    }

    // As many answers per message as fit; an answer too big for a message of
    // its own is left out.
    template <typename Send>
    void pack(const std::vector<Answer>& answers, Mode mode, const wire::Query* echo, Send send) const {
        size_t from = 0;
        while (from < answers.size()) {
            std::optional<std::vector<uint8_t>> fits;
            size_t to = from;
            while (to < answers.size()) {
                auto bigger = build(answers, from, to + 1, mode, echo);
                if (!bigger) break;
                fits = std::move(bigger);
                ++to;
            }
            if (!fits) {
                ++from;
                continue;
            }
            send(*fits);
            from = to;
        }
    }

    void send_everywhere(const std::vector<Answer>& answers, Mode mode) const {
        pack(answers, mode, nullptr, [&](const std::vector<uint8_t>& bytes) {
            for (const Family& f : families) {
                for (const LinkInterface& via : f.links) dnssd::send_to_group(f.socket.get(), f.family, via, bytes);
            }
        });
    }

    void answer(const Family& f, const dnssd::Datagram& d) {
        const auto query = wire::parse_query(std::span(datagram.data(), d.size));
        if (!query) return;
        const bool legacy = dnssd::source_port(d.from) != dnssd::kMdnsPort;
        const Mode mode = legacy ? Mode::Legacy : Mode::Multicast;
        std::vector<Answer> unicast;
        std::vector<Answer> multicast;
        for (const auto& q : query->questions)
            answers_for(q, *query, mode, legacy || q.unicast_response ? unicast : multicast);
        // A legacy querier gets its reply straight back, its questions and id
        // echoed; a QU question from 5353 too, as an ordinary response.
        pack(unicast, mode, legacy ? &*query : nullptr,
             [&](const std::vector<uint8_t>& bytes) { dnssd::send_datagram(f.socket.get(), d.from, bytes); });
        const auto via = std::find_if(f.links.begin(), f.links.end(),
                                      [&](const LinkInterface& l) { return l.index == d.interface; });
        if (via == f.links.end()) return;
        pack(multicast, Mode::Multicast, nullptr,
             [&](const std::vector<uint8_t>& bytes) { dnssd::send_to_group(f.socket.get(), f.family, *via, bytes); });
    }

    void run() {
        send_everywhere(everything(), Mode::Multicast);
        set_state(State::Established);
        auto second = std::chrono::steady_clock::now() + kSecondAnnouncement;
        bool announced_twice = false;
        std::vector<pollfd> fds{{wake_read.get(), POLLIN, 0}};
        for (const Family& f : families) fds.push_back({f.socket.get(), POLLIN, 0});
        for (;;) {
            int wait = -1;
            if (!announced_twice) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(second - std::chrono::steady_clock::now());
                wait = static_cast<int>(std::max<int64_t>(left.count(), 0));
            }
            for (pollfd& p : fds) p.revents = 0;
            if (::poll(fds.data(), fds.size(), wait) < 0 && errno != EINTR) return;
            if (fds[0].revents != 0) return;
            if (!announced_twice && std::chrono::steady_clock::now() >= second) {
                send_everywhere(everything(), Mode::Multicast);
                announced_twice = true;
            }
            for (size_t i = 0; i < families.size(); ++i) {
                if (fds[1 + i].revents == 0) continue;
                for (int n = 0; n < 64; ++n) {
                    const auto d = dnssd::receive_datagram(families[i].socket.get(), datagram);
                    if (!d) break;
                    if (!d->cut) answer(families[i], *d);
                }
            }
        }
    }
};

Advertiser::Advertiser(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Advertiser::~Advertiser() = default;

tl::expected<std::unique_ptr<Advertiser>, std::string> Advertiser::start(std::vector<Advertisement> advertisements,
                                                                         StateCallback on_state) {
    if (advertisements.empty()) return tl::unexpected(std::string("nothing to advertise"));
    for (const Advertisement& ad : advertisements) {
        if (ad.addresses.empty()) return tl::unexpected("no address for host " + ad.host_name);
        if (ad.instance_name.empty() || ad.host_name.empty()) return tl::unexpected(std::string("empty name"));
    }
    auto impl = std::make_unique<Impl>();
    impl->advertisements = std::move(advertisements);
    impl->on_state = std::move(on_state);
    for (const int family : {AF_INET, AF_INET6}) {
        Impl::Family f;
        f.family = family;
        f.links = dnssd::mdns_interfaces(family);
        f.socket = Fd(dnssd::open_group_socket(family, f.links));
        if (f.socket.get() >= 0) impl->families.push_back(std::move(f));
    }
    if (impl->families.empty()) return tl::unexpected(std::string("cannot start mDNS: UDP port 5353 cannot be bound"));
    int wake[2];
    if (!tq::sim::wake_pipe(wake)) return tl::unexpected(std::string("cannot start the mDNS thread"));
    impl->wake_read = Fd(wake[0]);
    impl->wake_write = Fd(wake[1]);
    try {
        impl->thread = std::thread([raw = impl.get()] { raw->run(); });
    } catch (...) {
        return tl::unexpected(std::string("cannot start the mDNS thread"));
    }
    return std::unique_ptr<Advertiser>(new Advertiser(std::move(impl)));
}

Advertiser::State Advertiser::state() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->state;
}

bool Advertiser::wait_established(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait_for(lock, timeout, [&] { return impl_->state != State::Registering; });
    return impl_->state == State::Established;
}

std::string unique_host_label(std::string_view prefix) {
    std::random_device entropy;
    std::mt19937 generator(entropy());
    char random[8];
    std::snprintf(random, sizeof random, "%06x", static_cast<unsigned>(generator() & 0xffffff));
    return std::string(prefix) + "-" + std::to_string(::getpid()) + "-" + random;
}

}  // namespace tq::sim
