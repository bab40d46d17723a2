// plenko-tq-sim as a process, the way the Python tests and users run it:
// read the READY line, talk to the ports, read the log file, stop it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "client/device.hpp"

namespace tq {
namespace {

class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args) {
        int out[2];
        if (::pipe(out) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv{const_cast<char*>(TQ_SIM_PATH)};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(TQ_SIM_PATH, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        stdout_ = ::fdopen(out[0], "r");
    }
    ~SimProcess() {
        if (pid_ > 0) stop();
        if (stdout_ != nullptr) std::fclose(stdout_);
    }
    std::string line() {
        char buf[4096];
        return std::fgets(buf, sizeof buf, stdout_) != nullptr ? std::string(buf) : std::string();
    }
    std::string rest() {
        std::string all;
        for (std::string l = line(); !l.empty(); l = line()) all += l;
        return all;
    }
    int stop() {
        ::kill(pid_, SIGTERM);
        return wait();
    }
    int wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    std::FILE* stdout_ = nullptr;
};

std::vector<uint16_t> ports_of(const std::string& ready) {
    std::istringstream in(ready);
    std::string word;
    in >> word;
    EXPECT_EQ(word, "READY");
    std::vector<uint16_t> ports;
    while (in >> word) {
        EXPECT_EQ(word.rfind("127.0.0.1:", 0), 0u) << word;
        ports.push_back(static_cast<uint16_t>(std::stoi(word.substr(word.find(':') + 1))));
    }
    return ports;
}

Result<Device> connect(uint16_t port) {
    ResolvedService s;
    ServiceAddress a;
    ServiceAddress::parse("127.0.0.1", a);
    s.addresses.push_back(a);
    s.port = port;
    return Device::connect(s);
}

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

TEST(SimProcessTest, serves_each_device_on_its_port_and_logs_every_request) {
    const std::string log = std::filesystem::temp_directory_path() / ("tq-sim-" + std::to_string(::getpid()) + ".log");
    std::filesystem::remove(log);
    SimProcess sim({"--devices", "2", "--serial", "500", "--name", "Rig", "--log", log});
    const auto ports = ports_of(sim.line());
    ASSERT_EQ(ports.size(), 2u);
    for (size_t i = 0; i < ports.size(); ++i) {
        const auto d = connect(ports[i]);
        ASSERT_TRUE(d) << d.error().debug_text();
        EXPECT_EQ(d->get_serial_number(), 500u + i);
        EXPECT_EQ(d->get_name().value(), "Rig " + std::to_string(i + 1));
    }
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(read_lines(log),
              (std::vector<std::string>{"500 1 01000000", "500 39 27000000", "500 29 1d000000", "500 3 03000000",
                                        "501 1 01000000", "501 39 27000000", "501 29 1d000000", "501 3 03000000"}));
    std::filesystem::remove(log);
}

TEST(SimProcessTest, flags_set_version_and_faults) {
    SimProcess sim({"--protocol-version", "3"});
    const auto ports = ports_of(sim.line());
    ASSERT_EQ(ports.size(), 1u);
    const auto d = connect(ports[0]);
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error().kind(), Error::Kind::ClientSoftwareTooOldForDevice);

    SimProcess faulty({"--fault", "3:error=5", "--chunk-size", "0"});
    const auto fd = connect(ports_of(faulty.line()).at(0));
    ASSERT_TRUE(fd);
    EXPECT_EQ(
        fd->get_name().error().text(),
        "An error ocurred in the protocol \"TQ_PROTOCOL_STATUS_SERVICE_ERROR_OPERATION_NOT_SUPPORTED_BY_DEVICE\"");
}

TEST(SimProcessTest, json_config_file_supplies_the_models) {
    const std::string path =
        std::filesystem::temp_directory_path() / ("tq-sim-" + std::to_string(::getpid()) + ".json");
    std::ofstream(path) << R"({"devices": [{"name": "From JSON", "serial_number": 9, "interfaces": [{}, {}, {}]}]})";
    SimProcess sim({"--config", path});
    const auto d = connect(ports_of(sim.line()).at(0));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->get_name().value(), "From JSON");
    EXPECT_EQ(d->get_serial_number(), 9u);
    EXPECT_EQ(d->get_interfaces().value().size(), 3u);
    std::filesystem::remove(path);
}

TEST(SimProcessTest, bad_arguments_fail_with_a_message_and_no_ready_line) {
    SimProcess sim({"--fault", "3:explode"});
    EXPECT_EQ(sim.rest(), "");
    EXPECT_NE(sim.wait(), 0);
}

TEST(SimProcessTest, help_describes_the_flags) {
    SimProcess sim({"--help"});
    const std::string text = sim.rest();
    EXPECT_EQ(sim.wait(), 0);
    for (const char* flag : {"--devices", "--protocol-version", "--port", "--config", "--fault", "--log",
                             "--chunk-size", "--finalize-status", "--reject-chunk"}) {
        EXPECT_NE(text.find(flag), std::string::npos) << flag;
    }
}

}  // namespace
}  // namespace tq
