// A traced session for the dissector test: two simulated devices (protocol
// versions 2 and 1), every command of the table sent to each that its
// version admits, through the client's TCP stream and the table's generic
// codec, with the trace on. Writes what was sent and what came back, field
// by field as the client decoded it, as JSON lines:
//
//     wireshark_session TRACE.pcapng RECORD.jsonl [--bind ADDRESS]
//
// One device answers one command with a malformed packet, and one with an
// error response; the devices' own error responses (commands they do not
// implement) come on top.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/tcp_stream.hpp"
#include "client/trace.hpp"
#include "protocol/commands.hpp"
#include "sim/simulator.hpp"

namespace {

using namespace tq;
using proto::FieldKind;
using Json = nlohmann::ordered_json;

// An argument for every field kind, within the field's limits; the interface
// index addresses port 0.
proto::FieldValue argument(const proto::FieldSpec& f, std::vector<std::string>& texts) {
    switch (f.kind) {
        case FieldKind::Text:
            texts.push_back("trace " + std::string(f.name));
            return proto::FieldValue::of_text(texts.back());
        case FieldKind::Bytes: {
            texts.emplace_back("\x01\x02\x03\xfe\xff", 5);
            const auto& b = texts.back();
            return {0, {reinterpret_cast<const uint8_t*>(b.data()), b.size()}, {}};
        }
        case FieldKind::Bool:
            return {1, {}, {}};
        default:
            if (f.interface_index) return {0, {}, {}};
            // A value with a name in its coding (each coding names 1).
            if (f.meaning != proto::Meaning::Plain && f.meaning != proto::Meaning::Ean &&
                f.meaning != proto::Meaning::Seconds)
                return {1, {}, {}};
            return {std::min<uint64_t>(f.max, 0x0102030405060708ull), {}, {}};
    }
}

Json value_json(const proto::FieldSpec& f, const proto::FieldValue& v) {
    if (f.kind == FieldKind::Text) return std::string(v.text_field.data());
    if (f.kind == FieldKind::Bytes) {
        std::string hex;
        char two[3];
        for (uint8_t b : v.bytes) {
            std::snprintf(two, sizeof two, "%02x", b);
            hex += two;
        }
        return hex;
    }
    return v.number;
}

struct Device {
    TcpStream stream;
    uint32_t version;
};

// One exchange, recorded: the request's fields as encoded, the answer's as
// decoded (or its error status, or the decoder's failure).
Json exchange(Device& d, size_t device, const proto::CommandInfo& c) {
    std::array<uint8_t, proto::kBufferSize> buffer{};
    proto::PacketWriter writer{buffer};
    Json record{{"device", device}, {"code", proto::request_code(c.command)}, {"request", Json::object()}};
    std::vector<std::string> texts;
    texts.reserve(proto::kMaxFields);
    if (c.has_codec) {
        std::vector<proto::FieldValue> values;
        for (const auto& f : c.request.span()) values.push_back(argument(f, texts));
        if (proto::encode_request_values(writer, c.command, values) != 0) throw std::runtime_error("encode");
        for (size_t i = 0; i < values.size(); ++i) {
            proto::FieldValue shown = values[i];
            std::array<char, 128> text{};
            if (c.request[i].kind == FieldKind::Text) {
                std::copy(shown.bytes.begin(), shown.bytes.end(), text.begin());
                shown.text_field = text;
            }
            record["request"][std::string(c.request[i].name)] = value_json(c.request[i], shown);
        }
    } else {
        writer.start(proto::request_code(c.command));  // no codec: the bare header
    }
    const auto deadline = TcpStream::Clock::now() + std::chrono::seconds(5);
    auto now = TcpStream::Clock::now();
    size_t done = 0;
    if (!d.stream.write_all({buffer.data(), writer.packet_len()}, deadline, done, now))
        throw std::runtime_error("write");
    if (!d.stream.await_exact({buffer.data(), proto::kHeaderLen}, deadline, done, now))
        throw std::runtime_error("read header");
    const auto header = proto::read_header(buffer);
    if (!d.stream.read_exact({buffer.data() + proto::kHeaderLen, header.payload_len}, deadline, done))
        throw std::runtime_error("read payload");
    proto::PacketReader reader;
    reader.parse(buffer);
    Json response{{"code", header.command}};
    if (header.command == proto::kErrorResponse) {
        uint16_t status = 0;
        reader.take_u16(status);
        response["error_status"] = status;
    } else if (c.has_codec) {
        std::vector<proto::FieldValue> outs(c.response.size());
        std::vector<proto::TextField> fields(c.response.size());
        for (size_t i = 0; i < outs.size(); ++i) outs[i].text_field = fields[i];
        if (const auto s = proto::decode_response_values(reader, c.command, outs)) {
            response["decode_status"] = s;
        } else {
            response["fields"] = Json::object();
            for (size_t i = 0; i < outs.size(); ++i)
                response["fields"][std::string(c.response[i].name)] = value_json(c.response[i], outs[i]);
        }
    }
    record["response"] = response;
    return record;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: wireshark_session TRACE RECORD [--bind ADDRESS]\n";
        return 2;
    }
    sim::SimulatorOptions options;
    if (argc == 5 && std::string(argv[3]) == "--bind") options.bind_address = argv[4];
    sim::DeviceModel v2, v1;
    v1.protocol_version = 1;
    v1.serial_number = 1002;
    v2.name = "trace \xc3\xa9";  // a text beyond ASCII
    // A text count beyond the payload: a malformed answer.
    v2.faults[proto::request_code(proto::Command::GetPcbRevision)].raw =
        std::vector<uint8_t>{0x2a, 0x00, 0x05, 0x00, 0x09, 0x00, 'a', 'b', 'c'};
    v2.faults[proto::request_code(proto::Command::IdentifyDevice)].error_status = 5;
    sim::Simulator simulator({v2, v1}, options);
    simulator.start();

    if (auto started = trace::start(argv[1]); !started) {
        std::cerr << "wireshark_session: cannot write " << argv[1] << "\n";
        return 1;
    }
    std::ofstream record(argv[2]);
    try {
        for (size_t device = 0; device < 2; ++device) {
            ServiceAddress a;
            ServiceAddress::parse(options.bind_address, a);
            auto stream = TcpStream::connect(SocketAddress(a, simulator.port(device)), std::chrono::seconds(5));
            if (!stream) throw std::runtime_error("connect");
            // The version query first (it heads the table): what it says
            // decides, as in the client's handshake, what may follow.
            Device d{std::move(*stream), 0};
            for (const auto& c : proto::kCommands) {
                if (proto::version_gate(d.version, c.command) != 0) continue;
                const Json r = exchange(d, device, c);
                if (c.command == proto::Command::GetVersion) d.version = r["response"]["fields"]["version"];
                record << r.dump() << "\n";
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "wireshark_session: " << e.what() << "\n";
        return 1;
    }
    trace::stop();
    simulator.stop();
    return 0;
}
