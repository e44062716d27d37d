-- kelunit.lua - Wireshark dissector for the display unit's four TCP links:
-- screen and key (kelfb, port 1234), startup (kelstp, 1235), non-screen
-- (kelns, 1236) and factory test (kelind, 1237).
--
-- Every frame starts with the 12-byte prefix (magic C7 29 53 B4, total
-- length, transaction id), then the command type (the factory link puts a
-- message type before it) and the command's record; integers are
-- little-endian. Layouts follow the packed records of kelCommon/inc,
-- src/nonScreen, src/fbkey, src/startup and src/indust.
--
-- Frames are cut out of the TCP stream with dissect_tcp_pdus, so a frame
-- split over segments and many frames in one segment both decode. Bad
-- traffic (a wrong magic, an impossible length, a short record, an unknown
-- command) is marked with an expert item (kelunit.*) and dissection goes on
-- at the next frame magic. Nothing here may raise a Lua error: every read
-- is checked against the bytes that are there.
--
-- Load with:  tshark -X lua_script:kelunit.lua ...  or copy the file to
-- ~/.local/lib/wireshark/plugins/.

local MAGIC = 0xb45329c7
local MAGIC_BYTES = "\199\041\083\180" -- C7 29 53 B4
local PREFIX_LEN = 12
local LENGTH_AT = 4
local SCREEN_W = 320
local SCREEN_H = 240
local RECT_PIXELS = 384
local RECT_AREA_AT = 8   -- pixels after x, y, w, h
local RECT_AREA_LEN = 768
local LATEST_DATE = 253402300799 -- 9999-12-31: beyond it a time is shown as a number

---------------------------------------------------------------------------
-- Names
---------------------------------------------------------------------------

local rc_names = { [0] = "ERROR", [1] = "OK" }

local ns_cmds = {
    [-1] = "UNKNOWN", [0] = "RESPONSE", [1] = "SET_BRIGHTNESS", [2] = "SET_TIME",
    [3] = "SET_STATUS_LED", [4] = "SET_ALARM_LED", [5] = "GET_TEMPERATURE",
    [6] = "GET_ERROR", [7] = "GET_DATA", [8] = "HEARTBEAT",
}
local fb_cmds = {
    [-1] = "UNKNOWN", [0] = "RESPONSE", [1] = "DATA_REQ", [2] = "FBDATA",
    [3] = "SCR_FIN", [4] = "KEYEVENT", [5] = "HEARTBEAT",
}
local stp_cmds = {
    [-1] = "UNKNOWN", [0] = "RESPONSE", [1] = "DATA_REQ", [2] = "RANDOM",
    [3] = "VERSION", [4] = "DIGEST", [5] = "STATE", [6] = "HEARTBEAT",
}
local ind_cmds = {
    [0] = "TEST_REQUEST", [1] = "AUTH_CHALLENGE", [2] = "TIME_SYNCHRONIZE",
    [3] = "VERSION_GET", [4] = "FACTORY_RESET", [5] = "SN_GET", [6] = "SN_SET",
    [7] = "TEST_RESULT_GET", [8] = "TEST_RESULT_SET", [9] = "COMMU_TEST",
    [10] = "LED_TEST", [11] = "BUTTON_TEST", [12] = "TEMP_GET", [13] = "FLASH_TEST",
    [14] = "LCD_TEST", [15] = "LCDTYPE_SET", [16] = "HEARTBEAT", [17] = "BRIGHT_SET",
    [18] = "BRIGHT_GET", [19] = "INFO_GET", [20] = "TELNET_SET", [21] = "IP_SET",
    [22] = "SERVERIP_SET", [23] = "IMAGE_GET", [24] = "FLASH_COPY", [25] = "REBOOT",
    [26] = "LOGO_SET", [27] = "LOGO_GET",
}
local ind_msgtypes = { [0] = "RESPONSE", [1] = "REQUEST" }

