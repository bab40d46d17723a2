// plenko-tq-sim: simulated devices on loopback TCP, for trying scripts
// without hardware and for the tests. Prints one line
//   READY 127.0.0.1:<port> 127.0.0.1:<port> ...
// once every device listens, then serves until Ctrl-C or SIGTERM.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "net/platform.hpp"
#include "sim/config.hpp"
#include "sim/mdns/advertise.hpp"
#include "sim/simulator.hpp"

namespace {

using namespace tq::sim;

struct Options {
    std::string config;
    size_t devices = 1;
    size_t interfaces = 2;
    std::optional<uint32_t> protocol_version;
    uint16_t first_port = 0;
    std::string bind = "127.0.0.1";
    std::optional<std::string> name;
    std::optional<uint64_t> serial;
    std::optional<std::string> ean;
    std::optional<uint16_t> chunk_size;
    std::optional<uint16_t> finalize_status;
    std::optional<uint64_t> reject_chunk;
    std::vector<std::string> faults;
    std::string random_faults;
    std::string log;
};

// Flags override the models, from the file or built in; numbered values
// (port, serial) count up from device to device.
std::vector<DeviceModel> build_models(const Options& o, bool devices_given, bool interfaces_given) {
    std::vector<DeviceModel> models;
    if (!o.config.empty()) {
        models = load_models_file(o.config);
        if (devices_given) models.resize(o.devices, models.empty() ? DeviceModel{} : models.back());
    } else {
        models.resize(o.devices);
        for (size_t i = 0; i < models.size(); ++i) models[i].serial_number += i;
    }
    for (size_t i = 0; i < models.size(); ++i) {
        DeviceModel& m = models[i];
        if (interfaces_given) m.interfaces.resize(o.interfaces);
        if (o.protocol_version) m.protocol_version = *o.protocol_version;
        if (o.first_port != 0) m.port = static_cast<uint16_t>(o.first_port + i);
        if (o.name) m.name = models.size() > 1 ? *o.name + " " + std::to_string(i + 1) : *o.name;
        if (o.serial) m.serial_number = *o.serial + i;
        if (o.ean) m.ean = ean_from_digits(*o.ean);
        if (o.chunk_size) m.chunk_size = *o.chunk_size;
        if (o.finalize_status) m.finalize_status = *o.finalize_status;
        if (o.reject_chunk) m.reject_chunk = *o.reject_chunk;
    }
    if (!o.random_faults.empty()) {
        const RandomFaults random = parse_random_faults(o.random_faults);
        for (size_t i = 0; i < models.size(); ++i) {
            models[i].random_faults = random;
            models[i].random_faults.seed = random.seed + i;  // devices do not misbehave in lockstep
        }
    }
    for (const std::string& spec : o.faults) {
        const FaultSpec f = parse_fault_spec(spec);
        if (f.device && *f.device >= models.size())
            throw ConfigError("fault for a device that does not exist: " + spec);
        for (size_t i = 0; i < models.size(); ++i) {
            if (!f.device || *f.device == i) models[i].faults[f.command] = f.fault;
        }
    }
    return models;
}

}  // namespace

static int run(int argc, char** argv) {
    CLI::App app{
        "Simulated network-attached automotive-Ethernet interface devices on TCP.\n"
        "Prints \"READY <address>:<port> ...\" (one entry per device) when listening,\n"
        "then serves until interrupted. Every request received can be logged in hex."};
    Options o;
    app.add_option("--config", o.config, "JSON file with device models (see tools/sim/config.hpp)")
        ->check(CLI::ExistingFile);
    auto* devices = app.add_option("-n,--devices", o.devices, "Number of simulated devices")->check(CLI::Range(1, 256));
    auto* interfaces = app.add_option("--interfaces", o.interfaces, "Interfaces (ports) per device");
    app.add_option("--protocol-version", o.protocol_version,
                   "Protocol version the devices report (1, 2; 0 or 3+ to test incompatibility)");
    app.add_option("-p,--port", o.first_port, "Port of the first device, counting up; 0 picks free ports");
    app.add_option("--bind", o.bind, "Numeric address to listen on")->capture_default_str();
    app.add_option("--name", o.name, "Device name (numbered when there are several devices)");
    app.add_option("--serial", o.serial, "Serial number of the first device, counting up");
    app.add_option("--ean", o.ean, "EAN as its 13 printed digits");
    app.add_option("--chunk-size", o.chunk_size, "Firmware chunk size the devices ask for (0 allowed)");
    app.add_option("--finalize-status", o.finalize_status, "Service status of the firmware finalize answer");
    app.add_option("--reject-chunk", o.reject_chunk, "Firmware chunk index answered with a rejection");
    app.add_option("--fault", o.faults,
                   "[DEVICE/]COMMAND:KIND[=VALUE][,...] with KIND one of delay=MS, close, partial=N,\n"
                   "raw=HEX, oversize=N, error=STATUS, status=STATUS, wrongcode, garbage=N,\n"
                   "split=MS, trickle=MS, times=N (repeatable). COMMAND is a code or a name:\n" +
                       command_names());
    app.add_option("--random-faults", o.random_faults,
                   "rate=R[,seed=N][,delay=MIN-MAX]: misbehave on a random share R of all requests");
    app.add_option("--log", o.log, "Append one line per request: <serial> <command> <hex bytes>");
    bool list_commands = false;
    app.add_flag("--list-commands", list_commands, "Print \"<code> <name>\" for every command and exit");
    AdvertiseOptions advertise;
    add_advertise_options(app, advertise);
    CLI11_PARSE(app, argc, argv);
    if (list_commands) {
        std::fputs(command_table().c_str(), stdout);
        return 0;
    }

    // Before any thread starts, so that serving threads leave the stop
    // requests to the one thread waiting for them.
    const tq::os::StopHook stop_hook;
    tq::os::keep_stop_requests_off_this_thread();
    tq::os::ignore_broken_pipe();

    try {
        SimulatorOptions so;
        so.bind_address = o.bind;
        so.log_path = o.log;
        so.keep_log = false;  // the process keeps no history; the log file has it
        Simulator sim(build_models(o, devices->count() > 0, interfaces->count() > 0), so);
        sim.start();
        // With --advertise, READY means discoverable: the names are established.
        Published published;
        if (advertise.advertise) published = start_advertising(advertise, sim);
        std::printf("%s\n", sim.ready_line().c_str());
        std::fflush(stdout);
        tq::os::wait_for_stop();
        published = Published{};  // goodbyes first, so no client connects to a closing device
        sim.stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "plenko-tq-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}

int main(int argc, char** argv) {
    // Building the command line can throw too (allocation); nothing may end
    // the process without a message.
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "plenko-tq-sim: %s\n", e.what());
        return 1;
    }
}
