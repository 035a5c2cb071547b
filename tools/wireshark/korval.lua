-- Wireshark dissector for the traffic between canlib32.dll and a KORVAL gateway: Modbus/TCP
-- on TCP port 502 with the gateway's function 100 (sub-function 1 lists the active CANopen
-- nodes, sub-function 2 carries one CANopen SDO request or response). Frames with any other
-- function code go to Wireshark's own Modbus/TCP dissector.
--
--   tshark -X lua_script:tools/wireshark/korval.lua -2 -r capture.pcap
--   wireshark -X lua_script:tools/wireshark/korval.lua capture.pcap
-- or copy this file into Wireshark's personal Lua plugins folder.
--
-- Each reply is matched to its request (by transaction id, else the oldest open request of the
-- connection) with the response time in ms. Expert notes mark what canlib32.dll rejects: a
-- wrong length field, an empty node list, an exception reply, a reply that shares its TCP
-- segment with other bytes, a late reply, a reply that never completes and a request left
-- without reply (the last two need two passes: tshark -2, or the GUI). A reply in several
-- TCP segments gets a note only: the library joins the pieces as TCP reassembly does.

local MODBUS_PORT = 502
local GATEWAY_FUNCTION = 100
local EXCEPTION_FUNCTION = GATEWAY_FUNCTION + 128
local NODE_LIST, SDO = 1, 2
local GATEWAY_UNIT = 255
local SDO_FRAME_LENGTH = 11 -- length field of every sub-function 2 frame
local NODE_REQUEST_LENGTH = 3
local LIBRARY_WAIT_MS = 3000 -- how long the library waits for a reply

local korval = Proto("korval", "KORVAL gateway")

local functions = {
    [GATEWAY_FUNCTION] = "KORVAL gateway",
    [EXCEPTION_FUNCTION] = "Exception reply to the KORVAL gateway function",
}
local subfunctions = { [NODE_LIST] = "Get active nodes", [SDO] = "Encapsulated SDO" }

local exceptions = {
    [1] = "Illegal function",
    [2] = "Illegal data address",
    [3] = "Illegal data value",
    [4] = "Server device failure",
    [5] = "Acknowledge",
    [6] = "Server device busy",
    [8] = "Memory parity error",
    [10] = "Gateway path unavailable",
    [11] = "Gateway target device failed to respond",
}

-- CiA 301 command specifiers: the client's (requests) and the server's (responses).
local client_commands = {
    [0] = "Download segment",
    [1] = "Initiate download",
    [2] = "Initiate upload",
    [3] = "Upload segment",
    [4] = "Abort transfer",
    [5] = "Block upload",
    [6] = "Block download",
}
local server_commands = {
    [0] = "Upload segment",
    [1] = "Download segment",
    [2] = "Initiate upload",
    [3] = "Initiate download",
    [4] = "Abort transfer",
    [5] = "Block download",
    [6] = "Block upload",
}

-- CiA 301 SDO abort codes.
local abort_codes = {
    [0x05030000] = "Toggle bit not alternated",
    [0x05040000] = "SDO protocol timed out",
    [0x05040001] = "Client/server command specifier not valid or unknown",
    [0x05040002] = "Invalid block size (block mode only)",
    [0x05040003] = "Invalid sequence number (block mode only)",
    [0x05040004] = "CRC error (block mode only)",
    [0x05040005] = "Out of memory",
    [0x06010000] = "Unsupported access to an object",
    [0x06010001] = "Attempt to read a write only object",
    [0x06010002] = "Attempt to write a read only object",
    [0x06020000] = "Object does not exist in the object dictionary",
    [0x06040041] = "Object cannot be mapped to the PDO",
    [0x06040042] = "The number and length of the objects to be mapped would exceed PDO length",
    [0x06040043] = "General parameter incompatibility reason",
    [0x06040047] = "General internal incompatibility in the device",
    [0x06060000] = "Access failed due to a hardware error",
    [0x06070010] = "Data type does not match, length of service parameter does not match",
    [0x06070012] = "Data type does not match, length of service parameter too high",
    [0x06070013] = "Data type does not match, length of service parameter too low",
    [0x06090011] = "Sub-index does not exist",
    [0x06090030] = "Invalid value for parameter (download only)",
    [0x06090031] = "Value of parameter written too high (download only)",
    [0x06090032] = "Value of parameter written too low (download only)",
    [0x06090036] = "Maximum value is less than minimum value",
    [0x060A0023] = "Resource not available: SDO connection",
    [0x08000000] = "General error",
    [0x08000020] = "Data cannot be transferred or stored to the application",
    [0x08000021] = "Data cannot be transferred or stored to the application because of local control",
    [0x08000022] = "Data cannot be transferred or stored to the application because of the present device state",
    [0x08000023] = "Object dictionary dynamic generation fails or no object dictionary is present",
    [0x08000024] = "No data available",
}

