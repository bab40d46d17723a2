// Every response decoder of the thin layer on arbitrary buffers. Input byte 0
// picks the decoder, byte 1 the protocol version; the rest is the start of
// the 4096-byte connection buffer (zero-filled behind it).
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>

#include "check.hpp"
#include "protocol/codec.hpp"
#include "protocol/packet.hpp"
#include "protocol/status.hpp"
#include "protocol/wire_values.hpp"

using namespace tq;
using namespace tq::wire;

namespace {

using Kind = ProtocolError::Kind;

// Statuses a decoder may report as Status: cut payloads, foreign codes,
// oversized texts and the error-response translations.
bool allowed_status(uint32_t s) {
    switch (s) {
        case proto::kBufferTooSmall:
        case proto::kProtocolError:
        case proto::kServiceApiError:
        case proto::kExceedingStringLengthLimit:
        case proto::kReadBeyondPayload:
        case proto::kMemoryError:
        case proto::kInvalidUtf8:
            return true;
        default:
            return s >= proto::kServiceOperationFailed && s <= proto::kServiceInvalidCombination;
    }
}

void check_error(const ProtocolError& e, uint32_t version, uint32_t since) {
    if (since != 0 && version == 0) FUZZ_CHECK(e.kind == Kind::CommandNotInVersion);
    if (since != 0 && version >= 3) FUZZ_CHECK(e.kind == Kind::UnfamiliarVersion);
    if (since == 2 && version == 1) FUZZ_CHECK(e.kind == Kind::CommandNotInVersion);
    switch (e.kind) {
        case Kind::Status:
            FUZZ_CHECK(allowed_status(e.status));
            break;
        case Kind::Conversion:
            FUZZ_CHECK(!e.text.empty());
            break;
        case Kind::Service:
            FUZZ_CHECK(e.service != ServiceStatus::Success);
            break;
        case Kind::TextDecoding:
            FUZZ_CHECK(e.text == "Failed to decode utf-8 from bytes" ||
                       e.text == "Failed to convert cstring to native String");
            break;
        case Kind::CommandNotInVersion:
            // Version gate, or an error response carrying "not implemented".
            break;
        case Kind::UnfamiliarVersion:
            FUZZ_CHECK(since != 0 && version >= 3);
            break;
    }
    if (since == 0) FUZZ_CHECK(e.kind == Kind::Status);  // the version query is never gated
}

template <class T>
void check(const Result<T>& r, uint32_t version, uint32_t since, const std::function<void(const T&)>& ok) {
    if (r) {
        FUZZ_CHECK(since == 0 || (version >= since && version <= 2));
        ok(*r);
    } else {
        check_error(r.error(), version, since);
    }
}

void check_void(const Result<void>& r, uint32_t version, uint32_t since) {
    if (r)
        FUZZ_CHECK(since == 0 || (version >= since && version <= 2));
    else
        check_error(r.error(), version, since);
}

void text_ok(const std::string& t) {
    FUZZ_CHECK(t.size() <= 127);
    FUZZ_CHECK(t.find('\0') == std::string::npos);
    FUZZ_CHECK(proto::is_valid_utf8(t));
}

void config_ok(const EthInterfaceConfig& c) {
    FUZZ_CHECK(c.speed.size() <= 3 && c.role.size() <= 2);
    // All speeds share one duplex, and they come in ascending order.
    for (size_t i = 0; i < c.speed.size(); ++i) {
        FUZZ_CHECK(static_cast<int>(c.speed[i]) <= 5);
        FUZZ_CHECK(static_cast<int>(c.speed[i]) % 2 == static_cast<int>(c.speed[0]) % 2);
        if (i) FUZZ_CHECK(c.speed[i] > c.speed[i - 1]);
    }
    for (const EthRole r : c.role) FUZZ_CHECK(r == EthRole::Leader || r == EthRole::Follower);
    FUZZ_CHECK(static_cast<int>(c.aneg_mode) <= 1);
    // Decoding the re-encoded bits gives the same configuration back.
    FUZZ_CHECK(config_from_mode_bits(mode_bits_from_config(c)) == c);
}

template <class T>
auto ignore = [](const T&) {};

struct Decoder {
    uint32_t since;
    void (*run)(uint32_t version, ConstBuffer buf);
};

#define TEXT(fn, since)                                                                           \
    Decoder {                                                                                     \
        since, [](uint32_t v, ConstBuffer b) { check<std::string>(fn(v, b), v, since, text_ok); } \
    }
#define VALUE(fn, T, since, ok)                                                    \
    Decoder {                                                                      \
        since, [](uint32_t v, ConstBuffer b) { check<T>(fn(v, b), v, since, ok); } \
    }
#define VOID(fn, since)                                                          \
    Decoder {                                                                    \
        since, [](uint32_t v, ConstBuffer b) { check_void(fn(v, b), v, since); } \
    }

const Decoder kDecoders[] = {
    {0, [](uint32_t v, ConstBuffer b) { check<uint16_t>(decode_get_version(b), v, 0, ignore<uint16_t>); }},
    VALUE(decode_get_ean, uint64_t, 1, ignore<uint64_t>),
    VALUE(decode_get_serial_number, uint64_t, 1, ignore<uint64_t>),
    TEXT(decode_get_name, 1),
    TEXT(decode_get_nickname, 2),
    VOID(decode_set_nickname, 2),
    VALUE(decode_identify, ServiceStatus, 1, ignore<ServiceStatus>),
    VALUE(decode_get_num_interfaces, uint16_t, 1, ignore<uint16_t>),
    VALUE(decode_get_firmware_ean, uint64_t, 1, ignore<uint64_t>),
    TEXT(decode_get_pcb_revision, 1),
    TEXT(decode_get_firmware_version, 1),
    TEXT(decode_get_bootloader_version, 1),
    VALUE(decode_get_manufacturing_date, std::chrono::sys_seconds, 1,
          [](const std::chrono::sys_seconds& t) { FUZZ_CHECK(t.time_since_epoch().count() >= 0); }),
    VALUE(decode_firmware_start, uint16_t, 1, ignore<uint16_t>),
    VOID(decode_firmware_chunk, 1),
    VALUE(decode_firmware_finalize, ServiceStatus, 1, ignore<ServiceStatus>),
    TEXT(decode_if_get_nickname, 1),
    VALUE(decode_if_set_nickname, ServiceStatus, 1, ignore<ServiceStatus>),
    VALUE(decode_if_get_status, InterfaceStatus, 1,
          [](const InterfaceStatus& s) {
              FUZZ_CHECK(static_cast<int>(s.interface_type) <= 1);
              FUZZ_CHECK(static_cast<int>(s.eth_interface_status.link_state) <= 1);
              FUZZ_CHECK(s.eth_interface_status.role == EthRole::Leader ||
                         s.eth_interface_status.role == EthRole::Follower);
              FUZZ_CHECK(static_cast<int>(s.eth_interface_status.speed) <= 5);
              // The record rebuilt from the status decodes to the same status.
              FUZZ_CHECK(interface_status_from_record(record_from_interface_status(s)) == s);
          }),
    VALUE(decode_if_identify, ServiceStatus, 1, ignore<ServiceStatus>),
    VALUE(decode_if_get_supported_eth_configs, EthInterfaceConfig, 1, config_ok),
    VALUE(decode_if_set_eth_config, ServiceStatus, 1, ignore<ServiceStatus>),
    VALUE(decode_if_get_eth_config, EthInterfaceConfig, 1, config_ok),
    VALUE(decode_if_send_tc10_command, ServiceStatus, 2, ignore<ServiceStatus>),
    VALUE(decode_if_get_tc10_state, Tc10State, 2, [](const Tc10State& s) { FUZZ_CHECK(static_cast<int>(s) <= 3); }),
    VALUE(decode_if_read_dcq, DcqReading, 2, ignore<DcqReading>),
    VALUE(decode_if_run_cable_test, CableTestResult, 2,
          [](const CableTestResult& r) {
              FUZZ_CHECK(static_cast<int>(r.harness_status) <= 2);
              FUZZ_CHECK(r.distance_to_fault <= 255);
          }),
    VOID(decode_if_set_loopback_state, 2),
    VALUE(decode_if_get_loopback_state, bool, 2, ignore<bool>),
    VOID(decode_if_set_packet_generator_config, 2),
    VALUE(decode_if_get_packet_generator_config, PacketGeneratorConfig, 2,
          [](const PacketGeneratorConfig& c) {
              if (!c.enabled) FUZZ_CHECK(c == PacketGeneratorConfig{});
              FUZZ_CHECK(static_cast<int>(c.payload_size) <= 1 && static_cast<int>(c.payload_type) <= 3 &&
                         static_cast<int>(c.validity) <= 1);
              FUZZ_CHECK(pg_config_from_record(record_from_pg_config(c)) == c);
          }),
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const Decoder& d = kDecoders[data[0] % std::size(kDecoders)];
    // Mostly the meaningful versions, sometimes a far-off one.
    const uint32_t version = data[1] < 0xF0 ? data[1] % 4 : 0xFFFFFFF0u | data[1];
    std::array<uint8_t, kBufferSize> buf{};
    std::memcpy(buf.data(), data + 2, std::min(size - 2, buf.size()));
    d.run(version, ConstBuffer{buf});
    return 0;
}