local key_names = {
    [59] = "KEY_COMB_0", [102] = "KEY_HOME", [103] = "KEY_1", [105] = "KEY_3",
    [106] = "KEY_4", [108] = "KEY_2",
}
local key_actions = { [0] = "release", [1] = "press" }
local led_colours = { [0] = "green", [1] = "red" }
local stp_states = {
    [-1] = "UNKNOWN", [0] = "APP_TRANS_DONE", [1] = "APP_RUNNING", [2] = "APP_UPDATE",
    [3] = "KERNEL_UPDATE", [4] = "APP_STARTFAIL", [5] = "DISCONNECTED",
}
local test_results = { [0] = "TEST_FAIL", [1] = "TEST_OK" }
local ind_leds = { [0] = "STATE_LED_GREEN", [1] = "STATE_LED_RED", [2] = "ALARM_LED_RED" }
local ind_led_ctrl = { [0] = "on", [1] = "off" }
local lcd_ctrl = { [0] = "white", [1] = "black" }
local lcd_types = { [0] = "KYOCERA", [1] = "SHARP" }
local logos = { [0] = "TAMVORIK", [1] = "QUILLEX" }
local bools = { [0] = "false", [1] = "true" }
local languages = {
    [0] = "English", [1] = "French", [2] = "Spanish", [3] = "German", [4] = "Italian",
    [5] = "Portuguese", [6] = "Chinese", [7] = "Russian",
}
local error_codes = {
    [0] = "KEL_OK", [1] = "KEL_CONNECTED", [2] = "KEL_DISCONNECTED",
    [100] = "KEL_COMM_FAIL", [101] = "KEL_COMM_SOCKET_INIT_FAIL",
    [102] = "KEL_COMM_CONNECT_FAIL", [103] = "KEL_COMM_DISCONNECTED",
    [104] = "KEL_COMM_TIMEOUT", [105] = "KEL_COMM_SELECT_ERROR",
    [106] = "KEL_COMM_DATA_SEND_FAIL", [107] = "KEL_COMM_DATA_RECV_FAIL",
    [108] = "KEL_COMM_PARAM_ERROR", [200] = "KEL_HW_ERROR",
    [201] = "KEL_HW_FLASH_RW_ERROR", [210] = "KEL_HW_KBD_INIT_ERROR",
    [211] = "KEL_HW_KBD_READ_ERROR", [220] = "KEL_HW_TEMP_OPEN_ERROR",
    [221] = "KEL_HW_TEMP_READ_ERROR", [230] = "KEL_HW_LED_OPEN_ERROR",
    [231] = "KEL_HW_LED_CTRL_FAIL", [240] = "KEL_HW_LCD_BKL_OPEN_ERROR",
    [241] = "KEL_HW_LCD_BKL_READ_ERROR", [242] = "KEL_HW_LCD_BKL_WRITE_ERROR",
    [243] = "KEL_HW_LCD_BRIGHTNESS_FAIL", [244] = "KEL_HW_LCD_BKL_CTRL_FAIL",
    [245] = "KEL_HW_LCD_BRIGHTNESS_LOW", [250] = "KEL_HW_TIME_SET_FAIL",
    [260] = "KEL_HW_FB_INIT_ERROR", [261] = "KEL_HW_FB_MMAP_ERROR",
    [300] = "KEL_FW_ERROR", [301] = "KEL_FW_TIME_SET_ERROR",
    [302] = "KEL_FW_MSGQ_GETID_ERROR", [303] = "KEL_FW_MSGQ_SEND_ERROR",
    [304] = "KEL_FW_MSGQ_RECV_ERROR", [305] = "KEL_FW_SHM_GETID_ERROR",
    [306] = "KEL_FW_SHM_MAP_ERROR", [307] = "KEL_FW_SHM_RW_ERROR",
    [308] = "KEL_FW_MUTEX_ERROR", [309] = "KEL_FW_SEM_ERROR",
    [310] = "KEL_FW_PTHREAD_ERROR", [311] = "KEL_FW_MEM_ALLOC_ERROR",
    [312] = "KEL_FW_SET_ENV_ERROR", [313] = "KEL_FW_GET_ENV_ERROR",
    [314] = "KEL_FW_FILE_OPEN_ERROR", [315] = "KEL_FW_FILE_READ_ERROR",
    [316] = "KEL_FW_FILE_WRITE_ERROR", [317] = "KEL_FW_DATA_NOT_REQUESTED",
    [318] = "KEL_FW_APP_PARAM_ERROR", [319] = "KEL_FW_MSGBUFF_FULL",
    [320] = "KEL_FW_STP_VERSION_COMPATIBLE", [321] = "KEL_FW_STP_APP_INCOMPATIBLE",
    [322] = "KEL_FW_STP_KERNEL_INCOMPATIBLE", [323] = "KEL_FW_STP_APP_START_FAIL",
    [324] = "KEL_FW_STP_APP_COPY_FAIL", [325] = "KEL_FW_STP_DIGEST_TIMEOUT",
    [326] = "KEL_FW_STP_APP_UP_TIMEOUT", [330] = "KEL_FW_NSC_BRIGHTNESS_SET_ERROR",
    [331] = "KEL_FW_NSC_BRIGHTNESS_OUTOFRANGE", [332] = "KEL_FW_NSC_STATUSLED_SET_ERROR",
    [333] = "KEL_FW_NSC_ALARMLED_SET_ERROR", [334] = "KEL_FW_NSC_TEMP_SEND_ERROR",
    [335] = "KEL_FW_NSC_ERRCODE_SEND_ERROR", [340] = "KEL_FW_FB_DATA_CHECK_ERROR",
    [341] = "KEL_FW_FB_DATA_SEND_ERROR", [342] = "KEL_FW_FB_KEY_SEND_ERROR",
    [351] = "KEL_FW_CTRL_SCR_UPDATE_FAIL", [400] = "KEL_UPG_FAIL",
    [401] = "KEL_UPG_SUCCESS", [402] = "KEL_UPG_FILE_VERIFY_FAIL",
    [403] = "KEL_UPG_IMAGE_RESTORE_FAIL", [404] = "KEL_UPG_FILE_DETECTED",
    [405] = "KEL_UPG_TYPE_ERROR",
}

---------------------------------------------------------------------------
-- The shared part: one summary field and the expert items of all four
---------------------------------------------------------------------------

local kelunit = Proto("kelunit", "Display unit links")
local f_summary = ProtoField.string("kelunit.summary", "Frame")
kelunit.fields = { f_summary }

local ex = {
    bad_magic = ProtoExpert.new("kelunit.bad_magic", "Bytes without the frame magic C7 29 53 B4",
                                expert.group.MALFORMED, expert.severity.ERROR),
    bad_length = ProtoExpert.new("kelunit.bad_length", "Frame length below the prefix or above the link's largest frame",
                                 expert.group.MALFORMED, expert.severity.ERROR),
    short_payload = ProtoExpert.new("kelunit.short_payload", "Frame shorter than its command's record",
                                    expert.group.MALFORMED, expert.severity.ERROR),
    long_payload = ProtoExpert.new("kelunit.long_payload", "Frame longer than its command's record",
                                   expert.group.PROTOCOL, expert.severity.WARN),
    unknown_cmd = ProtoExpert.new("kelunit.unknown_cmd", "Unknown command or message type",
                                  expert.group.PROTOCOL, expert.severity.WARN),
    bad_rect = ProtoExpert.new("kelunit.bad_rect", "Rectangle outside the 320 x 240 screen or over 384 pixels",
                               expert.group.PROTOCOL, expert.severity.WARN),
}
kelunit.experts = {
    ex.bad_magic, ex.bad_length, ex.short_payload, ex.long_payload, ex.unknown_cmd, ex.bad_rect,
}

