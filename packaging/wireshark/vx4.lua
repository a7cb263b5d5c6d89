-- Wireshark dissector for the VX-4 line as the vx4pult frame monitors capture it
-- (vx4ctl monitor --pcap, the monitor windows' capture files, the vx4-extcap interface).
--
-- Every packet is one piece read off the line (link type DLT_USER0, 147), behind a
-- 4-byte pseudo-header:
--   offset 0, u8:  the monitor that read it: 1 vx3c, 2 vx2
--   offset 1, u8:  direction: 0 not known, 1 request, 2 answer; plus 0x80 when the vx2
--                  monitor took the piece for a Modbus RTU frame
--   offset 2, u16 little-endian: the read's result code, 0 for a piece read whole
--
-- The vx3c monitor does not know who sent a frame: the dissector judges request or answer
-- from the frame's own layout, and only where the layout allows both from the frame before
-- it (a request sent again after a lost answer is the same bytes again; an echo answer is
-- the same bytes as its request). Requests and answers are linked both ways
-- (vx3c.response_in, vx3c.request_in) with the answer's delay (vx3c.time); with tshark the
-- links to later frames need two passes (-2).
--
-- Load it with: tshark -X lua_script:vx4.lua ..., or put it into a Lua plugin folder.
-- With the package installed, VX4_DISSECTOR=/path/to/vx4.lua makes every other copy step
-- back, so that a changed copy can be tried with -X lua_script:/path/to/vx4.lua.
-- Written for Wireshark 4.0 (Lua 5.2; Wireshark's own bit library).

do
    local only = os.getenv("VX4_DISSECTOR")
    if only and only ~= "" and debug.getinfo(1, "S").source ~= "@" .. only then return end
end

local VX3C_HEADER = 7
local VX3C_MAX_DATA = 1015
local VX2_REQUEST = 16

local DIR_UNKNOWN, DIR_REQUEST, DIR_ANSWER, DIR_MODBUS = 0, 1, 2, 0x80

----------------------------------------------------------------------------------------
-- Names

local monitor_names = { [1] = "vx3c", [2] = "vx2" }
local MONITOR_VX3C, MONITOR_VX2 = 1, 2
local dir_names = { [0] = "not known", [1] = "request", [2] = "answer" }

local status_names = {
    [0] = "read whole",
    [1001] = "LINK_BAD_ARGUMENT",
    [1003] = "LINK_NOT_OPEN",
    [1007] = "LINK_NO_MEMORY",
    [1010] = "LINK_WRITE_FAILED",
    [1011] = "LINK_READ_FAILED",
    [1013] = "FRAME_CHECK_FAILED",
    [1016] = "LINK_TIMEOUT: Таймаут ожидания ответа",
    [1017] = "FRAME_LENGTH_ERROR",
    [1051] = "PORT_GET_STATE_FAILED",
    [1052] = "PORT_SET_STATE_FAILED",
    [1053] = "PORT_SET_MASK_FAILED",
}

-- Command codes, and the device's result codes that stand in an answer's command byte.
local cmd_names = {
    [0x01] = "Identify",
    [0x02] = "ReadClock",
    [0x03] = "SetClock",
    [0x04] = "ReadSystemEvent",
    [0x05] = "ReadFile open",
    [0x06] = "ReadFile block",
    [0x08] = "Echo",
    [0x21] = "ReadItemDescriptor",
    [0x22] = "ReadConfigBlock",
    [0x23] = "ReadConfigSummary",
    [0x24] = "ReadValues",
    [0x25] = "ItemText",
    [0x26] = "Relay",
    [0x30] = "ReadArchiveInfo",
    [246] = "Ошибка исполнения запрошенной операции  связанная с отсутствием данных на момент запроса",
    [247] = "Ошибка записи файла",
    [248] = "Файл не открыт",
    [249] = "Ошибка, связанная с подчиненным устройством",
    [250] = "Конфигурация не задана",
    [251] = "Прибор занят и не может ответить на запрос",
    [252] = "Неверный код команды",
    [253] = "Ошибка в передаваемом в команде параметре",
    [254] = "Операция инициализации прошла с ошибкой",
}

-- An answer's result: 0 when the device carried the command out, else its code (255 when
-- the answer's command byte is 0).
local result_names = { [0] = "done", [255] = "refused (command byte 0)" }
for code = 246, 254 do result_names[code] = cmd_names[code] end

-- The command codes the console sends; any other code in a frame is a device's result.
local request_cmds = {}
for code = 1, 0x30 do
    if cmd_names[code] then request_cmds[code] = true end
end

local check_status_names = { [0] = "Bad", [1] = "Good" }

local init_state_names = { [0] = "done", [1] = "absent", [2] = "initialisation error", [3] = "hardware error" }
local block_mode_names = { [0] = "first block", [1] = "next block", [2] = "the last block again" }
local file_step_names = { [0x5A] = "next block", [0x00] = "the last block again" }
local item_type_names = { [0] = "empty slot", [1] = "constant", [2] = "event", [3] = "calculated value" }
local archive_names = { [0] = "hourly", [1] = "daily", [2] = "monthly", [3] = "yearly", [4] = "events" }

----------------------------------------------------------------------------------------
-- Protocols and fields

local p_vx4 = Proto("vx4", "VX-4 line capture")
local p_vx3c = Proto("vx3c", "VX-4 vx3c frame")
local p_vx2 = Proto("vx2", "VX-4 vx2 frame")

local F = {}
F.monitor = ProtoField.uint8("vx4.monitor", "Monitor", base.DEC, monitor_names)
F.dir = ProtoField.uint8("vx4.dir", "Direction", base.DEC, dir_names, 0x7F)
F.modbus = ProtoField.bool("vx4.modbus", "Modbus RTU frame", 8, nil, 0x80)
F.status = ProtoField.uint16("vx4.status", "Read status", base.DEC, status_names)
p_vx4.fields = { F.monitor, F.dir, F.modbus, F.status }

local V = {}
V.addr = ProtoField.uint32("vx3c.addr", "Address", base.DEC)
V.len = ProtoField.uint16("vx3c.len", "Length", base.DEC)
V.cmd = ProtoField.uint8("vx3c.cmd", "Command", base.DEC, cmd_names)
V.data = ProtoField.bytes("vx3c.data", "Data")
V.xor = ProtoField.uint8("vx3c.xor", "XOR byte", base.HEX)
V.sum = ProtoField.uint8("vx3c.sum", "Sum byte", base.HEX)
V.check_ok = ProtoField.bool("vx3c.check_ok", "Check bytes valid")
V.check_status = ProtoField.uint8("vx3c.check_status", "Check status", base.DEC, check_status_names)
V.kind = ProtoField.string("vx3c.kind", "Frame kind")
V.result = ProtoField.uint8("vx3c.result", "Result", base.DEC, result_names)
V.response_in = ProtoField.framenum("vx3c.response_in", "Answer in frame", base.NONE, frametype.RESPONSE)
V.request_in = ProtoField.framenum("vx3c.request_in", "Request in frame", base.NONE, frametype.REQUEST)
V.time = ProtoField.relative_time("vx3c.time", "Time since the request")
V.trailing = ProtoField.bytes("vx3c.trailing", "Bytes beyond the frame")
-- identification record
V.id_proto = ProtoField.string("vx3c.ident.protocol", "Protocol version")
V.id_sw = ProtoField.string("vx3c.ident.software", "Software version")
V.id_stack = ProtoField.uint8("vx3c.ident.stack_fill", "Highest stack fill, %", base.DEC)
V.id_type = ProtoField.string("vx3c.ident.device_type", "Device type")
V.id_cpu = ProtoField.string("vx3c.ident.cpu_type", "Processor type")
V.id_serial = ProtoField.uint32("vx3c.ident.serial", "Serial number", base.DEC)
V.id_init = ProtoField.int32("vx3c.ident.init_state", "Start-up result", base.DEC, init_state_names)
V.id_init_time = ProtoField.string("vx3c.ident.init_time", "Start-up time")
V.id_ext = ProtoField.string("vx3c.ident.extension", "Protocol extension version")
V.id_checksum = ProtoField.uint32("vx3c.ident.sw_checksum", "Software checksum", base.HEX)
V.id_flags = ProtoField.uint8("vx3c.ident.state_flags", "State flags", base.HEX)
V.id_f_cfg = ProtoField.bool("vx3c.ident.config_error", "Configuration error", 8, nil, 0x01)
V.id_f_link = ProtoField.bool("vx3c.ident.transducer_link_lost", "Link to the transducers lost", 8, nil, 0x02)
V.id_f_clock = ProtoField.bool("vx3c.ident.clock_stopped", "Clock stopped", 8, nil, 0x04)
V.id_f_flash = ProtoField.bool("vx3c.ident.flash_too_small", "Flash too small for the archives", 8, nil, 0x08)
-- clock
V.clock = ProtoField.string("vx3c.clock", "Clock")
-- summary
V.sm_items = ProtoField.uint32("vx3c.summary.item_count", "Item count", base.DEC)
V.sm_checksum = ProtoField.uint32("vx3c.summary.checksum", "Configuration checksum", base.HEX)
V.sm_systems = ProtoField.uint8("vx3c.summary.system_count", "System count", base.DEC)
V.sm_name = ProtoField.string("vx3c.summary.system_name", "System name")
V.sm_note = ProtoField.string("vx3c.summary.system_note", "System note")
-- configuration blocks and items
V.blk_mode = ProtoField.uint8("vx3c.block.mode", "Block mode", base.DEC, block_mode_names)
V.blk_pos = ProtoField.uint16("vx3c.block.pos", "Position in the block", base.DEC)
V.blk_type = ProtoField.uint8("vx3c.block.type", "Item type", base.DEC, item_type_names)
V.blk_record = ProtoField.bytes("vx3c.block.record", "Item record")
V.blk_end = ProtoField.uint8("vx3c.block.end", "End marker", base.HEX, { [0xFF] = "last block" })
V.item = ProtoField.uint16("vx3c.item", "Item number", base.DEC)
-- values
V.value = ProtoField.float("vx3c.value", "Value")
V.value_status = ProtoField.uint32("vx3c.value_status", "Status word", base.HEX)
-- files
V.file_name = ProtoField.string("vx3c.file.name", "File name")
V.file_size = ProtoField.uint32("vx3c.file.size", "File size", base.DEC)
V.file_step = ProtoField.uint8("vx3c.file.step", "Block step", base.HEX, file_step_names)
V.file_pos = ProtoField.uint32("vx3c.file.pos", "Position", base.DEC)
V.file_bytes = ProtoField.bytes("vx3c.file.bytes", "Block bytes")
-- echo
V.echo_len = ProtoField.uint16("vx3c.echo.len", "Echo length", base.DEC)
-- system events
V.ev_task = ProtoField.uint32("vx3c.event.task_id", "TaskID", base.DEC)
V.ev_code = ProtoField.uint32("vx3c.event.code", "EvCode", base.DEC)
V.ev_stamp = ProtoField.uint32("vx3c.event.tstamp", "TStamp", base.DEC)
V.ev_count = ProtoField.uint32("vx3c.event.count", "EvCnt", base.DEC)
V.ev_text = ProtoField.string("vx3c.event.text", "Text")
-- item texts
V.text_op = ProtoField.uint8("vx3c.text.op", "Operation", base.DEC, { [0] = "get", [1] = "put" })
V.text = ProtoField.string("vx3c.text", "Text")
-- archive descriptor
V.ar_index = ProtoField.uint8("vx3c.archive.index", "Archive", base.DEC, archive_names)
V.ar_last = ProtoField.uint16("vx3c.archive.last_record", "Last record", base.DEC)
V.ar_flags = ProtoField.uint8("vx3c.archive.flags", "Flags", base.HEX)
V.ar_start = ProtoField.uint32("vx3c.archive.start", "Start address", base.HEX)
V.ar_rows = ProtoField.uint16("vx3c.archive.rows_minus_one", "Rows minus one", base.DEC)
-- relay
V.relay_payload = ProtoField.bytes("vx3c.relay.payload", "Relayed bytes")
V.relay_status = ProtoField.uint32("vx3c.relay.status", "Relay status word", base.DEC)

local vx3c_fields = {}
for _, f in pairs(V) do vx3c_fields[#vx3c_fields + 1] = f end
p_vx3c.fields = vx3c_fields

local W = {}
W.addr = ProtoField.uint32("vx2.addr", "Address", base.HEX)
W.cmd = ProtoField.uint8("vx2.cmd", "Command", base.DEC)
W.ans = ProtoField.uint8("vx2.ans", "Answer code", base.DEC)
W.data = ProtoField.bytes("vx2.data", "Data")
W.xor = ProtoField.uint8("vx2.xor", "XOR byte", base.HEX)
W.sum = ProtoField.uint8("vx2.sum", "Sum byte", base.HEX)
W.check_ok = ProtoField.bool("vx2.check_ok", "Check bytes valid")
W.raw = ProtoField.bytes("vx2.raw", "Bytes")
p_vx2.fields = { W.addr, W.cmd, W.ans, W.data, W.xor, W.sum, W.check_ok, W.raw }

local E = {
    status = ProtoExpert.new("vx4.status.failed", "The read did not end whole", expert.group.MALFORMED, expert.severity.WARN),
    header = ProtoExpert.new("vx4.header_short", "Record shorter than its 4-byte header", expert.group.MALFORMED, expert.severity.WARN),
    monitor = ProtoExpert.new("vx4.monitor.unknown", "Unknown monitor", expert.group.MALFORMED, expert.severity.WARN),
    dir = ProtoExpert.new("vx4.dir.unknown", "Unknown direction", expert.group.MALFORMED, expert.severity.WARN),
    snaplen = ProtoExpert.new("vx4.snaplen", "Record cut by the capture's snapshot length", expert.group.MALFORMED, expert.severity.WARN),
    cut = ProtoExpert.new("vx3c.cut", "Frame cut short", expert.group.MALFORMED, expert.severity.WARN),
    check = ProtoExpert.new("vx3c.check_bad", "Check bytes wrong", expert.group.CHECKSUM, expert.severity.ERROR),
    length = ProtoExpert.new("vx3c.len_bad", "Length beyond a frame buffer", expert.group.MALFORMED, expert.severity.WARN),
    trailing = ProtoExpert.new("vx3c.trailing_bytes", "Bytes beyond the declared length", expert.group.MALFORMED, expert.severity.WARN),
    layout = ProtoExpert.new("vx3c.layout", "Data fit neither the request nor the answer", expert.group.MALFORMED, expert.severity.NOTE),
    vx2check = ProtoExpert.new("vx2.check_bad", "No valid vx2 frame", expert.group.CHECKSUM, expert.severity.WARN),
    mbcut = ProtoExpert.new("vx2.modbus_cut", "Modbus RTU frame cut short (by its function code)", expert.group.MALFORMED, expert.severity.WARN),
}
p_vx4.experts = { E.status, E.header, E.monitor, E.dir, E.snaplen }
p_vx3c.experts = { E.cut, E.check, E.length, E.trailing, E.layout }
p_vx2.experts = { E.vx2check, E.mbcut }

----------------------------------------------------------------------------------------
-- Helpers

local band, bxor, rshift = bit.band, bit.bxor, bit.rshift

local function check_bytes(tvb, offset, n)
    local x, s = 0, 0
    for i = 0, n - 1 do
        local b = tvb(offset + i, 1):uint()
        x = bxor(x, b)
        s = band(s + b, 0xFF)
    end
    return x, s
end

local function crc16_modbus(tvb, offset, n)
    local crc = 0xFFFF
    for i = 0, n - 1 do
        crc = bxor(crc, tvb(offset + i, 1):uint())
        for _ = 1, 8 do
            if band(crc, 1) ~= 0 then
                crc = bxor(rshift(crc, 1), 0xA001)
            else
                crc = rshift(crc, 1)
            end
        end
    end
    return crc
end

-- Whether n bytes of a range form a valid vx2 frame (the check bytes end it).
local function vx2_valid(r, offset, n)
    if n < 7 then return false end
    local x, s = check_bytes(r, offset, n - 2)
    return x == r(offset + n - 2, 1):uint() and s == r(offset + n - 1, 1):uint()
end

-- A CP1251 text field: decoded by Wireshark's own code page table; returns the item and the
-- text as shown (for the Info column).
local function add_cp1251(tree, field, range)
    local item = tree:add_packet_field(field, range, ENC_WINDOWS_1251)
    local shown = item.text or ""
    local colon = shown:find(": ", 1, true)
    return item, colon and shown:sub(colon + 2) or ""
end

-- A text that ends at the first zero byte (or at the range's end): adds the field over the
-- text and its zero; returns the text and the number of bytes it took (without the zero).
local function add_cp1251z(tree, field, range)
    local n = range:len()
    local k = 0
    while k < n and range(k, 1):uint() ~= 0 do k = k + 1 end
    if k == 0 then
        tree:add(field, range(0, math.min(1, n)), "")
        return "", 0
    end
    local item, text = add_cp1251(tree, field, range(0, k))
    if k < n then item:set_len(k + 1) end
    return text, k
end

local function bcd_time(range)
    local b = {}
    for i = 0, 5 do b[i + 1] = range(i, 1):uint() end
    return string.format("%02X.%02X.%02X %02X:%02X:%02X", b[1], b[2], b[3], b[4], b[5], b[6])
end

----------------------------------------------------------------------------------------
-- vx3c payloads. Each takes the data range and the subtree; returns a short note for the
-- Info column (or nil).

local payload = {}

payload[0x01] = function(d, t, answer)
    if not answer then return nil end
    local n = d:len()
    local sub = t:add(p_vx3c, d, "Identification record")
    local function has(off, size) return n >= off + size end
    if has(0, 2) then
        sub:add(V.id_proto, d(0, 2), string.format("%u.%u", d(1, 1):uint(), d(0, 1):uint()))
    end
    if has(2, 4) then
        sub:add(V.id_sw, d(2, 4), string.format("%u.%u.%u", d(5, 1):uint(), d(4, 1):uint(), d(2, 2):le_uint()))
    end
    if has(6, 1) then sub:add(V.id_stack, d(6, 1)) end
    if has(7, 4) then add_cp1251z(sub, V.id_type, d(7, 4)) end
    if has(11, 9) then add_cp1251z(sub, V.id_cpu, d(11, 9)) end
    if has(21, 4) then sub:add_le(V.id_serial, d(21, 4)) end
    if has(25, 4) then sub:add_le(V.id_init, d(25, 4)) end
    if has(29, 6) then sub:add(V.id_init_time, d(29, 6), bcd_time(d(29, 6))) end
    if has(35, 2) then
        sub:add(V.id_ext, d(35, 2), string.format("%u.%u", d(36, 1):uint(), d(35, 1):uint()))
    end
    if has(37, 4) then sub:add_le(V.id_checksum, d(37, 4)) end
    if has(41, 1) then
        local f = sub:add(V.id_flags, d(41, 1))
        f:add(V.id_f_cfg, d(41, 1))
        f:add(V.id_f_link, d(41, 1))
        f:add(V.id_f_clock, d(41, 1))
        f:add(V.id_f_flash, d(41, 1))
    end
    if has(21, 4) then return "serial " .. d(21, 4):le_uint() end
    return nil
end

local function clock_payload(d, t)
    if d:len() < 6 then return nil end
    local text = bcd_time(d(0, 6))
    t:add(V.clock, d(0, 6), text)
    return text
end
payload[0x02] = function(d, t, answer) if answer then return clock_payload(d, t) end end
payload[0x03] = function(d, t, answer) if not answer then return clock_payload(d, t) end end

payload[0x04] = function(d, t, answer)
    if not answer then return nil end
    if d:len() == 0 then return "no event left" end
    if d:len() < 16 then return nil end
    local sub = t:add(p_vx3c, d, "System event")
    sub:add_le(V.ev_task, d(0, 4))
    sub:add_le(V.ev_code, d(4, 4))
    sub:add_le(V.ev_stamp, d(8, 4))
    sub:add_le(V.ev_count, d(12, 4))
    if d:len() > 16 then
        local r = d(16, math.min(32, d:len() - 16))
        local text = add_cp1251z(sub, V.ev_text, r)
        if d(0, 4):le_uint() == 0 then return "no event left" end
        return "task " .. d(0, 4):le_uint() .. " code " .. d(4, 4):le_uint() .. " \"" .. text .. "\""
    end
    return nil
end

payload[0x05] = function(d, t, answer)
    if answer then
        if d:len() >= 4 then
            t:add_le(V.file_size, d(0, 4))
            return "size " .. d(0, 4):le_uint()
        end
    elseif d:len() >= 2 then
        local _, name = add_cp1251(t, V.file_name, d(1, d:len() - 1))
        return "\"" .. name .. "\""
    end
end

payload[0x06] = function(d, t, answer)
    if not answer then
        t:add(V.file_step, d(0, 1))
        return file_step_names[d(0, 1):uint()]
    end
    if d:len() < 4 then return nil end
    local sub = t:add(p_vx3c, d, "File block")
    sub:add_le(V.file_pos, d(0, 4))
    if d:len() > 4 then
        sub:add(V.file_bytes, d(4, d:len() - 4))
        return "pos " .. d(0, 4):le_uint() .. ", " .. (d:len() - 4) .. " bytes"
    end
    return "pos " .. d(0, 4):le_uint() .. " end of file"
end

payload[0x08] = function(d, t, _)
    t:add(V.echo_len, d, d:len()):set_generated()
    return "[" .. d:len() .. " bytes]"
end

payload[0x21] = function(d, t, answer)
    if not answer then
        t:add_le(V.item, d(0, 2))
        return "item " .. d(0, 2):le_uint()
    end
    t:add(V.blk_type, d(0, 1))
    if d:len() > 1 then t:add(V.blk_record, d(1, d:len() - 1)) end
    return item_type_names[d(0, 1):uint()]
end

payload[0x22] = function(d, t, answer)
    if not answer then
        t:add(V.blk_mode, d(0, 1))
        return block_mode_names[d(0, 1):uint()]
    end
    -- The walk of a block: a type byte, then 11 (constant, calculated value) or 16 (event)
    -- record bytes; an empty slot is the type byte alone; the last byte ends the block.
    local n = d:len()
    local sub = t:add(p_vx3c, d, "Configuration block")
    local p, items = 0, 0
    while p + 1 < n do
        local ty = d(p, 1):uint()
        local len = (ty == 1 or ty == 3) and 11 or (ty == 2 and 16 or 0)
        if ty ~= 0 and len == 0 then
            sub:add(V.blk_record, d(p, n - 1 - p)):append_text(" (unknown item type " .. ty .. ")")
            break
        end
        if p + 1 + len > n - 1 then len = n - 1 - p - 1 end
        local it = sub:add(p_vx3c, d(p, 1 + len), "Item at " .. p)
        it:add(V.blk_pos, d(p, 1), p):set_generated()
        it:add(V.blk_type, d(p, 1))
        if len > 0 then it:add(V.blk_record, d(p + 1, len)) end
        items = items + 1
        p = p + 1 + len
    end
    if n > 0 then sub:add(V.blk_end, d(n - 1, 1)) end
    return "[" .. items .. " items" .. ((n > 0 and d(n - 1, 1):uint() == 0xFF) and ", last block]" or "]")
end

payload[0x23] = function(d, t, answer)
    if not answer or d:len() < 8 then return nil end
    local sub = t:add(p_vx3c, d, "Configuration summary")
    sub:add_le(V.sm_items, d(0, 4))
    sub:add_le(V.sm_checksum, d(4, 4))
    if d:len() > 8 then
        local count = d(8, 1):uint()
        sub:add(V.sm_systems, d(8, 1))
        local p = 9
        for _ = 1, math.min(count, 9) do
            for _, field in ipairs({ V.sm_name, V.sm_note }) do
                if p >= d:len() then break end
                local _, k = add_cp1251z(sub, field, d(p, d:len() - p))
                p = p + k + 1
            end
        end
    end
    return "[" .. d(0, 4):le_uint() .. " items]"
end

payload[0x24] = function(d, t, answer)
    local n = d:len()
    if not answer then
        local sub = t:add(p_vx3c, d, "Items")
        for i = 0, n / 2 - 1 do sub:add_le(V.item, d(2 * i, 2)) end
        return "[" .. math.floor(n / 2) .. " items]"
    end
    local sub = t:add(p_vx3c, d, "Values")
    for i = 0, n / 8 - 1 do
        local v = sub:add(p_vx3c, d(8 * i, 8), "Value " .. (i + 1))
        v:add_le(V.value, d(8 * i, 4))
        v:add_le(V.value_status, d(8 * i + 4, 4))
        v:append_text(string.format(": %g, status %08X", d(8 * i, 4):le_float(), d(8 * i + 4, 4):le_uint()))
    end
    return "[" .. math.floor(n / 8) .. " values]"
end

payload[0x25] = function(d, t, answer)
    if not answer then
        t:add(V.text_op, d(0, 1))
        t:add_le(V.item, d(1, 2))
        if d(0, 1):uint() == 1 and d:len() > 3 then
            add_cp1251z(t, V.text, d(3, d:len() - 3))
        end
        return (d(0, 1):uint() == 1 and "put" or "get") .. " item " .. d(1, 2):le_uint()
    end
    if d:len() == 0 then return nil end
    return "\"" .. add_cp1251z(t, V.text, d) .. "\""
end

-- The relay: a vx2 frame inside is handed to the vx2 dissector (the graduation reader's
-- request is 00 02, a 16-byte vx2 request and 2 further bytes; the answer is the vx2 answer).
local dissect_vx2

-- Where a relayed vx2 frame lies in relay data: offset, size and whether it is a request.
local function relayed_vx2(d, answer)
    local n = d:len()
    if not answer and n >= 2 + VX2_REQUEST and vx2_valid(d, 2, VX2_REQUEST) then return 2, VX2_REQUEST, true end
    if answer and (n == 8 or n == 32 or n == 72) and vx2_valid(d, 0, n) then return 0, n, false end
    return nil
end

payload[0x26] = function(d, t, answer, pinfo)
    if answer and d:len() == 4 then
        t:add_le(V.relay_status, d(0, 4))
        return "status " .. d(0, 4):le_uint()
    end
    if d:len() > 0 then t:add(V.relay_payload, d) end
    local at, size, request = relayed_vx2(d, answer)
    if at then
        local note = dissect_vx2(d(at, size):tvb(), pinfo, t, request and DIR_REQUEST or DIR_ANSWER, false, size)
        return "[" .. d:len() .. " bytes: vx2 " .. note .. "]"
    end
    return "[" .. d:len() .. " bytes]"
end

payload[0x30] = function(d, t, answer)
    if not answer then
        t:add(V.ar_index, d(0, 1))
        return archive_names[d(0, 1):uint()]
    end
    if d:len() < 12 then return nil end
    local sub = t:add(p_vx3c, d, "Archive descriptor")
    sub:add_le(V.ar_last, d(0, 2))
    sub:add(V.ar_flags, d(2, 1))
    sub:add_le(V.ar_start, d(4, 4))
    sub:add_le(V.ar_rows, d(8, 2))
    return nil
end

-- Request or answer, from the frame alone: whether the data fit the request's layout and
-- the answer's.
local function layout_fits(cmd, d)
    local n = d:len()
    if not request_cmds[cmd] then return false, true end -- a device's result code
    local first = n > 0 and d(0, 1):uint() or nil
    local last = n > 0 and d(n - 1, 1):uint() or nil
    if cmd == 0x01 or cmd == 0x02 or cmd == 0x23 then return n == 0, n > 0 end
    if cmd == 0x03 then return n == 6, n == 0 end
    if cmd == 0x04 then return n == 1, n == 0 or n >= 16 end
    if cmd == 0x05 then return n >= 2 and first == 1, n == 4 end
    if cmd == 0x06 then return n == 1, n >= 4 end
    if cmd == 0x08 then return true, true end
    if cmd == 0x21 then return n == 2, n >= 1 and n ~= 2 end
    if cmd == 0x22 then
        local mode = n == 1 and first <= 2
        return mode, n >= 1 and not mode
    end
    if cmd == 0x24 then return n > 0 and n % 2 == 0 and n <= 252, n > 0 and n % 8 == 0 end
    if cmd == 0x25 then
        local get = n == 3 and first == 0
        local put = n >= 4 and first == 1 and last == 0
        return get or put, n == 0 or (last == 0 and not get and not put)
    end
    if cmd == 0x26 then
        local rq = relayed_vx2(d, false) ~= nil
        local an = n == 4 or relayed_vx2(d, true) ~= nil
        if rq ~= an then return rq, an end
        return n >= 2, true
    end
    if cmd == 0x30 then return n == 1, n >= 12 end
    return true, true
end

-- How long the console waits for each command's answer, in seconds (its wait per try).
local answer_wait = { [0x03] = 0.3, [0x06] = 1.0, [0x25] = 1.0, [0x26] = 3.0 }
local DEFAULT_WAIT = 0.5

-- Request or answer for a whole frame the capture does not place. The layout decides where
-- only one side fits; otherwise the frame before: the same bytes again are a request sent
-- again after its answer was lost (an echo is the exception: its answer is the same bytes as
-- its request, and it has one try), and a frame after a request of the same command that
-- fits its answer, within the command's wait, is that answer (after the wait the console has
-- given up and sends its next request). Returns the direction and whether the layout fits it.
-- ts: the frame's time; nil when not known.
local function judge_direction(cmd, d, bytes, prev, ts)
    local same = prev ~= nil and prev.bytes == bytes
    if cmd == 0x08 then
        if same and prev.dir == DIR_REQUEST then return DIR_ANSWER, true, false end
        return DIR_REQUEST, true, false
    end
    local rq, an = layout_fits(cmd, d)
    if rq and not an then return DIR_REQUEST, true, true end
    if an and not rq then return DIR_ANSWER, true, true end
    if same then return DIR_REQUEST, rq, false end
    if prev and prev.dir == DIR_REQUEST and prev.cmd == cmd and (cmd ~= 0x24 or d:len() == prev.len * 4) and
        (ts == nil or ts - prev.ts < (answer_wait[cmd] or DEFAULT_WAIT)) then
        return DIR_ANSWER, an, false
    end
    return DIR_REQUEST, rq, false
end

-- Minimum data length each decoder needs in a request / an answer.
local min_len = {
    [0x05] = { 2, 4 }, [0x06] = { 1, 4 }, [0x21] = { 2, 1 }, [0x22] = { 1, 1 },
    [0x25] = { 3, 0 }, [0x30] = { 1, 12 }, [0x24] = { 2, 8 },
}

----------------------------------------------------------------------------------------
-- vx3c

-- Per capture, filled on the first pass: what was judged of each frame number (direction,
-- whether the layout fits it, the frame it is linked with and the answer's delay), and the
-- last whole frame seen.
local judged = {}
local last_frame = nil

function p_vx3c.init()
    judged = {}
    last_frame = nil
end

local function seconds_to_nstime(t)
    local us = math.floor(t * 1e6 + 0.5)
    return NSTime.new(math.floor(us / 1e6), (us % 1000000) * 1000)
end

-- Judges a whole frame on the first pass and links an answer to the request before it.
local function judge_frame(pinfo, cmd, d, bytes, declared)
    local g, fits, by_layout = judge_direction(cmd, d, bytes, last_frame, pinfo.abs_ts)
    local j = { dir = g, fits = fits, by_layout = by_layout }
    judged[pinfo.number] = j
    local prev = last_frame
    if g == DIR_ANSWER and prev and prev.dir == DIR_REQUEST and (prev.cmd == cmd or not request_cmds[cmd]) then
        j.request = prev.number
        j.req_cmd = prev.cmd
        j.delay = pinfo.abs_ts - prev.ts
        judged[prev.number].answer = pinfo.number
    end
    last_frame = { dir = g, cmd = cmd, len = declared, bytes = bytes, number = pinfo.number, ts = pinfo.abs_ts }
    return j
end

-- reported: the piece's length on the line (more than tvb:len() when the capture's snapshot
-- length cut the record).
local function dissect_vx3c(tvb, pinfo, tree, dir, reported)
    local n = tvb:len()
    local t = tree:add(p_vx3c, tvb())
    local info = {}
    local snapped = reported > n
    if n >= 4 then
        t:add_le(V.addr, tvb(0, 4))
        info[#info + 1] = "Adr " .. tvb(0, 4):le_uint()
    end
    if n < 6 then
        if snapped then
            info[#info + 1] = string.format("[capture cut at %u of %u bytes]", n, reported)
        elseif n > 0 then
            t:add_proto_expert_info(E.cut)
            t:append_text(" (cut short in its header: " .. n .. " bytes)")
            info[#info + 1] = "[cut short]"
        end
        return table.concat(info, " ")
    end
    local declared = tvb(4, 2):le_uint()
    local len_item = t:add_le(V.len, tvb(4, 2))
    if declared > VX3C_MAX_DATA then
        len_item:add_proto_expert_info(E.length, "Length " .. declared .. " is more than the " .. VX3C_MAX_DATA .. " data bytes a frame holds")
    end
    local cmd = nil
    if n >= VX3C_HEADER then
        cmd = tvb(6, 1):uint()
        t:add(V.cmd, tvb(6, 1))
    end
    local name = cmd and (cmd_names[cmd] and (cmd >= 246 and ("Result " .. cmd) or cmd_names[cmd]) or ("Cmd " .. cmd)) or nil
    local whole = declared + 9
    if n < whole then
        local got = math.max(n - VX3C_HEADER, 0)
        if got > 0 then t:add(V.data, tvb(VX3C_HEADER, got)) end
        if name then info[#info + 1] = name end
        if snapped then
            -- The line delivered more than the capture kept: nothing to blame on the line.
            info[#info + 1] = string.format("[capture cut at %u of %u bytes]", n, reported)
            return table.concat(info, " ")
        end
        t:add_proto_expert_info(E.cut)
        t:append_text(string.format(" (cut short: %u of %u bytes)", n, whole))
        table.insert(info, #info - (name and 1 or 0) + 1, "BadLen " .. declared)
        info[#info + 1] = string.format("[cut short: %u of %u bytes]", n, whole)
        return table.concat(info, " ")
    end
    local d = tvb(VX3C_HEADER, declared)
    local data_item = declared > 0 and t:add(V.data, d) or nil
    local x, s = check_bytes(tvb, 0, VX3C_HEADER + declared)
    t:add(V.xor, tvb(VX3C_HEADER + declared, 1))
    t:add(V.sum, tvb(VX3C_HEADER + declared + 1, 1))
    local ok = x == tvb(VX3C_HEADER + declared, 1):uint() and s == tvb(VX3C_HEADER + declared + 1, 1):uint()
    local ok_item = t:add(V.check_ok, tvb(VX3C_HEADER + declared, 2), ok)
    ok_item:set_generated()
    local status_item = t:add(V.check_status, tvb(VX3C_HEADER + declared, 2), ok and 1 or 0)
    status_item:set_generated()
    if n > whole then
        t:add(V.trailing, tvb(whole, n - whole)):add_proto_expert_info(E.trailing)
    end

    -- The direction: from the capture when it knows, else judged once on the first pass.
    local guessed = false
    local fits = true
    local j = nil
    if dir == DIR_UNKNOWN then
        if not pinfo.visited then
            j = judge_frame(pinfo, cmd, d, tvb:raw(0, whole), declared)
        end
        if not judged[pinfo.number] then
            local g, f, l = judge_direction(cmd, d, tvb:raw(0, whole), nil)
            judged[pinfo.number] = { dir = g, fits = f, by_layout = l }
        end
        j = judged[pinfo.number]
        dir, fits = j.dir, j.fits
        guessed = true
    end
    local answer = dir == DIR_ANSWER
    local k = t:add(V.kind, tvb(6, 1), answer and "answer" or "request")
    k:set_generated()
    if guessed then
        k:append_text(j.by_layout and " (judged from the frame's layout)" or " (judged from the frame before it)")
    end
    if j and j.answer then
        t:add(V.response_in, j.answer):set_generated()
    end
    if j and j.request then
        t:add(V.request_in, j.request):set_generated()
        t:add(V.time, seconds_to_nstime(j.delay)):set_generated()
    end
    if answer then
        local result = 0
        if (j and j.req_cmd and j.req_cmd ~= cmd) or not request_cmds[cmd] then
            result = cmd == 0 and 255 or cmd
        end
        t:add(V.result, tvb(6, 1), result):set_generated()
    end
    if not ok then
        status_item:append_text(string.format(" (%02X %02X expected)", x, s))
        status_item:add_proto_expert_info(E.check)
        info[#info + 1] = name
        if answer and cmd < 246 then info[#info + 1] = "answer" end
        info[#info + 1] = "[bad check]"
        return table.concat(info, " ")
    end

    local note = nil
    local need = min_len[cmd]
    if need and declared < need[answer and 2 or 1] then fits = false end
    if cmd == 0x24 and declared % (answer and 8 or 2) ~= 0 then fits = false end
    if payload[cmd] and fits and request_cmds[cmd] then
        note = payload[cmd](d, data_item or t, answer, pinfo)
    elseif payload[cmd] and not fits then
        t:add_proto_expert_info(E.layout)
    end
    info[#info + 1] = name
    if answer and request_cmds[cmd] then info[#info + 1] = "answer" end
    if note then
        info[#info + 1] = (note:sub(1, 1) == "[" or note:sub(1, 1) == "\"") and note or ("[" .. note .. "]")
    end
    return table.concat(info, " ")
end

----------------------------------------------------------------------------------------
-- vx2 and Modbus RTU

local mbrtu = Dissector.get("mbrtu")

-- reported: the piece's length on the line (more than tvb:len() when the capture's snapshot
-- length cut the record; such a piece is shown as it is, and never handed to the Modbus
-- dissector, which would run off its end).
dissect_vx2 = function(tvb, pinfo, tree, dir, modbus, reported)
    local n = tvb:len()
    if reported and reported > n then
        tree:add(p_vx2, tvb()):add(W.raw, tvb())
        return string.format("[capture cut at %u of %u bytes]", n, reported)
    end
    local valid = false
    if n >= 2 then
        local x, s = check_bytes(tvb, 0, n - 2)
        valid = x == tvb(n - 2, 1):uint() and s == tvb(n - 1, 1):uint()
    end
    -- Wireshark's Modbus RTU dissector turns down fewer than 5 bytes (unit, function, CRC).
    if not valid and n >= 5 and (modbus or crc16_modbus(tvb, 0, n - 2) == tvb(n - 2, 2):le_uint()) then
        pinfo.cols.protocol:set("vx2")
        -- Wireshark's Modbus dissector splits the bytes into frames by their function codes.
        -- A frame it finds cut short would throw past this script (which Lua cannot catch,
        -- and which leaves the script's state broken); allowed to ask for more bytes instead,
        -- it leaves that frame alone. On a frame it cannot take apart it throws an error
        -- that is caught here; it has then marked the packet "Malformed Packet: Modbus RTU"
        -- itself.
        local can = pinfo.can_desegment
        pinfo.can_desegment = 2
        pcall(function() mbrtu:call(tvb, pinfo, tree) end)
        local wanted = pinfo.desegment_len
        pinfo.desegment_len = 0
        pinfo.desegment_offset = 0
        pinfo.can_desegment = can
        if wanted ~= 0 then
            tree:add(p_vx2, tvb()):add_proto_expert_info(E.mbcut)
            return "[" .. n .. " bytes, Modbus RTU frame cut short]"
        end
        return nil
    end
    local t = tree:add(p_vx2, tvb())
    if not valid then
        t:add(W.raw, tvb())
        if n >= 2 then
            t:add(W.check_ok, tvb(n - 2, 2), false):set_generated()
        end
        t:add_proto_expert_info(E.vx2check)
        return "[" .. n .. " bytes, no valid frame]"
    end
    if dir == DIR_UNKNOWN then dir = n == VX2_REQUEST and DIR_REQUEST or DIR_ANSWER end
    local info = {}
    if n >= 4 then
        t:add_le(W.addr, tvb(0, 4))
        info[#info + 1] = string.format("Adr %08X", tvb(0, 4):le_uint())
    end
    if n >= 5 then
        if dir == DIR_REQUEST then
            t:add(W.cmd, tvb(4, 1))
            info[#info + 1] = "Cmd " .. tvb(4, 1):uint()
        else
            t:add(W.ans, tvb(4, 1))
            info[#info + 1] = "Ans " .. tvb(4, 1):uint()
        end
    end
    if n > 7 then t:add(W.data, tvb(5, n - 7)) end
    t:add(W.xor, tvb(n - 2, 1))
    t:add(W.sum, tvb(n - 1, 1))
    t:add(W.check_ok, tvb(n - 2, 2), true):set_generated()
    info[#info + 1] = "[" .. n .. " bytes]"
    return table.concat(info, " ")
end

----------------------------------------------------------------------------------------
-- The pseudo-header

function p_vx4.dissector(tvb, pinfo, tree)
    local n = tvb:len()
    local reported = tvb:reported_len()
    pinfo.cols.protocol:set("VX-4")
    local top = tree:add(p_vx4, tvb(0, math.min(n, 4)))
    if n < 4 then
        if reported > n then
            top:add_proto_expert_info(E.snaplen)
            pinfo.cols.info:set(string.format("[capture cut at %u of %u bytes]", n, reported))
        else
            top:add_proto_expert_info(E.header)
            pinfo.cols.info:set(string.format("[record of %u bytes, shorter than its 4-byte header]", n))
        end
        return n
    end
    local monitor_item = top:add(F.monitor, tvb(0, 1))
    local dir_item = top:add(F.dir, tvb(1, 1))
    top:add(F.modbus, tvb(1, 1))
    local status_item = top:add_le(F.status, tvb(2, 2))
    local monitor = tvb(0, 1):uint()
    local dir = band(tvb(1, 1):uint(), 0x7F)
    local modbus = band(tvb(1, 1):uint(), DIR_MODBUS) ~= 0
    local status = tvb(2, 2):le_uint()
    local prefix = ""
    if dir > DIR_ANSWER then
        dir_item:add_proto_expert_info(E.dir, "Unknown direction " .. dir .. ", taken as not known")
        dir = DIR_UNKNOWN
    end
    if status ~= 0 then
        local text = status_names[status]
        status_item:add_proto_expert_info(E.status, "The read ended with " .. status .. (text and (" " .. text) or ""))
        prefix = "St " .. status .. " "
    end
    if reported > n then
        top:add_proto_expert_info(E.snaplen, string.format("Record cut by the capture's snapshot length: %u of the piece's %u bytes kept", n - 4, reported - 4))
    end
    if monitor ~= MONITOR_VX3C and monitor ~= MONITOR_VX2 then
        monitor_item:add_proto_expert_info(E.monitor, "Unknown monitor " .. monitor .. ": the piece is not decoded")
        if n > 4 then tree:add(p_vx4, tvb(4), "Piece (not decoded)") end
        pinfo.cols.info:set(prefix .. "[unknown monitor " .. monitor .. ", " .. (reported - 4) .. " bytes]")
        return n
    end
    if n == 4 then
        pinfo.cols.protocol:set(monitor_names[monitor])
        pinfo.cols.info:set(prefix .. (reported > 4 and "[capture cut at 0 of " .. (reported - 4) .. " bytes]" or "[no bytes]"))
        return n
    end
    local body = tvb(4):tvb()
    local info
    if monitor == MONITOR_VX2 then
        pinfo.cols.protocol:set("vx2")
        info = dissect_vx2(body, pinfo, tree, dir, modbus, reported - 4)
    else
        pinfo.cols.protocol:set("vx3c")
        info = dissect_vx3c(body, pinfo, tree, dir, reported - 4)
    end
    if info then pinfo.cols.info:set(prefix .. info) end
    return n
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, p_vx4)