local f = {
    tid = ProtoField.uint16("korval.tid", "Transaction id"),
    protocol = ProtoField.uint16("korval.protocol", "Protocol id"),
    length = ProtoField.uint16("korval.length", "Length"),
    unit = ProtoField.uint8("korval.unit", "Unit id"),
    func = ProtoField.uint8("korval.function", "Function code", base.DEC, functions),
    subfunction = ProtoField.uint8("korval.subfunction", "Sub-function", base.DEC, subfunctions),
    node = ProtoField.uint8("korval.node", "Node"),
    node_count = ProtoField.uint8("korval.node_count", "Nodes listed"),
    exception = ProtoField.uint8("korval.exception", "Exception code", base.DEC, exceptions),
    sdo_cs = ProtoField.uint8("korval.sdo.cs", "Command specifier", base.DEC, nil, 0xE0),
    sdo_toggle = ProtoField.uint8("korval.sdo.toggle", "Toggle bit", base.DEC, nil, 0x10),
    sdo_unused = ProtoField.uint8("korval.sdo.n", "Bytes without data"),
    sdo_expedited = ProtoField.bool("korval.sdo.expedited", "Expedited", 8, nil, 0x02),
    sdo_size_indicated = ProtoField.bool("korval.sdo.size_indicated", "Size indicated", 8, nil, 0x01),
    sdo_last = ProtoField.bool("korval.sdo.last", "Last segment", 8, nil, 0x01),
    sdo_index = ProtoField.uint16("korval.sdo.index", "Index", base.HEX),
    sdo_subindex = ProtoField.uint8("korval.sdo.subindex", "Sub-index", base.HEX),
    sdo_size = ProtoField.uint32("korval.sdo.size", "Data size"),
    sdo_data = ProtoField.bytes("korval.sdo.data", "Data"),
    sdo_abort = ProtoField.uint32("korval.sdo.abort", "Abort code", base.HEX, abort_codes),
    request_in = ProtoField.framenum("korval.request_in", "Request in", base.NONE, frametype.REQUEST),
    response_in = ProtoField.framenum("korval.response_in", "Response in", base.NONE, frametype.RESPONSE),
    time = ProtoField.double("korval.time", "Response time (ms)"),
    garbage = ProtoField.bytes("korval.garbage", "Bytes that are not Modbus/TCP"),
}
korval.fields = f

