--[[
  Kadro for darktable: face-aware square, circle and hexagon crops at export.

  Adds to darktable's export module:
  - "Export with Kadro": darktable exports each photo (JPEG or PNG, as the
    format chosen above says), Kadro writes a cropped copy into the folder set
    in the module, under a name not yet taken there. The settings are Kadro's
    own recipe panel, drawn from what the kadro program describes.
  - "Kadro: <preset>", one per stored preset: darktable exports into the
    folder set in the module and Kadro crops the files there in place.
  - "Kadro presets…", a button that opens the preset editor in the browser.

  Everything Kadro decides is asked of the kadro program (`kadro call`, JSON
  on standard input and output); kadro is found on PATH, or set its path in
  darktable's preferences (lua options, "kadro program").

  Enable: link or copy this file into ~/.config/darktable/lua/ and add
  `require "kadro"` to ~/.config/darktable/luarc, or add it with the script
  manager.
]]

local dt = require "darktable"

local M = {}
local SCRIPT = "kadro"
local PUBLISH_STORAGE = "kadro_publish"

-- JSON -----------------------------------------------------------------------

local json = {}
M.json = json

-- Marks a table as a JSON object, so that an empty one is written as {}.
local object_mt = { __jsontype = "object" }
function json.object(t) return setmetatable(t or {}, object_mt) end
json.null = setmetatable({}, { __tostring = function() return "null" end })

local escapes = { ['"'] = '\\"', ['\\'] = '\\\\', ['\b'] = '\\b', ['\f'] = '\\f',
                  ['\n'] = '\\n', ['\r'] = '\\r', ['\t'] = '\\t' }

local function encode_string(s)
  return '"' .. s:gsub('[%c"\\]', function(c)
    return escapes[c] or string.format("\\u%04x", c:byte())
  end) .. '"'
end

