-- Run by darktable-cli (--luacmd) for darktable_script_test: loads the Kadro
-- script, imports a photo, exports it with darktable's PNG format and hands
-- the file to the storages' functions as darktable's export does (initialize,
-- store for each image, finalize). What happens goes into report.txt for the
-- test to check; the files are checked there too.
local dt = require "darktable"

local work = os.getenv("KADRO_TEST_WORK")
local report = assert(io.open(work .. "/report.txt", "w"))
report:setvbuf("line")
local function say(key, value) report:write(key, "\t", tostring(value):gsub("\n", " "), "\n") end

-- The work runs when darktable-cli ends: a script's call into darktable's
-- export lets the program's own work go on, which would end it first.
dt.register_event("kadro_test", "exit", function()
  local ok, problem = pcall(function()
    dt.preferences.write("kadro", "executable", "string", os.getenv("KADRO_TEST_PROGRAM"))
    local kadro = dofile(os.getenv("KADRO_TEST_SCRIPT"))
    kadro.notify = function(text) say("notify", text) end

    local image = assert(dt.database.import(os.getenv("KADRO_TEST_PHOTO")))
    local png = dt.new_format("png")
    local exports = work .. "/exports"

    -- darktable's export: the storage picks the images, each is written to
    -- a temporary file and stored, then the storage is finalized.
    local function export(name)
      local storage = dt.new_storage(name)
      local callbacks = kadro.storages[name]
      say("supported " .. name, callbacks.supported(storage, png))
      local extra = {}
      local images = callbacks.initialize(storage, png, { image }, false, extra) or { image }
      local exported = {}
      for i, img in ipairs(images) do
        local file = exports .. "/" .. img.filename:gsub("%.[^.]*$", "") .. ".png"
        png:write_image(img, file)
        callbacks.store(storage, img, png, file, i, #images, false, extra)
        exported[img] = file
      end
      callbacks.finalize(storage, exported, extra)
      say("exported " .. name, #images)
    end

    say("supported tiff", kadro.storages.kadro_publish.supported(nil, dt.new_format("tiff")))

    -- The recipe, set as the panel's widgets set it.
    local publish = kadro.publish
    say("panel", publish.panel and publish.panel[1].title)
    local function set(title, value)
      local e = assert(publish.element(title), "no element " .. title)
      say("set " .. title, publish.change(e.identifier, value))
    end
    set("Export Path", { kadro.file_url(work .. "/dest") })
    set("Crop Type", "circle")
    set("Max Size", "200")
    export("kadro_publish")
    export("kadro_publish")
    set("Max Size", "12ab")
    export("kadro_publish")

    local circle = kadro.storage_name("Circle")
    kadro.set_open_with_folder(work .. "/folder")
    export(circle)
  end)
  say("done", ok and "ok" or problem)
  report:close()
end)