local e = {
    bad_length = ProtoExpert.new("korval.bad_length", "Wrong length field",
        expert.group.MALFORMED, expert.severity.ERROR),
    empty_list = ProtoExpert.new("korval.empty_list", "Empty node list",
        expert.group.PROTOCOL, expert.severity.WARN),
    bad_reply = ProtoExpert.new("korval.bad_reply", "Reply the library rejects",
        expert.group.PROTOCOL, expert.severity.WARN),
    exception = ProtoExpert.new("korval.exception_reply", "Exception reply",
        expert.group.RESPONSE_CODE, expert.severity.WARN),
    split = ProtoExpert.new("korval.split_reply", "Reply split over TCP segments",
        expert.group.REASSEMBLE, expert.severity.NOTE),
    incomplete_reply = ProtoExpert.new("korval.incomplete_reply", "Reply never completed",
        expert.group.SEQUENCE, expert.severity.WARN),
    shared = ProtoExpert.new("korval.shared_segment", "Reply shares its TCP segment",
        expert.group.PROTOCOL, expert.severity.WARN),
    late = ProtoExpert.new("korval.late_reply", "Reply after the library stopped waiting",
        expert.group.SEQUENCE, expert.severity.WARN),
    no_reply = ProtoExpert.new("korval.no_reply", "Request without reply",
        expert.group.SEQUENCE, expert.severity.WARN),
    unsolicited = ProtoExpert.new("korval.unsolicited", "Reply without request",
        expert.group.SEQUENCE, expert.severity.WARN),
    sdo_abort = ProtoExpert.new("korval.sdo.aborted", "SDO transfer aborted",
        expert.group.RESPONSE_CODE, expert.severity.NOTE),
    not_modbus = ProtoExpert.new("korval.not_modbus", "Not Modbus/TCP",
        expert.group.MALFORMED, expert.severity.ERROR),
    reassembly_off = ProtoExpert.new("korval.reassembly_off", "Frame continues, reassembly off",
        expert.group.REASSEMBLE, expert.severity.WARN),
}
korval.experts = {
    e.bad_length, e.empty_list, e.bad_reply, e.exception, e.split, e.incomplete_reply, e.shared,
    e.late, e.no_reply, e.unsolicited, e.sdo_abort, e.not_modbus, e.reassembly_off,
}

local tcp_stream = Field.new("tcp.stream")
local modbus_tcp = Dissector.get("mbtcp")

-- Bits width wide from bit shift up (Lua 5.2 and later alike).
local function bits(value, shift, width)
    return math.floor(value / 2 ^ shift) % 2 ^ width
end

local function exception_text(code)
    return string.format("%s (%d)", exceptions[code] or "Unknown exception", code)
end

local function abort_text(code)
    return string.format("%s (0x%08X)", abort_codes[code] or "Unknown abort code", code)
end

-- What the matching learns on the first pass, for every later look at the same frame:
--   requests[key]: tid, frame, time, response (frame of the reply), partial (frame in which
--     a reply began that may never complete)
--   replies[key]: request (its record), split_from (frame the reply began in), alone (the
--     only bytes of its TCP segment)
--   streams[stream]: requests still waiting for a reply, oldest first
--   pending[direction]: frame in which a frame began that TCP is still reassembling
-- A key is the frame number and the frame's place among the Modbus frames of that packet.
local state

local function reset()
    state = { requests = {}, replies = {}, streams = {}, pending = {} }
end
reset()
korval.init = reset -- each new capture file

local function add_generated(tree, field, value)
    tree:add(field, value):set_generated()
end

local function printable(range)
    local text = range:string()
    if text:match("^[%g ]+$") then
        return ' "' .. text .. '"'
    end
    return ""
end

