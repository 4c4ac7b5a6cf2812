// The kadro program's commands with their one-line summaries, in the order
// `kadro --help` lists them. The launcher reads only this list, so listing
// the commands loads no image library.
#pragma once

namespace kadro::app {

struct CommandInfo {
  const char* name;
  const char* summary;
};

inline constexpr CommandInfo kCommandList[] = {
    {"serve", "open Kadro in the browser: presets, exports, crops and why"},
    {"crop", "crop pictures with a stored preset or one made from the options"},
    {"inspect", "find the face in each picture and show the crop a square preset makes"},
    {"presets", "list the crop presets stored for this user"},
    {"actions", "list the Open With actions the plug-in offers for files"},
    {"open-with", "crop files in place with a stored preset, as Open With does"},
    {"export", "write cropped copies into a folder, as the publishing action does"},
    {"preferences", "edit the stored presets in the plug-in's preference panels"},
    {"call", "answer one JSON request as the host would (for scripts of other programs)"},
};

// The library that holds the commands, beside the plug-in bundle, and the C
// entry point in it: kadro_run_command(program, argc, argv) with argv[0] the
// command's name; it returns the exit status.
inline constexpr const char* kCommandLibrary = "lib/kadro/kadro-commands.so";
inline constexpr const char* kCommandEntry = "kadro_run_command";

}  // namespace kadro::app