---------------------------------------------------------------------------
-- Field helpers
---------------------------------------------------------------------------

-- One record item: field `f` at payload offset `at`, `len` bytes, read as
-- `kind` ("u" unsigned, "i" signed, "time", "text", "fwver", "appver",
-- "temp"), shown in the summary as `s` (nothing when s is nil).
local function item(f, at, len, kind, s, names)
    return { f = f, at = at, len = len, kind = kind, s = s, names = names }
end

local function named(value, names)
    if names ~= nil and names[value] ~= nil then
        return names[value]
    end
    return tostring(value)
end

-- Printable text of `len` bytes at `off`, cut at the first NUL.
local function text_at(tvb, off, len)
    local s = tvb:raw(off, len)
    local z = s:find("\0", 1, true)
    if z ~= nil then
        s = s:sub(1, z - 1)
    end
    return (s:gsub("[^\32-\126]", "?"))
end

-- Adds one item whose bytes lie within the tvb; returns its summary text.
local function add_item(tree, tvb, base, it, len_override)
    local off = base + it.at
    local len = len_override or it.len
    if it.kind == "text" then
        local s = ""
        if len > 0 then
            s = text_at(tvb, off, len)
            tree:add(it.f, tvb(off, len), s)
        else
            tree:add(it.f, s)
        end
        return '"' .. s .. '"'
    end
    local r = tvb(off, len)
    if it.kind == "time" then
        local secs = r:le_uint64()
        local n = secs:tonumber()
        if secs > UInt64(LATEST_DATE) then
            tree:add(it.f, r, NSTime.new(0, 0)):append_text(" (" .. tostring(secs) .. " s: out of range)")
            return tostring(secs) .. " s"
        end
        tree:add(it.f, r, NSTime.new(n, 0))
        return os.date("!%Y-%m-%d %H:%M:%S", n)
    end
    if it.kind == "fwver" then
        local s = string.format("%03d.%03d.%03d", r(0, 1):le_uint(), r(1, 1):le_uint(), r(2, 2):le_uint())
        tree:add(it.f, r, s)
        return s
    end
    if it.kind == "appver" then
        local v = r:le_uint()
        local s = string.format("%d.%d", math.floor(v / 256) % 256, v % 256)
        tree:add(it.f, r, s)
        return s
    end
    local v
    if it.kind == "i" or it.kind == "temp" then
        v = r:le_int()
    else
        v = r:le_uint()
    end
    local ti = tree:add_le(it.f, r)
    if it.kind == "temp" then
        local t = string.format("%.3f °C", v / 1000)
        ti:append_text(" (" .. t .. ")")
        return t
    end
    return named(v, it.names)
end