-- The 8 bytes of a CANopen SDO frame; returns a summary for the Info column.
local function dissect_sdo(tvb, tree, is_reply)
    local command = tvb(0, 1):uint()
    local cs = bits(command, 5, 3)
    local name = (is_reply and server_commands or client_commands)[cs] or "Unknown command"
    local sdo = tree:add(korval, tvb(), "CANopen SDO " .. (is_reply and "response" or "request"))
    sdo:add(f.sdo_cs, tvb(0, 1)):append_text(" (" .. name .. ")")

    local function multiplexer()
        local index, subindex = tvb(1, 2):le_uint(), tvb(3, 1):uint()
        sdo:add_le(f.sdo_index, tvb(1, 2))
        sdo:add(f.sdo_subindex, tvb(3, 1))
        return string.format(" 0x%04X:%02X", index, subindex)
    end

    -- Expedited data is also a little-endian number, as CANopen stores integers.
    local function data(range, as_number)
        local text = printable(range)
        if as_number then
            text = text .. string.format(" (0x%X = %d)", range:le_uint(), range:le_uint())
        end
        sdo:add(f.sdo_data, range):append_text(text)
        return string.format(", %d byte%s%s", range:len(), range:len() == 1 and "" or "s", text)
    end

    if cs == 4 then
        local where = multiplexer()
        local code = tvb(4, 4):le_uint()
        sdo:add_le(f.sdo_abort, tvb(4, 4))
        sdo:add_proto_expert_info(e.sdo_abort, "SDO abort" .. where .. ": " .. abort_text(code))
        return name .. where .. ": " .. abort_text(code)
    end
    local initiate_with_data = (not is_reply and cs == 1) or (is_reply and cs == 2)
    local segment_with_data = (not is_reply and cs == 0) or (is_reply and cs == 0)
    if initiate_with_data then
        local unused = bits(command, 2, 2)
        local expedited = bits(command, 1, 1) == 1
        local sized = bits(command, 0, 1) == 1
        sdo:add(f.sdo_expedited, tvb(0, 1))
        sdo:add(f.sdo_size_indicated, tvb(0, 1))
        local summary = name .. multiplexer()
        if expedited then
            if sized then
                sdo:add(f.sdo_unused, tvb(0, 1), unused)
            end
            return summary .. ", expedited" .. data(tvb(4, sized and 4 - unused or 4), true)
        end
        if sized then
            sdo:add_le(f.sdo_size, tvb(4, 4))
            return summary .. string.format(", segmented, size %d", tvb(4, 4):le_uint())
        end
        return summary .. ", segmented, size not indicated"
    end
    if segment_with_data then
        local unused = bits(command, 1, 3)
        sdo:add(f.sdo_toggle, tvb(0, 1))
        sdo:add(f.sdo_unused, tvb(0, 1), unused)
        sdo:add(f.sdo_last, tvb(0, 1))
        local last = bits(command, 0, 1) == 1 and ", last" or ""
        return string.format("%s, toggle %d%s", name, bits(command, 4, 1), last)
            .. data(tvb(1, 7 - unused))
    end
    if (not is_reply and cs == 3) or (is_reply and cs == 1) then
        sdo:add(f.sdo_toggle, tvb(0, 1))
        return string.format("%s, toggle %d", name, bits(command, 4, 1))
    end
    if (not is_reply and cs == 2) or (is_reply and cs == 3) then
        return name .. multiplexer()
    end
    return name
end

-- Links a request and its reply; on the first pass it does the matching.
local function match(pinfo, tree, key, stream, is_reply, tid)
    if not is_reply then
        local request = state.requests[key]
        if not pinfo.visited then
            request = { tid = tid, frame = pinfo.number, time = pinfo.abs_ts }
            state.requests[key] = request
            state.streams[stream] = state.streams[stream] or {}
            table.insert(state.streams[stream], request)
        end
        if request and request.response then
            add_generated(tree, f.response_in, request.response)
        elseif request and request.partial and pinfo.visited then
            tree:add_proto_expert_info(e.incomplete_reply, string.format("The reply begun in " ..
                "frame %d never completed: the library waits up to %d ms for all the bytes its " ..
                "length field announces", request.partial, LIBRARY_WAIT_MS))
        elseif request and pinfo.visited then
            tree:add_proto_expert_info(e.no_reply, "No reply to this request in the capture")
        end
        return
    end
    local reply = state.replies[key]
    if not pinfo.visited and not reply.matched then
        reply.matched = true
        -- Once, on the first pass: to the microsecond, as the capture has it.
        local open = state.streams[stream] or {}
        for i, request in ipairs(open) do
            if request.tid == tid then
                reply.request = table.remove(open, i)
                break
            end
        end
        reply.request = reply.request or table.remove(open, 1)
        if reply.request then
            reply.request.response = pinfo.number
            reply.ms = math.floor((pinfo.abs_ts - reply.request.time) * 1e6 + 0.5) / 1000
        end
    end
    if not reply.request then
        tree:add_proto_expert_info(e.unsolicited, "No request for this reply in the capture")
        return
    end
    add_generated(tree, f.request_in, reply.request.frame)
    add_generated(tree, f.time, reply.ms)
    if reply.ms > LIBRARY_WAIT_MS then
        tree:add_proto_expert_info(e.late, string.format(
            "Reply after %.0f ms: the library stops waiting after %d ms", reply.ms,
            LIBRARY_WAIT_MS))
    end
