#include "cli/address.hpp"

#include <charconv>
#include <utility>

#include "client/resolve.hpp"

namespace tq::cli {

namespace {

tl::unexpected<std::string> bad(std::string_view text, std::string_view why) {
    return tl::unexpected("invalid address '" + std::string(text) + "': " + std::string(why));
}

}  // namespace

tl::expected<HostPort, std::string> split_host_port(std::string_view text) {
    HostPort out;
    std::string_view port_text;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos) return bad(text, "missing ']'");
        out.host = std::string(text.substr(1, close - 1));
        if (close + 1 >= text.size() || text[close + 1] != ':') return bad(text, "expected ':PORT' after ']'");
        port_text = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string_view::npos) return bad(text, "expected HOST:PORT");
        if (text.find(':') != colon) return bad(text, "write IPv6 addresses in brackets, as [ADDRESS]:PORT");
        out.host = std::string(text.substr(0, colon));
        port_text = text.substr(colon + 1);
    }
    if (out.host.empty()) return bad(text, "empty host");
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), value);
    if (port_text.empty() || ec != std::errc{} || end != port_text.data() + port_text.size() || value == 0 ||
        value > 65535) {
        return bad(text, "the port must be a number from 1 to 65535");
    }
    out.port = static_cast<uint16_t>(value);
    return out;
}

tl::expected<ResolvedService, std::string> resolve_address(std::string_view text) {
    auto split = split_host_port(text);
    if (!split) return tl::unexpected(split.error());

    auto addresses = resolve_host(split->host);
    if (!addresses) {
        const HostLookupFailure& f = addresses.error();
        if (f.kind == HostLookupFailure::Kind::UnknownInterface) {
            return bad(text, "no network interface named '" + f.name + "'");
        }
        return tl::unexpected("cannot resolve host '" + f.name + "': " + f.reason);
    }
    ResolvedService service;
    service.instance_name = std::string(text);
    service.port = split->port;
    service.addresses = std::move(*addresses);
    return service;
}

}  // namespace tq::cli
