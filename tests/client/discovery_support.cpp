#include "discovery_support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace tq::testing {

namespace {

using namespace std::chrono_literals;

std::vector<std::string> split_words(const char* text) {
    std::vector<std::string> out;
    if (text == nullptr) return out;
    std::istringstream in(text);
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

// True when this process runs in the namespace scripts/netns created and
// named in TQ_NETNS. (Comparing with init's namespace is no use: reading
// /proc/1/ns/net may be refused, even to root, inside a container.)
bool inside_harness_namespace() {
    const char* name = std::getenv("TQ_NETNS");
    if (name == nullptr || *name == '\0' || std::getenv("TQ_NETNS_PEER") == nullptr) return false;
    struct stat self {};
    struct stat made {};
    if (::stat("/proc/self/ns/net", &self) != 0) return false;
    if (::stat((std::string("/run/netns/") + name).c_str(), &made) != 0) return false;
    return self.st_ino == made.st_ino && self.st_dev == made.st_dev;
}

std::string getenv_or(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

}  // namespace

std::optional<int> enter_private_network(int argc, char** argv, const std::vector<std::string>& harness_options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.find("list_tests") != std::string_view::npos) return std::nullopt;
    }
    if (inside_harness_namespace()) return std::nullopt;
    // Run through the harness once; if even that did not land us in its
    // namespace, stop rather than start over.
    if (std::getenv("TQ_NETNS_REEXECUTED") != nullptr) {
        std::fprintf(stderr, "scripts/netns did not put this process into its network namespace\n");
        return 1;
    }
    ::setenv("TQ_NETNS_REEXECUTED", "1", 1);

    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        std::fprintf(stderr, "cannot find this executable to run it in a private network namespace\n");
        return 1;
    }
    std::vector<std::string> args = {TQ_NETNS_SCRIPT, "--pair"};
    args.insert(args.end(), harness_options.begin(), harness_options.end());
    args.insert(args.end(), {"--", self});
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    std::vector<char*> raw;
    for (auto& a : args) raw.push_back(a.data());
    raw.push_back(nullptr);
    std::fflush(nullptr);
    ::execv(raw[0], raw.data());
    std::fprintf(stderr, "cannot run %s: %s\n", raw[0], std::strerror(errno));
    return 1;
}

Network Network::current() {
    Network n;
    n.local = getenv_or("TQ_NETNS", "");
    n.peer = getenv_or("TQ_NETNS_PEER", "");
    n.local_addresses = split_words(std::getenv("TQ_NETNS_LOCAL_ADDRESSES"));
    n.peer_addresses = split_words(std::getenv("TQ_NETNS_PEER_ADDRESSES"));
    n.star_links = split_words(std::getenv("TQ_NETNS_STAR_LINKS"));
    const auto addresses = split_words(std::getenv("TQ_NETNS_STAR_ADDRESSES"));
    const auto names = split_words(std::getenv("TQ_NETNS_STAR"));
    for (size_t i = 0; i < names.size() && i < addresses.size(); ++i) {
        Host host{names[i], {}};
        std::istringstream in(addresses[i]);
        for (std::string a; std::getline(in, a, ',');) host.addresses.push_back(a);
        n.star.push_back(std::move(host));
    }
    return n;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& netns) {
    std::vector<std::string> args;
    if (!netns.empty()) args = {"ip", "netns", "exec", netns};
    args.insert(args.end(), argv.begin(), argv.end());
    std::vector<char*> raw;
    for (auto& a : args) raw.push_back(a.data());
    raw.push_back(nullptr);

    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    std::fflush(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[1]);
    if (rc != 0) {
        ::close(pipe_fds[0]);
        return;
    }
    pid_ = pid;
    out_ = pipe_fds[0];
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), out_(std::exchange(other.out_, -1)), pending_(std::move(other.pending_)) {}

ChildProcess::~ChildProcess() {
    stop();
}