function json.encode(v)
  local t = type(v)
  if v == nil or v == json.null then return "null"
  elseif t == "boolean" then return tostring(v)
  elseif t == "number" then
    if math.type(v) == "integer" then return tostring(v) end
    return string.format("%.17g", v)
  elseif t == "string" then return encode_string(v)
  elseif t == "table" then
    local mt = getmetatable(v)
    if (mt and mt.__jsontype == "object") or (next(v) ~= nil and v[1] == nil) then
      local keys = {}
      for k in pairs(v) do keys[#keys + 1] = tostring(k) end
      table.sort(keys)
      local parts = {}
      for _, k in ipairs(keys) do parts[#parts + 1] = encode_string(k) .. ":" .. json.encode(v[k]) end
      return "{" .. table.concat(parts, ",") .. "}"
    end
    local parts = {}
    for i = 1, #v do parts[i] = json.encode(v[i]) end
    return "[" .. table.concat(parts, ",") .. "]"
  end
  error("cannot write a " .. t .. " as JSON")
end

local function utf8_of(code) return utf8.char(code) end

function json.decode(text)
  local pos = 1
  local function fail(what) error(string.format("JSON: %s at %d", what, pos), 0) end
  local function skip() pos = text:find("[^ \t\r\n]", pos) or #text + 1 end
  local value
  local function string_at()
    local out = {}
    pos = pos + 1
    while true do
      local c = text:sub(pos, pos)
      if c == "" then fail("unfinished text") end
      if c == '"' then pos = pos + 1; break end
      if c == "\\" then
        local e = text:sub(pos + 1, pos + 1)
        local simple = { b = "\b", f = "\f", n = "\n", r = "\r", t = "\t", ['"'] = '"', ["\\"] = "\\", ["/"] = "/" }
        if simple[e] then out[#out + 1] = simple[e]; pos = pos + 2
        elseif e == "u" then
          local code = tonumber(text:sub(pos + 2, pos + 5), 16) or fail("bad \\u escape")
          pos = pos + 6
          if code >= 0xD800 and code <= 0xDBFF and text:sub(pos, pos + 1) == "\\u" then
            local low = tonumber(text:sub(pos + 2, pos + 5), 16)
            if low and low >= 0xDC00 and low <= 0xDFFF then
              code = 0x10000 + (code - 0xD800) * 0x400 + (low - 0xDC00)
              pos = pos + 6
            end
          end
          out[#out + 1] = utf8_of(code)
        else fail("bad escape") end
      else
        local stop = text:find('["\\]', pos) or #text + 1
        out[#out + 1] = text:sub(pos, stop - 1)
        pos = stop
      end
    end
    return table.concat(out)
  end
  value = function()
    skip()
    local c = text:sub(pos, pos)
    if c == "{" then
      local obj = json.object()
      pos = pos + 1; skip()
      if text:sub(pos, pos) == "}" then pos = pos + 1; return obj end
      while true do
        skip()
        if text:sub(pos, pos) ~= '"' then fail("expected a member name") end
        local k = string_at(); skip()
        if text:sub(pos, pos) ~= ":" then fail("expected ':'") end
        pos = pos + 1
        obj[k] = value(); skip()
        local d = text:sub(pos, pos); pos = pos + 1
        if d == "}" then return obj elseif d ~= "," then fail("expected ',' or '}'") end
      end
    elseif c == "[" then
      local arr = {}
      pos = pos + 1; skip()
      if text:sub(pos, pos) == "]" then pos = pos + 1; return arr end
      while true do
        arr[#arr + 1] = value(); skip()
        local d = text:sub(pos, pos); pos = pos + 1
        if d == "]" then return arr elseif d ~= "," then fail("expected ',' or ']'") end
      end
    elseif c == '"' then return string_at()
    elseif text:sub(pos, pos + 3) == "true" then pos = pos + 4; return true
    elseif text:sub(pos, pos + 4) == "false" then pos = pos + 5; return false
    elseif text:sub(pos, pos + 3) == "null" then pos = pos + 4; return json.null
    else
      local num = text:match("^-?%d+%.?%d*[eE]?[-+]?%d*", pos)
      if not num or num == "" then fail("unexpected character") end
      pos = pos + #num
      return math.tointeger(tonumber(num)) or tonumber(num)
    end
  end
  local v = value(); skip()
  if pos <= #text then fail("trailing characters") end
  return v
end

-- Paths, file URLs and the shell ----------------------------------------------

local function shell_quote(s) return "'" .. tostring(s):gsub("'", "'\\''") .. "'" end

function M.file_url(path)
  local encoded = path:gsub("[^%w/%-%._~]", function(c) return string.format("%%%02X", c:byte()) end)
  if encoded:sub(-1) ~= "/" then encoded = encoded .. "/" end
  return "file://" .. encoded
end

function M.path_of_url(url)
  if type(url) ~= "string" then return nil end
  local rest = url:match("^file://[^/]*(/.*)$")
  if not rest then return nil end
  rest = rest:gsub("%%(%x%x)", function(h) return string.char(tonumber(h, 16)) end)
  if #rest > 1 then rest = rest:gsub("/$", "") end
  return rest
end

local function is_file(path)
  local f = path and io.open(path, "r")
  if f then f:close() return true end
  return false
end

local function is_folder(path)
  return path and path ~= "" and os.execute("test -d " .. shell_quote(path)) == true
end

-- What the user sees: darktable's message line, or standard error without a GUI.
function M.notify(text)
  if dt.configuration.has_gui then dt.print(text) else io.stderr:write("kadro: ", text, "\n") end
end

local function error_text(err)
  if err == nil then return "Kadro did not answer." end
  if type(err) ~= "table" then return tostring(err) end
  local text = err.description or "Kadro failed"
  if type(err.reason) == "string" and err.reason ~= "" then text = text .. " " .. err.reason end
  return text
end

-- The kadro program -------------------------------------------------------------

-- Only darktable's preferences dialog shows it; darktable-cli would wait on it.
local function pref_register()
  if not dt.configuration.has_gui then return end
  pcall(dt.preferences.register, SCRIPT, "executable", "file", "kadro program",
        "the kadro program Kadro's export targets run; empty: the one on PATH", "")
end

function M.find_kadro()
  local ok, set = pcall(dt.preferences.read, SCRIPT, "executable", "string")
  if ok and type(set) == "string" and set ~= "" then return set end
  for dir in (os.getenv("PATH") or ""):gmatch("[^:]+") do
    local candidate = dir .. "/kadro"
    if is_file(candidate) then return candidate end
  end
  return nil
end

local function first_with(lines, key)
  for _, line in ipairs(lines) do if line[key] ~= nil then return line[key] end end
  return nil
end

-- Runs one request through `kadro call`. Returns the answer's lines (decoded)
-- and the exit status; `on_line` sees each line as it comes.
function M.call(request, on_line)
  local kadro = M.find_kadro()
  if not kadro then
    local line = { error = { description = "The kadro program was not found.",
                             reason = "Install Kadro or set \"kadro program\" in darktable's preferences (lua options)." } }
    if on_line then on_line(line) end
    return { line }, 127
  end
  local request_file = os.tmpname()
  local f = assert(io.open(request_file, "w"))
  f:write(json.encode(request))
  f:close()
  local pipe = io.popen(shell_quote(kadro) .. " call < " .. shell_quote(request_file))
  local lines = {}
  for text in pipe:lines() do
    local ok, line = pcall(json.decode, text)
    if not ok then line = { error = { description = "kadro answered something else than JSON", reason = text } } end
    lines[#lines + 1] = line
    if on_line then on_line(line) end
  end
  local _, _, status = pipe:close()
  os.remove(request_file)
  status = status or 1
  if status ~= 0 and not first_with(lines, "error") and not first_with(lines, "result") then
    -- It ended before it could say why (a crash, a missing library).
    local line = { error = { description = "kadro call ended without an answer (exit status " .. status .. ").",
                             reason = "darktable's terminal output shows what kadro said." } }
    lines[#lines + 1] = line
    if on_line then on_line(line) end
  end
  return lines, status
end

-- The recipe of "Export with Kadro" --------------------------------------------

local publish = { settings = json.object(), panel = nil, entries = {}, box = nil }
M.publish = publish

local function save_settings()
  pcall(dt.preferences.write, SCRIPT, "publish_settings", "string", json.encode(publish.settings))
end

local function load_settings()
  local ok, text = pcall(dt.preferences.read, SCRIPT, "publish_settings", "string")
  if ok and type(text) == "string" and text ~= "" then
    local good, map = pcall(json.decode, text)
    if good and type(map) == "table" then publish.settings = json.object(map) end
  end
end

-- The panel's element with that title (or identifier).
function publish.element(name)
  for _, group in ipairs(publish.panel or {}) do
    for _, e in ipairs(group.elements or {}) do
      if e.title == name or e.identifier == name then return e end
    end
  end
  return nil
end

function publish.load_panel()
  local lines = M.call({ request = "panel", settings = publish.settings })
  local panel = first_with(lines, "panel")
  if panel then publish.panel = panel else M.notify(error_text(first_with(lines, "error"))) end
  return panel
end

-- Texts typed into the panel's fields since the plug-in last saw them.
local function pending_text_events()
  local events = {}
  for id, entry in pairs(publish.entries) do
    local text = entry.widget.text
    if text ~= entry.value then events[#events + 1] = { identifier = id, value = text } end
  end
  return events
end

-- Hands edits to the plug-in; the new settings and panel replace the old.
-- Returns true when the plug-in took them.
function publish.apply(events)
  if #events == 0 then return true end
  local lines = M.call({ request = "edit", settings = publish.settings, events = events })
  local err = first_with(lines, "error")
  local settings = first_with(lines, "settings")
  if err or not settings then
    M.notify(error_text(err))
    return false
  end
  publish.settings = json.object(settings)
  publish.panel = first_with(lines, "panel")
  save_settings()
  if publish.box then publish.redraw() end
  return true
end

-- One edit of an element, as a widget reports it (typed texts go first).
function publish.change(identifier, value)
  local e = publish.element(identifier)
  if e and json.encode(e.value) == json.encode(value) then return true end
  local events = pending_text_events()
  events[#events + 1] = { identifier = identifier, value = value }
  return publish.apply(events)
end

local function photos(n) return n == 1 and "1 photo" or tostring(n) .. " photos" end

local function wrap(text, width)
  local lines, line = {}, ""
  for word in text:gmatch("%S+") do
    if #line > 0 and #line + 1 + #word > width then lines[#lines + 1] = line; line = word
    else line = (#line > 0 and line .. " " or "") .. word end
  end
  if #line > 0 then lines[#lines + 1] = line end
  return table.concat(lines, "\n")
end

-- Widgets (darktable with a GUI only) ------------------------------------------

local function presets_button()
  return dt.new_widget("button") {
    label = "Kadro presets…",
    tooltip = "edit Kadro's presets in the browser",
    clicked_callback = function() M.open_presets() end,
  }
end

local function widget_for(e)
  local kind, id = e.kind, e.identifier
  if kind == "list" then
    local titles, selected = {}, 1
    for i, option in ipairs(e.options or {}) do
      titles[i] = option.title
      if option.value == e.value then selected = i end
    end
    local combo = dt.new_widget("combobox") { label = e.title, table.unpack(titles) }
    combo.selected = selected
    combo.changed_callback = function(w)
      local option = e.options[w.selected]
      if option then publish.change(id, option.value) end
    end
    return combo
  elseif kind == "checkbox" then
    return dt.new_widget("check_button") {
      label = e.title, value = e.value == true,
      clicked_callback = function(w) publish.change(id, w.value) end,
    }
  elseif kind == "text" then
    local value = type(e.value) == "string" and e.value or ""
    local entry = dt.new_widget("entry") { text = value, tooltip = e.title }
    publish.entries[id] = { widget = entry, value = value }
    return dt.new_widget("box") {
      orientation = "horizontal",
      dt.new_widget("label") { label = e.title, halign = "start" },
      entry,
    }
  elseif kind == "label" then
    local text = type(e.value) == "string" and e.value or ""
    if e.title ~= "" then text = e.title .. (text ~= "" and ": " .. text or "") end
    return dt.new_widget("label") { label = wrap(text, 46), halign = "start" }
  elseif kind == "file" then
    local path = M.path_of_url(type(e.value) == "table" and e.value[1] or nil) or ""
    local chooser = dt.new_widget("file_chooser_button") {
      title = e.title, is_directory = e.chooseDirectories == true, value = path,
    }
    chooser.changed_callback = function(w) publish.change(id, { M.file_url(w.value) }) end
    return dt.new_widget("box") {
      orientation = "vertical",
      dt.new_widget("label") { label = e.title, halign = "start" },
      chooser,
    }
  end
  return nil
end

function publish.redraw()
  local box = publish.box
  for i = #box, 1, -1 do box[i] = nil end
  publish.entries = {}
  for _, group in ipairs(publish.panel or {}) do
    for _, e in ipairs(group.elements or {}) do
      local w = widget_for(e)
      if w then box[#box + 1] = w end
    end
  end
  box[#box + 1] = presets_button()
end

-- Storages ------------------------------------------------------------------------

M.storages = {}

local function supported(_, format)
  local ext = tostring(format.extension or ""):lower()
  return ext == "jpg" or ext == "jpeg" or ext == "png"
end

local function refuse(extra, text)
  extra.refused = true
  M.notify(text)
  return {}
end

local publish_storage = {}
M.storages[PUBLISH_STORAGE] = publish_storage
publish_storage.supported = supported

-- Before darktable exports anything: the recipe as the panel shows it, checked.
function publish_storage.initialize(_, _, images, _, extra)
  extra.count, extra.written = #images, 0
  if not publish.apply(pending_text_events()) then return refuse(extra, "Kadro: the settings were not taken.") end
  local lines = M.call({ request = "validate", settings = publish.settings })
  local answer = lines[1] or {}
  if answer.valid ~= true then
    return refuse(extra, error_text(answer.error or first_with(lines, "error")))
  end
  return nil
end

function publish_storage.store(_, image, _, filename, number, total, _, extra)
  if extra.refused or extra.failed then
    os.remove(filename)
    return
  end
  local lines, status = M.call({ request = "publish", settings = publish.settings, files = { filename } })
  os.remove(filename)
  local result, err = first_with(lines, "result"), first_with(lines, "error")
  if status == 0 and result then
    extra.written = extra.written + 1
    extra.folder = M.path_of_url(result.url) or result.url
    if dt.configuration.has_gui then
      dt.print(string.format("Kadro: %d/%d %s", number, total, image.filename))
    end
  else
    extra.failed = image.filename .. ": " .. (err and error_text(err) or "Kadro could not crop it.")
  end
end

function publish_storage.finalize(_, _, extra)
  if extra.refused then return end
  if extra.failed then
    M.notify(string.format("Kadro stopped after %d of %s. %s", extra.written, photos(extra.count), extra.failed))
  else
    M.notify(string.format("Kadro cropped %s into %s", photos(extra.written), extra.folder or "the folder"))
  end
end

-- The folder "Kadro: <preset>" exports into.
local function open_with_folder()
  local ok, folder = pcall(dt.preferences.read, SCRIPT, "open_with_folder", "string")
  if ok and type(folder) == "string" and folder ~= "" then return folder end
  local home = os.getenv("HOME") or "/"
  if is_folder(home .. "/Pictures") then return home .. "/Pictures" end
  return home
end
M.open_with_folder = open_with_folder

function M.set_open_with_folder(folder)
  pcall(dt.preferences.write, SCRIPT, "open_with_folder", "string", folder)
end

local function open_with_storage(preset)
  local s = { supported = supported }
  function s.initialize(_, format, images, _, extra)
    extra.count, extra.written, extra.folder = #images, 0, open_with_folder()
    if not is_folder(extra.folder) then
      return refuse(extra, "Kadro: the folder " .. extra.folder .. " does not exist.")
    end
    local lines = M.call({ request = "actions", fileTypes = { tostring(format.extension):lower() } })
    local actions = first_with(lines, "openWith")
    for _, a in ipairs(actions or {}) do
      if a.preset == preset then return nil end
    end
    return refuse(extra, error_text(first_with(lines, "error")
      or { description = "Kadro has no preset named \"" .. preset .. "\" any more." }))
  end
  function s.store(_, image, _, filename, number, total, _, extra)
    if extra.refused or extra.failed then
      os.remove(filename)
      return
    end
    local moved = false
    local lines, status = M.call({ request = "open-with", preset = preset, files = { filename },
                                   moveInto = extra.folder },
                                 function(line) if line.moved then moved = true end end)
    if not moved then os.remove(filename) end
    if status == 0 then
      extra.written = extra.written + 1
      if dt.configuration.has_gui then
        dt.print(string.format("Kadro: %d/%d %s", number, total, image.filename))
      end
    else
      local err = first_with(lines, "error")
      extra.failed = image.filename .. ": " .. (err and error_text(err) or "Kadro could not crop it.")
    end
  end
  function s.finalize(_, _, extra)
    if extra.refused then return end
    if extra.failed then
      M.notify(string.format("Kadro stopped after %d of %s. %s", extra.written, photos(extra.count), extra.failed))
    else
      M.notify(string.format("Kadro cropped %s with \"%s\" in %s", photos(extra.written), preset, extra.folder))
    end
  end
  return s
end

-- A storage name darktable can keep in its configuration.
local function storage_name(preset)
  local hash = 5381
  for i = 1, #preset do hash = (hash * 33 + preset:byte(i)) % 4294967296 end
  return string.format("kadro_open_with_%s_%08x", preset:lower():gsub("[^%w]", "_"), hash)
end
M.storage_name = storage_name

local function open_with_widget()
  local chooser = dt.new_widget("file_chooser_button") {
    title = "Folder", is_directory = true, value = open_with_folder(),
  }
  chooser.changed_callback = function(w) M.set_open_with_folder(w.value) end
  return dt.new_widget("box") {
    orientation = "vertical",
    dt.new_widget("label") { label = "Export into, then crop in place", halign = "start" },
    chooser,
    presets_button(),
  }
end

-- Registers a "Kadro: <preset>" target for every stored preset not yet offered.
function M.register_presets()
  local lines = M.call({ request = "actions" })
  local actions = first_with(lines, "openWith")
  if not actions then
    M.notify(error_text(first_with(lines, "error")))
    return
  end
  for _, a in ipairs(actions) do
    local name = storage_name(a.preset)
    if not M.storages[name] then
      local s = open_with_storage(a.preset)
      M.storages[name] = s
      dt.register_storage(name, a.title, s.store, s.finalize, s.supported, s.initialize,
                          dt.configuration.has_gui and open_with_widget() or nil)
    end
  end
end

-- Starts the browser preset editor (kadro serve) and says where it runs.
function M.open_presets()
  local kadro = M.find_kadro()
  if not kadro then
    M.notify("The kadro program was not found.")
    return
  end
  local log = os.tmpname()
  os.execute(shell_quote(kadro) .. " serve > " .. shell_quote(log) .. " 2>&1 < /dev/null &")
  local said, text = nil, ""
  for _ = 1, 50 do
    local f = io.open(log, "r")
    if f then text = f:read("a") or ""; f:close() end
    -- The address once it runs; kadro's own complaint when it cannot.
    said = text:match("Kadro is running at %S+") or text:match("kadro[^\n]*:[^\n]+")
    if said then break end
    dt.control.sleep(100)
  end
  M.notify(said or "Kadro presets are starting in your browser.")
end

-- Start-up --------------------------------------------------------------------------

pref_register()
load_settings()
publish.load_panel()

local publish_widget = nil
if dt.configuration.has_gui then
  publish.box = dt.new_widget("box") { orientation = "vertical" }
  publish.redraw()
  publish_widget = publish.box
end
dt.register_storage(PUBLISH_STORAGE, "Export with Kadro", publish_storage.store, publish_storage.finalize,
                    publish_storage.supported, publish_storage.initialize, publish_widget)
M.register_presets()

if dt.configuration.has_gui then
  dt.register_event(SCRIPT, "view-changed", function()
    -- kadro may have been installed or set in the preferences meanwhile.
    if not publish.panel and publish.load_panel() then publish.redraw() end
    M.register_presets()
  end)
end

return M
