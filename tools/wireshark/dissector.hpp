// The Wireshark dissector of the command protocol, as Lua source. Its tables
// (commands, fields, the names of wire values) are written from the protocol
// library's command table and conversions at build time, so the dissector
// shows what the client itself would make of every packet.
#pragma once

#include <string>
#include <string_view>

namespace tq::wireshark {

// The file name Wireshark loads it under, from a plugins directory.
inline constexpr std::string_view kFileName = "plenko_tq.lua";

std::string dissector_lua();

}  // namespace tq::wireshark