end

-- One complete Modbus/TCP frame with function code 100 (or its exception reply).
local function dissect_frame(tvb, pinfo, root, key, stream, is_reply)
    local size = tvb:len()
    local tid, length, unit = tvb(0, 2):uint(), tvb(4, 2):uint(), tvb(6, 1):uint()
    local fc = tvb(7, 1):uint()
    local tree = root:add(korval, tvb())
    tree:add(f.tid, tvb(0, 2))
    tree:add(f.protocol, tvb(2, 2))
    local length_item = tree:add(f.length, tvb(4, 2))
    tree:add(f.unit, tvb(6, 1))
    tree:add(f.func, tvb(7, 1))

    local direction = is_reply and "reply" or "request"
    local info
    if fc == EXCEPTION_FUNCTION then
        local code = size > 8 and tvb(8, 1):uint() or 0
        if size > 8 then
            tree:add(f.exception, tvb(8, 1))
        end
        if length ~= 3 then
            length_item:add_proto_expert_info(e.bad_length,
                string.format("Length %d: an exception reply has length 3", length))
        end
        tree:add_proto_expert_info(e.exception, "Exception reply " .. exception_text(code) ..
            ": the library takes it for an invalid frame and reconnects")
        info = string.format("Exception from unit %d: %s", unit, exception_text(code))
    elseif size < 9 then
        length_item:add_proto_expert_info(e.bad_length, "No room for a sub-function")
        info = "Function 100 without sub-function"
    else
        local sub = tvb(8, 1):uint()
        tree:add(f.subfunction, tvb(8, 1))
        if sub == NODE_LIST and not is_reply then
            if length ~= NODE_REQUEST_LENGTH then
                length_item:add_proto_expert_info(e.bad_length, string.format(
                    "Length %d: a node list request has length %d", length, NODE_REQUEST_LENGTH))
            end
            info = "Get active nodes"
        elseif sub == NODE_LIST then
            local count = size - 9
            add_generated(tree, f.node_count, count)
            local nodes = {}
            for i = 0, count - 1 do
                tree:add(f.node, tvb(9 + i, 1))
                nodes[#nodes + 1] = tostring(tvb(9 + i, 1):uint())
            end
            if count == 0 then
                tree:add_proto_expert_info(e.empty_list,
                    "Empty node list: the library takes it for an invalid frame and reconnects")
            end
            if unit ~= GATEWAY_UNIT then
                tree:add_proto_expert_info(e.bad_reply, string.format("Unit id %d: the library " ..
                    "takes a node list only from unit %d", unit, GATEWAY_UNIT))
            end
            info = "Active nodes: " .. (count > 0 and table.concat(nodes, ", ") or "none")
        elseif sub == SDO then
            if length ~= SDO_FRAME_LENGTH then
                length_item:add_proto_expert_info(e.bad_length, string.format(
                    "Length %d: an SDO frame has length %d", length, SDO_FRAME_LENGTH))
            end
            if size >= 17 then
                local summary = dissect_sdo(tvb(9, 8):tvb(), tree, is_reply)
                info = string.format("SDO %s node %d: %s", is_reply and "from" or "to", unit,
                    summary)
            else
                info = string.format("SDO %s node %d: too short", is_reply and "from" or "to", unit)
            end
        else
            tree:add_proto_expert_info(e.bad_reply, string.format("Unknown sub-function %d", sub))
            info = string.format("Unknown sub-function %d", sub)
        end
    end
    match(pinfo, tree, key, stream, is_reply, tid)
    if is_reply then
        local reply = state.replies[key]
        if reply.split_from then
            tree:add_proto_expert_info(e.split, string.format("Reply begun in frame %d; the " ..
                "library joins the pieces too", reply.split_from))
        elseif not reply.alone then
            tree:add_proto_expert_info(e.shared, "Other bytes in the same TCP segment: the " ..
                "library reads them together with the reply and rejects it")
        end
    end
    tree:append_text(string.format(", %s, transaction %d", direction, tid))
    return string.format("[%d] %s", tid, info)
end

-- The size a frame of function 100 must have, if its kind fixes it (bytes 7 and 8 present).
local function known_size(tvb, offset)
    local fc, sub = tvb(offset + 7, 1):uint(), tvb(offset + 8, 1):uint()
    if fc == EXCEPTION_FUNCTION then
        return 9
    end
    if fc == GATEWAY_FUNCTION and sub == SDO then
        return 6 + SDO_FRAME_LENGTH
    end
    return nil
end

local function set_info(pinfo, segment, text)
    if segment.count == 1 then
        pinfo.cols.protocol = "KORVAL"
        pinfo.cols.info = text
    else
        pinfo.cols.info:append(" | " .. text)
    end
end

function korval.dissector(tvb, pinfo, root)
    local size = tvb:len()
    local is_reply = pinfo.src_port == MODBUS_PORT
    local field = tcp_stream()
    local stream = field and field.value or 0
    local direction = stream .. (is_reply and ">" or "<")
    local segment = { count = 0 }
    local offset = 0

    local function need_more(bytes)
        if pinfo.can_desegment > 0 then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = bytes
            if not pinfo.visited then
                state.pending[direction] = state.pending[direction] or pinfo.number
                local waiting = is_reply and (state.streams[stream] or {})[1]
                if waiting then
                    waiting.partial = waiting.partial or pinfo.number
                end
            end
        else
            local item = root:add(korval, tvb(offset))
            item:add_proto_expert_info(e.reassembly_off,
                "The rest of this frame is in the next segment, and TCP reassembly is off")
        end
        return size
    end

    while offset < size do
        local left = size - offset
        if left < 6 then
            return need_more(DESEGMENT_ONE_MORE_SEGMENT)
        end
        local protocol, length = tvb(offset + 2, 2):uint(), tvb(offset + 4, 2):uint()
        -- Unit id and function code at least; 253 is Modbus's largest length.
        if protocol ~= 0 or length < 2 or length > 253 then
            local item = root:add(korval, tvb(offset))
            item:add(f.garbage, tvb(offset))
            item:add_proto_expert_info(e.not_modbus, string.format(
                "%d bytes with protocol id %d and length %d", left, protocol, length))
            segment.count = segment.count + 1
            set_info(pinfo, segment, string.format("Not Modbus/TCP: %d bytes", left))
            return size
        end
        local frame_size = 6 + length
        -- A KORVAL frame whose length field is wrong for its kind is shown as far as its segment
        -- goes: the bytes it claims may never come.
        local kind_size = left >= 9 and known_size(tvb, offset)
        if kind_size and kind_size ~= frame_size then
            frame_size = left
        end
        if left < frame_size then
            return need_more(frame_size - left)
        end
        segment.count = segment.count + 1
        local fc = tvb(offset + 7, 1):uint()
        local frame = tvb(offset, frame_size):tvb()
        if fc == GATEWAY_FUNCTION or fc == EXCEPTION_FUNCTION then
            local key = pinfo.number .. ":" .. segment.count
            if is_reply and not state.replies[key] then
                state.replies[key] = {
                    split_from = offset == 0 and state.pending[direction] or nil,
                    alone = frame_size == size,
                }
                state.pending[direction] = nil
            end
            set_info(pinfo, segment, dissect_frame(frame, pinfo, root, key, stream, is_reply))
        else
            modbus_tcp:call(frame, pinfo, root)
        end
        offset = offset + frame_size
    end
    if not pinfo.visited then
        state.pending[direction] = nil
    end
    return size
end

DissectorTable.get("tcp.port"):add(MODBUS_PORT, korval)
