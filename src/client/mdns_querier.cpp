// The DNS-SD daemon: an mDNS querier of our own over plain sockets. One
// thread asks and listens for the whole browse; what it hears goes through
// the browse's checks and caps (mdns_browse.hpp) into the event channel.
#include <algorithm>
#include <random>
#include <thread>

#include "client/dnssd.hpp"
#include "client/mdns_browse.hpp"
#include "net/mdns_socket.hpp"
#include "net/mdns_wire.hpp"

namespace tq::dnssd {

namespace {

using Clock = std::chrono::steady_clock;

// Datagrams read from one socket per wake-up; the rest wait for the next
// one, so a flood cannot keep the thread from the other sockets, its
// timers or a request to stop.
constexpr int kMaxDatagramsPerWakeUp = 32;
// The question for the service type goes out at once, then again after
// these intervals, each twice the one before: answers lost on a busy link
// are asked for again within a short scan, and a long one costs little.
constexpr std::chrono::milliseconds kFirstRepeat{50};
constexpr std::chrono::milliseconds kLongestRepeat{2000};
// A legacy reply repeats this TTL at most (RFC 6762, 6.7); known answers
// from replies go back with what they said.
constexpr uint32_t kKnownAnswerTtl = 10;

struct Family {
    int family = 0;
    std::vector<LinkInterface> links;
    Fd legacy;  // asks, and gets the replies
    Fd group;   // UDP 5353: hears what responders multicast, asks for records by multicast
};

class Querier final : public ServiceDaemon {
public:
    explicit Querier(const DaemonOptions& options) : options_(options) {}
    Querier(const Querier&) = delete;
    Querier& operator=(const Querier&) = delete;
    ~Querier() override { (void)shutdown(); }

    bool open();
    tl::expected<std::shared_ptr<EventChannel>, Failure> browse(std::string_view service_type) override;
    tl::expected<void, Failure> shutdown() override;

private:
    void run();
    void ask_for_instances();
    void ask(const Browse::Question& question);
    void read(const Fd& socket, Browse::Via via);

    const DaemonOptions options_;
    const uint16_t query_id_ = static_cast<uint16_t>(std::random_device{}() | 1);
    std::vector<Family> families_;
    std::vector<LinkPrefix> links_;
    os::Waker wake_;
    std::unique_ptr<Browse> browse_;
    std::shared_ptr<EventChannel> channel_;
    std::thread thread_;
    std::vector<uint8_t> datagram_ = std::vector<uint8_t>(kMaxDatagram);
    bool stopped_ = false;
};

bool Querier::open() {
    links_ = link_prefixes();
    for (const int family : {AF_INET, AF_INET6}) {
        Family f;
        f.family = family;
        f.links = mdns_interfaces(family);
        f.group = Fd(open_group_socket(family, f.links));
        if (!f.group.valid()) continue;
        f.legacy = Fd(open_legacy_query_socket(family));
        families_.push_back(std::move(f));
    }
    return !families_.empty() && wake_.valid();
}

tl::expected<std::shared_ptr<EventChannel>, Failure> Querier::browse(std::string_view service_type) {
    if (stopped_ || browse_) return tl::unexpected(Failure::Browse);
    const auto name = split_service_type(service_type);
    // The protocol label is _tcp or _udp (RFC 6763, 7).
    if (!name || !(name->type.ends_with("._tcp") || name->type.ends_with("._udp"))) {
        return tl::unexpected(Failure::Browse);
    }
    wire::Name service = wire::split_name(name->type + "." + name->domain);
    if (wire::encode_question(0, service, wire::kTypePtr, false).empty()) return tl::unexpected(Failure::Browse);
    auto channel = std::make_shared<EventChannel>();
    browse_ = std::make_unique<Browse>(std::move(service), query_id_, options_.settle,
                                       [channel](ServiceEvent event) { channel->send(std::move(event)); });
    channel->send(ServiceEvent{EventKind::SearchStarted, {}});
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        browse_.reset();
        return tl::unexpected(Failure::Browse);
    }
    channel_ = channel;
    return channel;
}

tl::expected<void, Failure> Querier::shutdown() {
    if (stopped_) return {};
    stopped_ = true;
    if (thread_.joinable()) {
        if (!wake_.wake()) return tl::unexpected(Failure::Shutdown);
        thread_.join();
    }
    if (browse_) browse_->finish();
    if (channel_) {
        channel_->send(ServiceEvent{EventKind::SearchStopped, {}});
        channel_->close();
    }
    return {};
}

void Querier::run() {
    ask_for_instances();
    auto next_question = Clock::now() + kFirstRepeat;
    auto interval = kFirstRepeat;
    std::vector<os::Socket> sockets{wake_.socket()};
    for (const Family& f : families_) {
        sockets.push_back(f.legacy.get());
        sockets.push_back(f.group.get());
    }
    std::unique_ptr<bool[]> ready(new bool[sockets.size()]);
    for (;;) {
        auto now = Clock::now();
        if (now >= next_question) {
            ask_for_instances();
            interval = std::min(interval * 2, kLongestRepeat);
            next_question = now + interval;
        }
        browse_->report_due(now);
        auto until = next_question;
        if (const auto due = browse_->next_due()) until = std::min(until, *due);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now);
        const std::span<bool> flags(ready.get(), sockets.size());
        if (os::wait_readable(sockets, flags, wait) < 0) {
            if (os::last_error() != os::err::kInterrupted) return;
            std::fill(flags.begin(), flags.end(), false);
        }
        if (flags[0]) return;
        for (size_t i = 0; i < families_.size(); ++i) {
            if (flags[1 + 2 * i]) read(families_[i].legacy, Browse::Via::Legacy);
            if (flags[2 + 2 * i]) read(families_[i].group, Browse::Via::Group);
        }
        for (const Browse::Question& question : browse_->take_follow_ups()) ask(question);
    }
}

