-- The dissector proper: everything below reads the tables above and nothing
-- else knows a command, a field or a value.

local proto = Proto("plenko_tq", "plenko-tq command protocol")

local function range_names(runs)
    local t = {}
    for _, run in ipairs(runs) do
        for v = run[1], run[2] do t[v] = run[3] end
    end
    return t
end

local command_names = {}
for code, c in pairs(commands) do
    command_names[code] = c.name .. " request"
    command_names[code + 1] = c.name .. " response"
end
command_names[ERROR_RESPONSE] = "error response"

local request_names = {}
for code, c in pairs(commands) do request_names[code] = c.name end

local value_names, refused_values = {}, {}
for meaning, runs in pairs(VALUE_NAMES) do value_names[meaning] = range_names(runs) end
for meaning, runs in pairs(REFUSED_VALUES) do refused_values[meaning] = range_names(runs) end
value_names.service_status = SERVICE_STATUS_NAMES

local pf = {
    command = ProtoField.uint16("plenko_tq.command", "Command", base.DEC, command_names),
    length = ProtoField.uint16("plenko_tq.length", "Payload length", base.DEC),
    count = ProtoField.uint16("plenko_tq.count", "Byte count", base.DEC),
    answers = ProtoField.uint16("plenko_tq.answers", "Answers", base.DEC, request_names),
    error_status = ProtoField.uint16("plenko_tq.error_status", "Service status", base.DEC, SERVICE_STATUS_NAMES),
    request_in = ProtoField.framenum("plenko_tq.request_in", "Request in frame", base.NONE),
    response_in = ProtoField.framenum("plenko_tq.response_in", "Response in frame", base.NONE),
    response_time = ProtoField.relative_time("plenko_tq.response_time", "Response time"),
    extra = ProtoField.bytes("plenko_tq.extra", "Bytes after the last field"),
}
local ordered = {}
for _, name in ipairs({"command", "length", "count", "answers", "error_status", "request_in", "response_in",
                       "response_time", "extra"}) do
    ordered[#ordered + 1] = pf[name]
end

local function title(name)
    local t = name:gsub("_", " ")
    return (t:gsub("^%l", string.upper))
end

-- One ProtoField per field name of the table.
local field_of = {}
local proto_field = {
    u8 = ProtoField.uint8, u16 = ProtoField.uint16, status = ProtoField.uint16, u32 = ProtoField.uint32,
    u64 = ProtoField.uint64, bool = ProtoField.uint8, text = ProtoField.string, bytes = ProtoField.bytes,
}
for _, f in ipairs(FIELDS) do
    local name, kind, meaning = f[1], f[2], f[3]
    local abbr = "plenko_tq." .. name
    local pfield
    if kind == "text" or kind == "bytes" then
        pfield = proto_field[kind](abbr, title(name))
    elseif kind == "u64" then
        pfield = ProtoField.uint64(abbr, title(name), meaning == "ean" and base.HEX or base.DEC)
    else
        local display = meaning == "mode_bits" and base.HEX or base.DEC
        pfield = proto_field[kind](abbr, title(name), display, value_names[meaning])
    end
    field_of[name] = pfield
    ordered[#ordered + 1] = pfield
end
local mode_bit_fields = {}
for _, bit in ipairs(MODE_BITS) do
    local slug = bit[2]:lower():gsub("[^%w]+", "_"):gsub("_$", "")
    local pfield = ProtoField.bool("plenko_tq.mode." .. slug, bit[2], 16, nil, bit[1])
    mode_bit_fields[#mode_bit_fields + 1] = pfield
    ordered[#ordered + 1] = pfield
end
proto.fields = ordered

local ex = {
    cut = ProtoExpert.new("plenko_tq.cut", "Payload ends inside a field", expert.group.MALFORMED,
                          expert.severity.ERROR),
    extra = ProtoExpert.new("plenko_tq.extra_bytes", "Bytes after the last field (ignored)",
                            expert.group.PROTOCOL, expert.severity.NOTE),
    refused = ProtoExpert.new("plenko_tq.refused", "Value the client refuses", expert.group.PROTOCOL,
                              expert.severity.WARN),
    utf8 = ProtoExpert.new("plenko_tq.invalid_utf8", "Text is not valid UTF-8", expert.group.MALFORMED,
                           expert.severity.ERROR),
    long_text = ProtoExpert.new("plenko_tq.long_text", "Text longer than a client accepts",
                                expert.group.PROTOCOL, expert.severity.WARN),
    oversize = ProtoExpert.new("plenko_tq.oversize", "Packet larger than a client's buffer",
                               expert.group.PROTOCOL, expert.severity.WARN),
    unknown = ProtoExpert.new("plenko_tq.unknown_command", "Command code the table does not know",
                              expert.group.MALFORMED, expert.severity.WARN),
    unpaired = ProtoExpert.new("plenko_tq.unexpected", "Answer under another code than its request's",
                               expert.group.SEQUENCE, expert.severity.WARN),
    version = ProtoExpert.new("plenko_tq.not_in_version", "Command newer than the device's protocol version",
                              expert.group.PROTOCOL, expert.severity.WARN),
}
proto.experts = {ex.cut, ex.extra, ex.refused, ex.utf8, ex.long_text, ex.oversize, ex.unknown, ex.unpaired,
                 ex.version}

proto.prefs.ports = Pref.range("TCP ports", "", "TCP ports devices listen on (also learnt from DNS-SD)", 65535)

-- Well-formed UTF-8 (RFC 3629).
local function valid_utf8(s)
    local i, n = 1, #s
    while i <= n do
        local c = s:byte(i)
        local len, lo, hi = 0, 0x80, 0xBF
        if c < 0x80 then len = 1
        elseif c >= 0xC2 and c <= 0xDF then len = 2
        elseif c >= 0xE0 and c <= 0xEF then
            len = 3
            if c == 0xE0 then lo = 0xA0 elseif c == 0xED then hi = 0x9F end
        elseif c >= 0xF0 and c <= 0xF4 then
            len = 4
            if c == 0xF0 then lo = 0x90 elseif c == 0xF4 then hi = 0x8F end
        else return false end
        if i + len - 1 > n then return false end
        for k = 1, len - 1 do
            local b = s:byte(i + k)
            if k == 1 then
                if b < lo or b > hi then return false end
            elseif b < 0x80 or b > 0xBF then return false end
        end
        i = i + len
    end
    return true
end

local function format_ean(v)
    local function group(shift, mask) return v:rshift(shift):band(mask):tonumber() end
    return string.format("%02x-%05x-%05x-%d", group(44, 0xfff), group(24, 0xfffff), group(4, 0xfffff), group(0, 0xf))
end

local SIZES = {u8 = 1, bool = 1, u16 = 2, status = 2, u32 = 4, u64 = 8}

-- Adds one field at `offset` of the payload range; returns the offset after
-- it, or nil when the payload ends inside it.
local function add_field(tree, payload, offset, f)
    local name, kind, meaning = f[1], f[2], f[3]
    local left = payload:len() - offset
    local pfield = field_of[name]
    if kind == "text" or kind == "bytes" then
        if left < 2 then return nil end
        local n = payload(offset, 2):le_uint()
        if left < 2 + n then
            local item = tree:add(pfield, payload(offset, left), "")
            item:append_text(string.format(" [cut short: %d bytes announced, %d present]", n, left - 2))
            item:add_le(pf.count, payload(offset, 2))
            return nil
        end
        local whole = payload(offset, 2 + n)
        local item
        if kind == "text" then
            local raw = n > 0 and payload(offset + 2, n):raw() or ""
            item = tree:add(pfield, whole, n > 0 and payload(offset + 2, n):string(ENC_UTF_8) or "")
            if not valid_utf8(raw) then item:add_proto_expert_info(ex.utf8) end
            if n > MAX_TEXT_LEN then item:add_proto_expert_info(ex.long_text) end
        else
            item = n > 0 and tree:add(pfield, payload(offset + 2, n)) or tree:add(pfield, whole, "")
        end
        item:add_le(pf.count, payload(offset, 2))
        return offset + 2 + n
    end
    local size = SIZES[kind]
    if left < size then return nil end
    local r = payload(offset, size)
    local item = tree:add_le(pfield, r)
    if meaning == "ean" then
        item:append_text(" (EAN " .. format_ean(r:le_uint64()) .. ")")
    elseif meaning == "seconds" then
        local s = r:le_uint64():tonumber()
        local ok, text = pcall(os.date, "!%Y-%m-%d %H:%M:%S UTC", s)
        if ok and text then item:append_text(" (" .. text .. ")") end
    elseif meaning == "mode_bits" then
        for _, bit_field in ipairs(mode_bit_fields) do item:add_le(bit_field, r) end
    elseif kind == "bool" then
        item:append_text(r:le_uint() ~= 0 and " (on)" or " (off)")
    end
    local refused = refused_values[meaning]
    if refused and refused[r:le_uint()] then item:add_proto_expert_info(ex.refused, refused[r:le_uint()]) end
    return offset + size
end

local function add_fields(tree, payload, layout)
    local offset = 0
    for _, f in ipairs(layout) do
        offset = add_field(tree, payload, offset, f)
        if offset == nil then
            tree:add_proto_expert_info(ex.cut, "Payload ends inside " .. f[1])
            return false
        end
    end
    if payload:len() > offset then
        local item = tree:add(pf.extra, payload(offset, payload:len() - offset))
        item:add_proto_expert_info(ex.extra)
    end
    return true
end

-- Per TCP stream: the request waiting for its answer and the protocol
-- version the device reported. Per packet (frame and position in it): what
-- the first pass learnt, for every later one.
local streams, pdus = {}, {}
local tcp_stream = Field.new("tcp.stream")
local last_frame, position = -1, 0

local function remember(pinfo, code)
    if pinfo.number ~= last_frame then last_frame, position = pinfo.number, 0 end
    position = position + 1
    local key = pinfo.number .. ":" .. position
    if pinfo.visited then return pdus[key] end
    local info = {}
    pdus[key] = info
    local stream_field = tcp_stream()
    local stream_id = stream_field and stream_field.value or -1
    local s = streams[stream_id]
    if s == nil then
        s = {}
        streams[stream_id] = s
    end
    info.version = s.version
    if code % 2 == 1 and code ~= ERROR_RESPONSE then
        info.request = {frame = pinfo.number, time = pinfo.abs_ts, code = code}
        s.pending = info
    else
        local req = s.pending
        s.pending = nil
        if req then
            info.request_frame, info.request_code = req.request.frame, req.request.code
            info.elapsed = pinfo.abs_ts - req.request.time
            req.response_frame = pinfo.number
            if req.request.code == VERSION_QUERY and code == VERSION_QUERY + 1 then info.learns_version = true end
        end
        info.stream = s
    end
    return info
end

local function dissect_pdu(tvb, pinfo, tree)
    local code = tvb(0, 2):le_uint()
    local len = tvb(2, 2):le_uint()
    local info = remember(pinfo, code)
    local is_error = code == ERROR_RESPONSE
    local is_request = code % 2 == 1 and not is_error
    local command = commands[is_request and code or code - 1]
    if is_error and info.request_code then command = commands[info.request_code] end

    local label = command_names[code] or ("unknown command " .. code)
    if is_error and command then label = "error response to " .. command.name end
    local subtree = tree:add(proto, tvb(0, 4 + len), "plenko-tq, " .. label)
    local code_item = subtree:add_le(pf.command, tvb(0, 2))
    subtree:add_le(pf.length, tvb(2, 2))
    if 4 + len > CLIENT_BUFFER then subtree:add_proto_expert_info(ex.oversize) end
    local payload = tvb(4, len)

    if is_request then
        if info.response_frame then subtree:add(pf.response_in, info.response_frame):set_generated() end
        if command and info.version == 1 and command.since == 2 then subtree:add_proto_expert_info(ex.version) end
    else
        if info.request_frame then
            subtree:add(pf.request_in, info.request_frame):set_generated()
            local secs = math.floor(info.elapsed)
            subtree:add(pf.response_time, NSTime.new(secs, math.floor((info.elapsed - secs) * 1e9 + 0.5)))
                :set_generated()
            if not is_error and info.request_code + 1 ~= code then
                code_item:add_proto_expert_info(ex.unpaired)
            end
        end
    end

    local status_text = ""
    if command == nil then
        code_item:add_proto_expert_info(ex.unknown)
    elseif is_error then
        if info.request_code then subtree:add(pf.answers, info.request_code):set_generated() end
        if len < 2 then
            subtree:add_proto_expert_info(ex.cut, "Payload ends inside the service status")
        else
            subtree:add_le(pf.error_status, payload(0, 2))
            status_text = ": " .. (SERVICE_STATUS_NAMES[payload(0, 2):le_uint()] or payload(0, 2):le_uint())
            if len > 2 then subtree:add(pf.extra, payload(2, len - 2)):add_proto_expert_info(ex.extra) end
        end
    elseif command.codec then
        local layout = is_request and command.request or command.response
        add_fields(subtree, payload, layout)
        if info.learns_version and len >= 2 then info.stream.version = payload(0, 2):le_uint() end
    end

    local text = label .. status_text
    local cols = tostring(pinfo.cols.info)
    pinfo.cols.protocol:set("plenko-tq")
    if cols:find("plenko-tq: ", 1, true) == 1 then
        pinfo.cols.info:append(", " .. text)
    else
        pinfo.cols.info:set("plenko-tq: " .. text)
    end
    return 4 + len
end

local function pdu_length(tvb, pinfo, offset)
    return 4 + tvb(offset + 2, 2):le_uint()
end

function proto.dissector(tvb, pinfo, tree)
    dissect_tcp_pdus(tvb, tree, 4, pdu_length, dissect_pdu)
    return tvb:len()
end

-- A header a device or client could send: a known code and a length that fits.
local function plausible(tvb, offset)
    if tvb:len() - offset < 4 then return false end
    local code = tvb(offset, 2):le_uint()
    local len = tvb(offset + 2, 2):le_uint()
    if code == ERROR_RESPONSE then return len == 2 end
    local c = commands[code % 2 == 1 and code or code - 1]
    return c ~= nil and len <= CLIENT_BUFFER - 4 and 4 + len <= tvb:len() - offset
end

local function heuristic(tvb, pinfo, tree)
    if not plausible(tvb, 0) then return false end
    -- Every whole packet in the segment must be plausible too.
    local offset = 0
    while offset < tvb:len() do
        if not plausible(tvb, offset) then return false end
        offset = offset + 4 + tvb(offset + 2, 2):le_uint()
    end
    pcall(function() pinfo.conversation = proto end)
    proto.dissector(tvb, pinfo, tree)
    return true
end
proto:register_heuristic("tcp", heuristic)

local tcp_port = DissectorTable.get("tcp.port")
local registered = nil
function proto.prefs_changed()
    if registered then tcp_port:remove(registered, proto) end
    registered = proto.prefs.ports
    if registered and registered ~= "" then tcp_port:add(registered, proto) end
end

-- Ports learnt from DNS-SD: an SRV record of the service type names the
-- port a device listens on.
local learn = Proto("plenko_tq_dnssd", "plenko-tq device ports from DNS-SD")
local ok_fields, resp_name, resp_type, srv_port = pcall(function()
    return Field.new("dns.resp.name"), Field.new("dns.resp.type"), Field.new("dns.srv.port")
end)
if ok_fields then
    local learnt = {}
    function learn.dissector(tvb, pinfo, tree)
        local types = {resp_type()}
        if #types == 0 then return end
        local names, ports = {resp_name()}, {srv_port()}
        local k = 0
        for i, t in ipairs(types) do
            if t.value == 33 then
                k = k + 1
                local name = names[i] and tostring(names[i].value) or ""
                local port = ports[k] and ports[k].value
                if port and name:find(SERVICE_TYPE, 1, true) and not learnt[port] then
                    learnt[port] = true
                    tcp_port:add(port, proto)
                end
            end
        end
    end
    register_postdissector(learn)
end