std::optional<std::string> ChildProcess::wait_for_line(std::string_view prefix, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (line.compare(0, prefix.size(), prefix) == 0) return line;
        }
        if (out_ < 0) return std::nullopt;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0) {
            ::close(out_);
            out_ = -1;
            continue;
        }
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

int ChildProcess::stop() {
    int status = 0;
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        pid_t done = 0;
        while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        if (done == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (out_ >= 0) ::close(out_);
    out_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Sim::Sim(const SimOptions& o)
    : process_(
          [&] {
              const Network net = Network::current();
              std::vector<std::string> args = {TQ_SIM_PATH, "--devices", std::to_string(o.devices)};
              if (o.serial) args.insert(args.end(), {"--serial", std::to_string(*o.serial)});
              if (o.ean) args.insert(args.end(), {"--ean", *o.ean});
              if (o.protocol_version) {
                  args.insert(args.end(), {"--protocol-version", std::to_string(*o.protocol_version)});
              }
              if (o.in_peer || o.star_host) {
                  // Dual-stack wildcard: the device answers on every address
                  // it advertises, IPv4 and IPv6.
                  args.insert(args.end(), {"--bind", "::"});
                  const auto& addresses = o.star_host ? net.star.at(*o.star_host).addresses : net.peer_addresses;
                  for (const auto& a : addresses) args.insert(args.end(), {"--advertise-address", a});
              }
              if (o.advertise) args.emplace_back("--advertise");
              if (o.refused) args.emplace_back("--advertise-refused");
              for (const size_t i : o.twice) args.insert(args.end(), {"--advertise-twice", std::to_string(i)});
              args.insert(args.end(), o.extra.begin(), o.extra.end());
              return args;
          }(),
          o.star_host ? Network::current().star.at(*o.star_host).netns
          : o.in_peer ? Network::current().peer
                      : std::string{}) {}

bool Sim::wait_ready() {
    if (ready()) return true;
    const auto line = process_.wait_for_line("READY", 15s);
    if (!line) return false;
    std::istringstream words(line->substr(5));
    for (std::string word; words >> word;) {
        ports.push_back(static_cast<uint16_t>(std::stoul(word.substr(word.rfind(':') + 1))));
    }
    return ready();
}

std::vector<std::unique_ptr<Sim>> start_sims(const std::vector<SimOptions>& options) {
    std::vector<std::unique_ptr<Sim>> sims;
    for (const SimOptions& o : options) sims.push_back(std::make_unique<Sim>(o));
    for (auto& sim : sims) {
        if (!sim->wait_ready()) return {};
    }
    return sims;
}

std::string test_python() {
    return getenv_or("PLENKO_TEST_PYTHON", TQ_TEST_PYTHON);
}

ZeroconfPeer::ZeroconfPeer(const std::string& instance, uint16_t port)
    : process_(
          [&] {
              std::vector<std::string> args = {test_python(), TQ_ZEROCONF_PEER_SCRIPT, instance,
                                               "tq-zc-" + std::to_string(::getpid()), std::to_string(port)};
              for (const auto& a : Network::current().peer_addresses) args.push_back(a);
              return args;
          }(),
          Network::current().peer) {
    ready_ = process_.wait_for_line("READY", 20s).has_value();
}

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    file_ = ::memfd_create("captured-stdout", MFD_CLOEXEC);
    saved_ = ::dup(1);
    if (file_ >= 0 && saved_ >= 0) ::dup2(file_, 1);
}

StdoutCapture::~StdoutCapture() {
    finish();
}

std::string StdoutCapture::finish() {
    std::string out;
    std::fflush(stdout);
    if (saved_ >= 0) {
        ::dup2(saved_, 1);
        ::close(saved_);
        saved_ = -1;
    }
    if (file_ >= 0) {
        char buffer[4096];
        for (off_t at = 0;;) {
            const ssize_t n = ::pread(file_, buffer, sizeof buffer, at);
            if (n <= 0) break;
            out.append(buffer, static_cast<size_t>(n));
            at += n;
        }
        ::close(file_);
        file_ = -1;
    }
    return out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

}  // namespace tq::testing