void Querier::read(const Fd& socket, Browse::Via via) {
    for (int n = 0; n < kMaxDatagramsPerWakeUp; ++n) {
        const auto datagram = receive_datagram(socket.get(), datagram_);
        if (!datagram) return;
        if (datagram->cut || !from_responder_on_link(datagram->from, datagram->interface, links_)) continue;
        browse_->received(std::span(datagram_.data(), datagram->size), via, datagram->interface, Clock::now(), links_);
    }
}

// The question for the service type, from the legacy socket: responders
// answer it at once, by unicast, with the instances and as many of their
// records as fit. Instances already reported go with it as known answers,
// as many as fit, so responders leave them out.
void Querier::ask_for_instances() {
    wire::MessageWriter message(query_id_, false, kMaxSentMessage);
    message.question(browse_->service(), wire::kTypePtr);
    for (const auto& known : browse_->known_answers()) {
        if (!message.ptr(wire::MessageWriter::Section::Answer, known.owner, known.target,
                         std::min(known.ttl, kKnownAnswerTtl))) {
            break;
        }
    }
    for (const Family& f : families_) {
        if (!f.legacy.valid()) continue;
        for (const LinkInterface& via : f.links) send_to_group(f.legacy.get(), f.family, via, message.bytes());
    }
}

// A record the answers left out, asked by multicast like any question: a
// reply's source address is whatever its sender wrote, and a question sent
// there would let anyone aim our traffic at any host. From both sockets:
// the legacy one gets a unicast answer at once, the one on 5353 a multicast
// answer from responders that answer only those.
void Querier::ask(const Browse::Question& question) {
    const auto bytes = wire::encode_question(query_id_, question.name, question.type, false);
    if (bytes.empty()) return;
    for (const Family& f : families_) {
        // On the link the answer came from; a responder on this host may have
        // answered over loopback, where IPv6 multicast cannot go: then on
        // every link, which all reach this host too.
        const auto on = std::find_if(f.links.begin(), f.links.end(),
                                     [&](const LinkInterface& l) { return l.index == question.interface; });
        for (const LinkInterface& via : f.links) {
            if (on != f.links.end() && via.index != on->index) continue;
            if (f.legacy.valid()) send_to_group(f.legacy.get(), f.family, via, bytes);
            send_to_group(f.group.get(), f.family, via, bytes);
        }
    }
}

}  // namespace

DaemonResult create_daemon(const DaemonOptions& options) {
    auto daemon = std::make_unique<Querier>(options);
    if (!daemon->open()) return tl::unexpected(Failure::CreateDaemon);
    return std::unique_ptr<ServiceDaemon>(std::move(daemon));
}

}  // namespace tq::dnssd
