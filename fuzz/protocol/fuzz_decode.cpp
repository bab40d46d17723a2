// Every reply the client reads, with the conversion its operation applies,
// on arbitrary buffers. Input byte 0 picks the command; the rest is the start
// of the 4096-byte connection buffer (zero-filled behind it).
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <set>
#include <span>
#include <string>
#include <tuple>

#include "check.hpp"
#include "protocol/packet.hpp"
#include "protocol/reply.hpp"
#include "protocol/status.hpp"
#include "protocol/wire_values.hpp"

using namespace tq;
using namespace tq::wire;
using proto::Command;

namespace {

using Kind = ProtocolError::Kind;
using Bytes = std::span<const uint8_t>;

// Statuses a reply may fail with: cut payloads, foreign codes, oversized
// texts, and whatever an error response's service status translates to.
bool allowed_status(uint32_t s) {
    switch (s) {
        case proto::kBufferTooSmall:
        case proto::kProtocolError:
        case proto::kExceedingStringLengthLimit:
        case proto::kReadBeyondPayload:
        case proto::kInvalidUtf8:
            return true;
        default:
            break;
    }
    static const std::set<uint32_t> translated = [] {
        std::set<uint32_t> out;
        for (uint32_t service = 0; service <= 0xFFFF; ++service)
            out.insert(proto::translate_service_status(ServiceStatus{static_cast<uint16_t>(service)}));
        return out;
    }();
    // Success is no error, and "not implemented" is an error of its own kind.
    return s != proto::kSuccess && s != proto::kNotImplemented && translated.count(s) > 0;
}

void check_error(const ProtocolError& e, bool version_query) {
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
        case Kind::CommandNotInVersion:  // an error response carrying "not implemented"
            break;
        case Kind::UnfamiliarVersion:  // only the version gate says this
            FUZZ_CHECK(false);
            break;
    }
    // The version query reads no error response, so no translated status.
    if (version_query) FUZZ_CHECK(e.kind == Kind::Status);
}

// The reply of C, converted as its operation converts it, checked by `ok`.
template <Command C, class Convert, class Ok>
void check(Bytes buf, Convert convert, Ok ok) {
    const auto r = proto::decode_reply<C>(buf).and_then(convert);
    if (r) {
        if constexpr (!std::is_void_v<typename decltype(r)::value_type>) ok(*r);
    } else {
        check_error(r.error(), C == Command::GetVersion);
    }
}

const auto as_is = [](const auto& v) { return tl::expected<std::decay_t<decltype(v)>, ProtocolError>(v); };
const auto as_void = []() { return tl::expected<void, ProtocolError>(); };
const auto ignore = [](const auto&) {};

// The spread of a tuple reply over a conversion's parameters.
template <class F>
auto spread(F f) {
    return [f](const auto& t) { return std::apply(f, t); };
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

void status_ok(const InterfaceStatus& s) {
    FUZZ_CHECK(static_cast<int>(s.interface_type) <= 1);
    FUZZ_CHECK(static_cast<int>(s.eth_interface_status.link_state) <= 1);
    FUZZ_CHECK(s.eth_interface_status.role == EthRole::Leader || s.eth_interface_status.role == EthRole::Follower);
    FUZZ_CHECK(static_cast<int>(s.eth_interface_status.speed) <= 5);
}

void pg_ok(const PacketGeneratorConfig& c) {
    if (!c.enabled) FUZZ_CHECK(c == PacketGeneratorConfig{});
    FUZZ_CHECK(static_cast<int>(c.payload_size) <= 1 && static_cast<int>(c.payload_type) <= 3 &&
               static_cast<int>(c.validity) <= 1);
    FUZZ_CHECK(std::apply(pg_config_from_wire, pg_config_to_wire(c)) == c);
}

template <Command C>
void text(Bytes b) {
    check<C>(b, as_is, text_ok);
}
template <Command C>
void number(Bytes b) {
    check<C>(b, as_is, ignore);
}
template <Command C>
void status_only(Bytes b) {
    check<C>(b, as_void, ignore);
}

using C = Command;
const std::array<void (*)(Bytes), 31> kReplies = {
    number<C::GetVersion>,
    number<C::GetEan>,
    number<C::GetSerialNumber>,
    text<C::DeviceGetName>,
    text<C::DeviceGetNickname>,
    status_only<C::DeviceSetNickname>,
    status_only<C::IdentifyDevice>,
    number<C::GetNumInterfaces>,
    number<C::GetFirmwareEan>,
    text<C::GetPcbRevision>,
    text<C::GetFirmwareVersion>,
    text<C::GetBootloaderVersion>,
    [](Bytes b) {
        check<C::GetManufacturingDate>(b, manufacturing_date_from_wire, [](const std::chrono::sys_seconds& t) {
            FUZZ_CHECK(t.time_since_epoch().count() >= 0);
        });
    },
    number<C::UpdateFirmwareStart>,
    number<C::UpdateFirmwareSendChunk>,
    [](Bytes b) {
        // The firmware update reads the finalize status itself.
        const auto r = proto::decode_fields<C::UpdateFirmwareFinalize>(b);
        if (!r) check_error(r.error(), false);
    },
    text<C::InterfaceGetNickname>,
    status_only<C::InterfaceSetNickname>,
    [](Bytes b) { check<C::GetInterfaceStatus>(b, spread(interface_status_from_wire), status_ok); },
    status_only<C::IdentifyInterface>,
    [](Bytes b) { check<C::GetSupportedEthInterfaceModes>(b, config_from_mode_bits, config_ok); },
    status_only<C::SetEthInterfaceMode>,
    [](Bytes b) {
        check<C::GetEthInterfaceMode>(b, spread([](uint16_t, uint16_t bits) { return config_from_mode_bits(bits); }),
                                      config_ok);
    },
    status_only<C::InterfaceSendTc10Command>,
    [](Bytes b) {
        check<C::InterfaceGetTc10State>(b, tc10_state_from_wire,
                                        [](const Tc10State& s) { FUZZ_CHECK(static_cast<int>(s) <= 3); });
    },
    [](Bytes b) {
        check<C::InterfaceReadDcq>(
            b, spread([](auto... f) { return tl::expected<DcqReading, ProtocolError>(dcq_from_wire(f...)); }), ignore);
    },
    [](Bytes b) {
        check<C::InterfaceRunCableTest>(b, spread(cable_test_from_wire), [](const CableTestResult& r) {
            FUZZ_CHECK(static_cast<int>(r.harness_status) <= 2);
            FUZZ_CHECK(r.distance_to_fault <= 255);
        });
    },
    status_only<C::InterfaceSetLoopback>,
    number<C::InterfaceGetLoopback>,
    status_only<C::InterfaceSetPacketGenerator>,
    [](Bytes b) { check<C::InterfaceGetPacketGenerator>(b, spread(pg_config_from_wire), pg_ok); },
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::array<uint8_t, proto::kBufferSize> buf{};
    std::memcpy(buf.data(), data + 1, std::min(size - 1, buf.size()));
    kReplies[data[0] % kReplies.size()](buf);
    return 0;
}