-- Adds a record's items that fit in `avail` payload bytes; the summary.
local function add_record(tree, tvb, base, avail, items)
    local parts = {}
    for _, it in ipairs(items) do
        if it.at + it.len <= avail then
            local s = add_item(tree, tvb, base, it)
            if it.s ~= nil then
                parts[#parts + 1] = it.s .. "=" .. s
            end
        end
    end
    return table.concat(parts, " ")
end

---------------------------------------------------------------------------
-- One link: its protocol, prefix fields and the framing around a record
---------------------------------------------------------------------------

-- A link: name, desc, port, limit (largest frame), head (bytes before the
-- record), cmds (names), toward (name of the side behind the port: who
-- receives on it), from (the other side), fields (record fields), records
-- (function(cmd, msgtype) -> record description or nil).
local function new_link(lk)
    local p = Proto(lk.name, lk.desc)
    local n = lk.name
    local F = {
        magic = ProtoField.uint32(n .. ".magic", "Magic", base.HEX),
        length = ProtoField.uint32(n .. ".length", "Length", base.DEC),
        tid = ProtoField.uint32(n .. ".tid", "Transaction id", base.DEC),
        cmd = ProtoField.int32(n .. ".cmd", "Command", base.DEC, lk.cmds),
    }
    local list = { F.magic, F.length, F.tid, F.cmd }
    if lk.msgtypes ~= nil then
        F.msgtype = ProtoField.int32(n .. ".msgtype", "Message type", base.DEC, lk.msgtypes)
        list[#list + 1] = F.msgtype
    end
    for _, f in ipairs(lk.fields) do
        list[#list + 1] = f
    end
    list[#list + 1] = ProtoField.bytes(n .. ".data", "Data")
    F.data = list[#list]
    p.fields = list
    lk.proto = p
    lk.F = F
    return lk
end

-- Position of the next magic at or after `from` (tvb offsets), or nil.
local function next_magic(tvb, from)
    local len = tvb:len()
    if from >= len then
        return nil
    end
    local at = tvb:raw(from, len - from):find(MAGIC_BYTES, 1, true)
    if at == nil then
        return nil
    end
    return from + at - 1
end

-- Bytes that belong to no frame: up to the next magic or the end.
local function junk_len(tvb, offset, from)
    local m = next_magic(tvb, from)
    if m == nil then
        return tvb:len() - offset
    end
    return m - offset
end

local function starts_with_magic_prefix(tvb, offset, avail)
    return tvb:raw(offset, avail) == MAGIC_BYTES:sub(1, avail)
end

-- Length of the frame at `offset` for dissect_tcp_pdus: the prefix's
-- length for a good frame (reassembled when it spans segments), the bytes
-- up to the next magic for anything else, 0 for "need more bytes".
local function make_get_len(lk)
    return function(tvb, pinfo, offset)
        local avail = tvb:len() - offset
        if avail < 8 then
            if avail < 4 and not starts_with_magic_prefix(tvb, offset, avail) then
                return junk_len(tvb, offset, offset + 1)
            end
            if avail >= 4 and tvb(offset, 4):le_uint() ~= MAGIC then
                return junk_len(tvb, offset, offset + 1)
            end
            if pinfo.can_desegment > 0 then
                return 0
            end
            return avail
        end
        if tvb(offset, 4):le_uint() ~= MAGIC then
            return junk_len(tvb, offset, offset + 1)
        end
        local length = tvb(offset + LENGTH_AT, 4):le_uint()
        if length >= PREFIX_LEN and length <= lk.limit then
            return length
        end
        return junk_len(tvb, offset, offset + 8)
    end
end

local function direction(lk, pinfo)
    if pinfo.dst_port == lk.port then
        return lk.from .. "→" .. lk.toward
    end
    return lk.toward .. "→" .. lk.from
end

-- Writes the frame's summary into the tree and the Info column (the
-- first frame of a packet sets it, later ones are appended).
local function summarize(lk, pinfo, tree, text)
    local line = string.format("%s %s %s", lk.name, direction(lk, pinfo), text)
    tree:add(f_summary, line):set_generated()
    pinfo.cols.protocol = lk.name:upper()
    if pinfo.private.kelunit_frames == nil then
        pinfo.private.kelunit_frames = "1"
        pinfo.cols.info = text
    else
        pinfo.cols.info:append(", " .. text)
    end
end

local function dissect_junk(lk, tvb, pinfo, tree)
    local t = tree:add(lk.proto, tvb(), lk.desc .. ", no frame")
    t:add(lk.F.data, tvb())
    t:add_tvb_expert_info(ex.bad_magic, tvb(), string.format("%d bytes without the frame magic", tvb:len()))
    summarize(lk, pinfo, t, string.format("[%d bytes without magic]", tvb:len()))
end

local function dissect_bad_length(lk, tvb, pinfo, tree)
    local t = tree:add(lk.proto, tvb(), lk.desc .. ", bad length")
    local length = tvb(LENGTH_AT, 4):le_uint()
    t:add_le(lk.F.magic, tvb(0, 4))
    local li = t:add_le(lk.F.length, tvb(LENGTH_AT, 4))
    if tvb:len() >= PREFIX_LEN then
        t:add_le(lk.F.tid, tvb(8, 4))
    end
    li:add_proto_expert_info(ex.bad_length, string.format("length %d outside %d..%d", length, PREFIX_LEN, lk.limit))
    if tvb:len() > 8 then
        t:add(lk.F.data, tvb(8))
    end
    summarize(lk, pinfo, t, string.format("[bad length %d]", length))
end

local function dissect_frame(lk, tvb, pinfo, tree)
    local F = lk.F
    local len = tvb:len()
    if len < 4 or tvb(0, 4):le_uint() ~= MAGIC then
        dissect_junk(lk, tvb, pinfo, tree)
        return len
    end
    if len < 8 then
        local t = tree:add(lk.proto, tvb(), lk.desc .. ", cut frame")
        t:add_le(F.magic, tvb(0, 4))
        t:add_tvb_expert_info(ex.short_payload, tvb(), "the connection ends inside the frame prefix")
        summarize(lk, pinfo, t, "[cut frame]")
        return len
    end
    local length = tvb(LENGTH_AT, 4):le_uint()
    if length < PREFIX_LEN or length > lk.limit or length ~= len then
        if length >= PREFIX_LEN and length <= lk.limit then
            -- A good length the capture ends before: the frame was cut.
            local t = tree:add(lk.proto, tvb(), lk.desc .. ", cut frame")
            t:add_le(F.magic, tvb(0, 4))
            t:add_le(F.length, tvb(LENGTH_AT, 4))
            t:add_tvb_expert_info(ex.short_payload, tvb(),
                                  string.format("only %d of %d bytes before the connection ends", len, length))
            summarize(lk, pinfo, t, "[cut frame]")
            return len
        end
        dissect_bad_length(lk, tvb, pinfo, tree)
        return len
    end

    local t = tree:add(lk.proto, tvb())
    t:add_le(F.magic, tvb(0, 4))
    t:add_le(F.length, tvb(LENGTH_AT, 4))
    t:add_le(F.tid, tvb(8, 4))
    local tid = tvb(8, 4):le_uint()
    if len < lk.head then
        t:add_tvb_expert_info(ex.short_payload, tvb(PREFIX_LEN),
                              string.format("length %d leaves no room for the command type", length))
        summarize(lk, pinfo, t, string.format("tid %d [no command]", tid))
        return len
    end
    local msgtype = nil
    local cmd
    if lk.msgtypes ~= nil then
        msgtype = tvb(12, 4):le_int()
        t:add_le(F.msgtype, tvb(12, 4))
        cmd = tvb(16, 4):le_int()
        t:add_le(F.cmd, tvb(16, 4))
    else
        cmd = tvb(12, 4):le_int()
        t:add_le(F.cmd, tvb(12, 4))
    end
    local cmdname = lk.cmds[cmd] or tostring(cmd)
    local head = cmdname
    if msgtype ~= nil then
        head = cmdname .. " " .. (ind_msgtypes[msgtype] or ("msgtype " .. msgtype)):lower()
    end
    t:append_text(", " .. head)

    local rec = lk.records(cmd, msgtype)
    local avail = len - lk.head
    if rec == nil then
        local what = string.format("unknown command %d", cmd)
        if msgtype ~= nil and ind_msgtypes[msgtype] == nil then
            what = string.format("unknown message type %d", msgtype)
        end
        t:add_proto_expert_info(ex.unknown_cmd, what)
        if avail > 0 then
            t:add(F.data, tvb(lk.head))
        end
        summarize(lk, pinfo, t, string.format("tid %d %s [unknown]", tid, head))
        return len
    end

    local want_min = rec.size
    local want_max = rec.size
    if rec.text_max ~= nil then
        want_max = rec.size + rec.text_max
    end
    local s
    if rec.custom ~= nil then
        s = rec.custom(t, tvb, lk.head, avail, pinfo)
    else
        s = add_record(t, tvb, lk.head, avail, rec.items)
    end
    if rec.text_max ~= nil and avail >= rec.size then
        local tl = math.min(avail - rec.size, rec.text_max)
        local ts = add_item(t, tvb, lk.head, rec.text, tl)
        s = s .. (s ~= "" and " " or "") .. rec.text.s .. "=" .. ts
    end
    if avail < want_min then
        t:add_tvb_expert_info(ex.short_payload, tvb(lk.head - 4),
                              string.format("%s needs %d bytes after the command type, has %d", head, want_min, avail))
        s = s .. (s ~= "" and " " or "") .. "[short]"
    elseif avail > want_max then
        t:add_tvb_expert_info(ex.long_payload, tvb(lk.head + want_max),
                              string.format("%d bytes beyond the %s record", avail - want_max, head))
        s = s .. (s ~= "" and " " or "") .. "[long]"
    end
    summarize(lk, pinfo, t, string.format("tid %d %s%s", tid, head, s ~= "" and (" " .. s) or ""))
    return len
end

local function register(lk)
    local get_len = make_get_len(lk)
    local function pdu(tvb, pinfo, tree)
        return dissect_frame(lk, tvb, pinfo, tree)
    end
    lk.proto.dissector = function(tvb, pinfo, tree)
        dissect_tcp_pdus(tvb, tree, 1, get_len, pdu, true)
        return tvb:len()
    end
    DissectorTable.get("tcp.port"):add(lk.port, lk.proto)
end

local function rec(size, items)
    return { size = size, items = items }
end

---------------------------------------------------------------------------
-- kelns: non-screen link (port 1236, the meter listens)
---------------------------------------------------------------------------

local NS = {}
NS.resp_tid = ProtoField.uint32("kelns.resp.tid", "Answered transaction id", base.DEC)
NS.resp_cmd = ProtoField.int32("kelns.resp.cmd", "Answered command", base.DEC, ns_cmds)
NS.resp_code = ProtoField.int32("kelns.resp.code", "Response code", base.DEC, rc_names)
NS.brightness = ProtoField.uint32("kelns.brightness", "Brightness (%)", base.DEC)
NS.time = ProtoField.absolute_time("kelns.time", "Time", base.UTC)
NS.led_colour = ProtoField.int32("kelns.led.colour", "LED colour", base.DEC, led_colours)
NS.led_cycle = ProtoField.uint16("kelns.led.cycle", "Cycle (ms)", base.DEC)
NS.led_duty = ProtoField.uint16("kelns.led.duty", "Duty (%)", base.DEC)
NS.led_act = ProtoField.uint16("kelns.led.act", "Active cycles", base.DEC)
NS.led_inact = ProtoField.uint16("kelns.led.inact", "Inactive cycles", base.DEC)
NS.temperature = ProtoField.int32("kelns.temperature", "Temperature (m°C)", base.DEC)
NS.error_code = ProtoField.int32("kelns.error.code", "Error code", base.DEC, error_codes)
NS.error_time = ProtoField.absolute_time("kelns.error.time", "Error time", base.UTC)

local function pattern_items(at)
    return {
        item(NS.led_cycle, at, 2, "u", "cycle"),
        item(NS.led_duty, at + 2, 2, "u", "duty"),
        item(NS.led_act, at + 4, 2, "u", "act"),
        item(NS.led_inact, at + 6, 2, "u", "inact"),
    }
end

local ns_records = {
    [0] = rec(12, { item(NS.resp_tid, 0, 4, "u", "answers"), item(NS.resp_cmd, 4, 4, "i", "cmd", ns_cmds),
                    item(NS.resp_code, 8, 4, "i", "code", rc_names) }),
    [1] = rec(4, { item(NS.brightness, 0, 4, "u", "brightness") }),
    [2] = rec(8, { item(NS.time, 0, 8, "time", "time") }),
    [3] = rec(12, { item(NS.led_colour, 0, 4, "i", "colour", led_colours),
                    table.unpack(pattern_items(4)) }),
    [4] = rec(8, pattern_items(0)),
    [5] = rec(4, { item(NS.temperature, 0, 4, "temp", "temperature") }),
    [6] = rec(12, { item(NS.error_code, 0, 4, "i", "error", error_codes), item(NS.error_time, 4, 8, "time", "at") }),
    [7] = rec(0, {}),
    [8] = rec(0, {}),
}

local ns = new_link({
    name = "kelns", desc = "Display unit non-screen link", port = 1236, limit = 32, head = 16,
    cmds = ns_cmds, toward = "meter", from = "unit",
    fields = { NS.resp_tid, NS.resp_cmd, NS.resp_code, NS.brightness, NS.time, NS.led_colour,
               NS.led_cycle, NS.led_duty, NS.led_act, NS.led_inact, NS.temperature,
               NS.error_code, NS.error_time },
    records = function(cmd) return ns_records[cmd] end,
})

---------------------------------------------------------------------------
-- kelfb: screen and key link (port 1234, the meter listens)
---------------------------------------------------------------------------

local FB = {}
FB.resp_tid = ProtoField.uint32("kelfb.resp.tid", "Answered transaction id", base.DEC)
FB.resp_cmd = ProtoField.int32("kelfb.resp.cmd", "Answered command", base.DEC, fb_cmds)
FB.resp_code = ProtoField.int32("kelfb.resp.code", "Response code", base.DEC, rc_names)
FB.width = ProtoField.uint16("kelfb.display.width", "Display width", base.DEC)
FB.height = ProtoField.uint16("kelfb.display.height", "Display height", base.DEC)
FB.bpp = ProtoField.uint16("kelfb.display.bpp", "Bits per pixel", base.DEC)
FB.rect_x = ProtoField.uint16("kelfb.rect.x", "x", base.DEC)
FB.rect_y = ProtoField.uint16("kelfb.rect.y", "y", base.DEC)
FB.rect_w = ProtoField.uint16("kelfb.rect.w", "Width", base.DEC)
FB.rect_h = ProtoField.uint16("kelfb.rect.h", "Height", base.DEC)
FB.rect_bytes = ProtoField.uint32("kelfb.rect.bytes", "Pixel bytes", base.DEC)
FB.key = ProtoField.int32("kelfb.key", "Key", base.DEC, key_names)
FB.key_action = ProtoField.int32("kelfb.key.action", "Key action", base.DEC, key_actions)

-- A rectangle: position, size and the bytes its pixels take of the 768.
local function fb_rect(t, tvb, base, avail)
    if avail < 8 then
        return add_record(t, tvb, base, avail, {
            item(FB.rect_x, 0, 2, "u", "x"), item(FB.rect_y, 2, 2, "u", "y"),
            item(FB.rect_w, 4, 2, "u", "w"), item(FB.rect_h, 6, 2, "u", "h") })
    end
    local x = tvb(base, 2):le_uint()
    local y = tvb(base + 2, 2):le_uint()
    local w = tvb(base + 4, 2):le_uint()
    local h = tvb(base + 6, 2):le_uint()
    t:add_le(FB.rect_x, tvb(base, 2))
    t:add_le(FB.rect_y, tvb(base + 2, 2))
    t:add_le(FB.rect_w, tvb(base + 4, 2))
    t:add_le(FB.rect_h, tvb(base + 6, 2))
    local bytes = w * h * 2
    local area = math.min(avail - RECT_AREA_AT, RECT_AREA_LEN)
    local bi
    if area > 0 then
        bi = t:add(FB.rect_bytes, tvb(base + RECT_AREA_AT, area), bytes)
    else
        bi = t:add(FB.rect_bytes, bytes)
    end
    bi:append_text(string.format(" of %d", RECT_AREA_LEN))
    local s = string.format("x=%d y=%d w=%d h=%d bytes=%d", x, y, w, h, bytes)
    if x + w > SCREEN_W or y + h > SCREEN_H or w * h > RECT_PIXELS then
        bi:add_proto_expert_info(ex.bad_rect, string.format("rectangle %dx%d at (%d,%d) does not fit", w, h, x, y))
        s = s .. " [does not fit]"
    end
    return s
end

local fb_records = {
    [0] = rec(12, { item(FB.resp_tid, 0, 4, "u", "answers"), item(FB.resp_cmd, 4, 4, "i", "cmd", fb_cmds),
                    item(FB.resp_code, 8, 4, "i", "code", rc_names) }),
    [1] = rec(6, { item(FB.width, 0, 2, "u", "width"), item(FB.height, 2, 2, "u", "height"),
                   item(FB.bpp, 4, 2, "u", "bpp") }),
    [2] = { size = 776, custom = fb_rect },
    [3] = rec(0, {}),
    [4] = rec(8, { item(FB.key, 0, 4, "i", "key", key_names), item(FB.key_action, 4, 4, "i", "action", key_actions) }),
    [5] = rec(0, {}),
}

local fb = new_link({
    name = "kelfb", desc = "Display unit screen and key link", port = 1234, limit = 792, head = 16,
    cmds = fb_cmds, toward = "meter", from = "unit",
    fields = { FB.resp_tid, FB.resp_cmd, FB.resp_code, FB.width, FB.height, FB.bpp, FB.rect_x,
               FB.rect_y, FB.rect_w, FB.rect_h, FB.rect_bytes, FB.key, FB.key_action },
    records = function(cmd) return fb_records[cmd] end,
})

---------------------------------------------------------------------------
-- kelstp: startup link (port 1235, the meter listens)
---------------------------------------------------------------------------

local STP = {}
STP.resp_tid = ProtoField.uint32("kelstp.resp.tid", "Answered transaction id", base.DEC)
STP.resp_cmd = ProtoField.int32("kelstp.resp.cmd", "Answered command", base.DEC, stp_cmds)
STP.resp_code = ProtoField.int32("kelstp.resp.code", "Response code", base.DEC, rc_names)
STP.fw_version = ProtoField.string("kelstp.fw_version", "Firmware version")
STP.sn = ProtoField.string("kelstp.sn", "Serial number")
STP.challenge = ProtoField.uint32("kelstp.challenge", "Challenge", base.DEC)
STP.time = ProtoField.absolute_time("kelstp.time", "Meter clock", base.UTC)
STP.app_version = ProtoField.string("kelstp.app_version", "Application version")
STP.kernel_version = ProtoField.uint32("kelstp.kernel_version", "Kernel build", base.DEC)
STP.digest = ProtoField.uint32("kelstp.digest", "Digest", base.DEC)
STP.state = ProtoField.int32("kelstp.state", "State", base.DEC, stp_states)

local stp_records = {
    [0] = rec(12, { item(STP.resp_tid, 0, 4, "u", "answers"), item(STP.resp_cmd, 4, 4, "i", "cmd", stp_cmds),
                    item(STP.resp_code, 8, 4, "i", "code", rc_names) }),
    [1] = { size = 4, items = { item(STP.fw_version, 0, 4, "fwver", "fw") },
            text = item(STP.sn, 4, 0, "text", "sn"), text_max = 32 },
    [2] = rec(12, { item(STP.challenge, 0, 4, "u", "challenge"), item(STP.time, 4, 8, "time", "clock") }),
    [3] = rec(8, { item(STP.app_version, 0, 4, "appver", "app"), item(STP.kernel_version, 4, 4, "u", "kernel") }),
    [4] = rec(4, { item(STP.digest, 0, 4, "u", "digest") }),
    [5] = rec(4, { item(STP.state, 0, 4, "i", "state", stp_states) }),
    [6] = rec(0, {}),
}

local stp = new_link({
    name = "kelstp", desc = "Display unit startup link", port = 1235, limit = 52, head = 16,
    cmds = stp_cmds, toward = "meter", from = "unit",
    fields = { STP.resp_tid, STP.resp_cmd, STP.resp_code, STP.fw_version, STP.sn, STP.challenge,
               STP.time, STP.app_version, STP.kernel_version, STP.digest, STP.state },
    records = function(cmd) return stp_records[cmd] end,
})

---------------------------------------------------------------------------
-- kelind: factory test link (port 1237, the unit listens)
---------------------------------------------------------------------------

local IND = {}
IND.result = ProtoField.int32("kelind.result", "Test result", base.DEC, test_results)
IND.indust_version = ProtoField.uint32("kelind.indust_version", "Station protocol version", base.DEC)
IND.auth = ProtoField.uint32("kelind.auth", "Authentication value", base.DEC)
IND.time = ProtoField.absolute_time("kelind.time", "Time", base.UTC)
IND.version = ProtoField.string("kelind.version", "Firmware version")
IND.sn = ProtoField.string("kelind.sn", "Serial number")
IND.ip = ProtoField.string("kelind.ip", "IP address")
IND.server_ip = ProtoField.string("kelind.server_ip", "Server IP address")
IND.test_result = ProtoField.int32("kelind.test.result", "Stored test result", base.DEC, test_results)
IND.test_id = ProtoField.int32("kelind.test.id", "Tester id", base.DEC)
IND.test_time = ProtoField.absolute_time("kelind.test.time", "Test time", base.UTC)
IND.led = ProtoField.int32("kelind.led", "LED", base.DEC, ind_leds)
IND.led_ctrl = ProtoField.int32("kelind.led.ctrl", "LED state", base.DEC, ind_led_ctrl)
IND.key = ProtoField.int32("kelind.key", "Key", base.DEC, key_names)
IND.key_action = ProtoField.int32("kelind.key.action", "Key action", base.DEC, key_actions)
IND.temperature = ProtoField.int32("kelind.temperature", "Temperature (m°C)", base.DEC)
IND.lcd = ProtoField.int32("kelind.lcd", "LCD test screen", base.DEC, lcd_ctrl)
IND.lcdtype = ProtoField.int32("kelind.lcdtype", "LCD type", base.DEC, lcd_types)
IND.brightness = ProtoField.uint32("kelind.brightness", "Brightness (%)", base.DEC)
IND.telnet = ProtoField.int32("kelind.telnet", "Telnet", base.DEC, bools)
IND.logo = ProtoField.int32("kelind.logo", "Splash logo", base.DEC, logos)
IND.info_time = ProtoField.absolute_time("kelind.info.time", "Unit clock", base.UTC)
IND.info_freq = ProtoField.uint32("kelind.info.mpu_freq", "MPU frequency (kHz)", base.DEC)
IND.info_lang = ProtoField.int32("kelind.info.language", "Language", base.DEC, languages)
IND.info_mtd = ProtoField.int32("kelind.info.mtd_group", "Active flash bank", base.DEC)
IND.info_bright = ProtoField.int32("kelind.info.brightness", "Brightness (%)", base.DEC)
IND.info_bkl = ProtoField.int32("kelind.info.backlight", "Backlight control", base.DEC)
IND.info_lcd = ProtoField.int32("kelind.info.lcdtype", "LCD type", base.DEC, lcd_types)
IND.info_telnet = ProtoField.int32("kelind.info.telnet", "Telnet", base.DEC, bools)
IND.info_hours = ProtoField.int32("kelind.info.work_hours", "Working hours", base.DEC)
IND.info_logo = ProtoField.uint32("kelind.info.logo", "Splash logo", base.DEC, logos)
IND.info_app = ProtoField.string("kelind.info.app_version", "Application version")
IND.info_kernel = ProtoField.string("kelind.info.kernel_version", "Kernel version")
IND.info_fw = ProtoField.string("kelind.info.fw_version", "Firmware version")
IND.info_server = ProtoField.string("kelind.info.server_ip", "Application server")
IND.info_ip = ProtoField.string("kelind.info.ip", "IP address")

local R_RESULT = rec(4, { item(IND.result, 0, 4, "i", "result", test_results) })
local R_PADDED = rec(16, { item(IND.result, 0, 4, "i", "result", test_results) })
local R_NONE = rec(0, {})
local R_TEST = rec(16, { item(IND.test_result, 0, 4, "i", "result", test_results),
                         item(IND.test_id, 4, 4, "i", "tester"), item(IND.test_time, 8, 8, "time", "at") })
local function text_rec(f, s, max)
    return { size = 0, items = {}, text = item(f, 0, 0, "text", s), text_max = max }
end

-- [cmd] = { request record, response record }
local ind_records = {
    [0] = { rec(4, { item(IND.indust_version, 0, 4, "u", "version") }), R_RESULT },
    [1] = { rec(4, { item(IND.auth, 0, 4, "u", "challenge") }), rec(4, { item(IND.auth, 0, 4, "u", "answer") }) },
    [2] = { rec(8, { item(IND.time, 0, 8, "time", "time") }), rec(8, { item(IND.time, 0, 8, "time", "time") }) },
    [3] = { R_NONE, rec(16, { item(IND.version, 0, 16, "text", "version") }) },
    [4] = { R_NONE, R_PADDED },
    [5] = { R_NONE, text_rec(IND.sn, "sn", 32) },
    [6] = { text_rec(IND.sn, "sn", 128), R_RESULT },
    [7] = { R_NONE, R_TEST },
    [8] = { R_TEST, R_RESULT },
    [9] = { R_NONE, R_PADDED },
    [10] = { rec(8, { item(IND.led, 0, 4, "i", "led", ind_leds), item(IND.led_ctrl, 4, 4, "i", "state", ind_led_ctrl) }),
             R_RESULT },
    [11] = { R_NONE, rec(8, { item(IND.key, 0, 4, "i", "key", key_names),
                              item(IND.key_action, 4, 4, "i", "action", key_actions) }) },
    [12] = { R_NONE, rec(4, { item(IND.temperature, 0, 4, "temp", "temperature") }) },
    [13] = { R_NONE, R_PADDED },
    [14] = { rec(4, { item(IND.lcd, 0, 4, "i", "screen", lcd_ctrl) }), R_RESULT },
    [15] = { rec(4, { item(IND.lcdtype, 0, 4, "i", "lcd", lcd_types) }), R_RESULT },
    [16] = { R_NONE, R_NONE },
    [17] = { rec(4, { item(IND.brightness, 0, 4, "u", "brightness") }), R_RESULT },
    [18] = { R_NONE, rec(4, { item(IND.brightness, 0, 4, "u", "brightness") }) },
    [19] = { R_NONE, rec(124, {
        item(IND.info_time, 0, 8, "time", "clock"), item(IND.info_freq, 8, 4, "u"),
        item(IND.info_lang, 12, 4, "i"), item(IND.info_mtd, 16, 4, "i", "bank"),
        item(IND.info_bright, 20, 4, "i"), item(IND.info_bkl, 24, 4, "i"),
        item(IND.info_lcd, 28, 4, "i"), item(IND.info_telnet, 32, 4, "i"),
        item(IND.info_hours, 36, 4, "i"), item(IND.info_logo, 40, 4, "u"),
        item(IND.info_app, 44, 16, "text", "app"), item(IND.info_kernel, 60, 16, "text", "kernel"),
        item(IND.info_fw, 76, 16, "text", "fw"), item(IND.info_server, 92, 16, "text"),
        item(IND.info_ip, 108, 16, "text", "ip") }) },
    [20] = { rec(4, { item(IND.telnet, 0, 4, "i", "telnet", bools) }), R_RESULT },
    [21] = { text_rec(IND.ip, "ip", 128), R_RESULT },
    [22] = { text_rec(IND.server_ip, "server", 128), R_RESULT },
    [23] = { R_NONE, R_PADDED },
    [24] = { R_NONE, R_PADDED },
    [25] = { R_NONE, R_PADDED },
    [26] = { rec(4, { item(IND.logo, 0, 4, "i", "logo", logos) }), R_RESULT },
    [27] = { R_NONE, rec(4, { item(IND.logo, 0, 4, "i", "logo", logos) }) },
}

local ind = new_link({
    name = "kelind", desc = "Display unit factory test link", port = 1237, limit = 148, head = 20,
    cmds = ind_cmds, msgtypes = ind_msgtypes, toward = "unit", from = "station",
    fields = { IND.result, IND.indust_version, IND.auth, IND.time, IND.version, IND.sn, IND.ip,
               IND.server_ip, IND.test_result, IND.test_id, IND.test_time, IND.led, IND.led_ctrl,
               IND.key, IND.key_action, IND.temperature, IND.lcd, IND.lcdtype, IND.brightness,
               IND.telnet, IND.logo, IND.info_time, IND.info_freq, IND.info_lang, IND.info_mtd,
               IND.info_bright, IND.info_bkl, IND.info_lcd, IND.info_telnet, IND.info_hours,
               IND.info_logo, IND.info_app, IND.info_kernel, IND.info_fw, IND.info_server,
               IND.info_ip },
    records = function(cmd, msgtype)
        local pair = ind_records[cmd]
        if pair == nil or (msgtype ~= 0 and msgtype ~= 1) then
            return nil
        end
        return pair[msgtype == 1 and 1 or 2]
    end,
})

for _, lk in ipairs({ fb, stp, ns, ind }) do
    register(lk)
end
