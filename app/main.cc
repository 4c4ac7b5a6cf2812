// kadro: plays the photo editor that hosts the Kadro plug-in, and offers the
// pipeline's own tools.
#include <csignal>
#include <cstring>
#include <iostream>
#include <vips/vips8>

#include "app/commands.h"

namespace kadro::app {

bool wantsHelp(const Args& args) {
  for (const std::string& a : args) {
    if (a == "--") break;
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

const std::vector<Command>& commands() {
  static const std::vector<Command> list = {
      {"serve", "open Kadro in the browser: presets, exports, crops and why", runServe},
      {"crop", "crop one picture with a stored preset or one made from the options", runCrop},
      {"inspect", "find the face in each picture and show the crop a square preset makes",
       runInspect},
      {"presets", "list the crop presets stored for this user", runPresets},
      {"actions", "list the Open With actions the plug-in offers for files", runActions},
      {"open-with", "crop files in place with a stored preset, as Open With does", runOpenWith},
      {"export", "write cropped copies into a folder, as the publishing action does", runExport},
      {"preferences", "edit the stored presets in the plug-in's preference panels", runPreferences},
      {"call", "answer one JSON request as the host would (for scripts of other programs)",
       runCall},
  };
  return list;
}

namespace {

void printHelp(std::ostream& out) {
  out << "Usage: kadro COMMAND [OPTIONS] ...\n\n"
         "Kadro finds the one face in a photo and cuts a square around it with the eyes\n"
         "at a fixed place: the eye line 0.33 of the side below the top edge, the eyes\n"
         "centred across. Pictures with no face or several faces are left uncropped.\n\n"
         "Commands:\n";
  for (const Command& c : commands()) {
    out << "  " << c.name;
    for (std::size_t i = std::strlen(c.name); i < 14; ++i) out << ' ';
    out << c.summary << '\n';
  }
  out << "\nRun 'kadro COMMAND --help' for the options of a command, 'kadro --version' for\n"
         "the version.\n";
}

}  // namespace
}  // namespace kadro::app

int main(int argc, char** argv) {
  using namespace kadro::app;
  // A file size limit (ulimit -f) fails the write, which the job reports and
  // cleans up after, instead of ending the program.
  std::signal(SIGXFSZ, SIG_IGN);
  if (VIPS_INIT(argv[0])) {
    std::cerr << "kadro: cannot start libvips\n";
    return 2;
  }
  if (argc < 2) {
    printHelp(std::cerr);
    return 2;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    printHelp(std::cout);
    return 0;
  }
  if (name == "--version") {
    std::cout << "kadro " << KADRO_VERSION << "\n";
    return 0;
  }
  for (const Command& c : commands()) {
    if (name == c.name) {
      const int status = c.run(Args(argv + 2, argv + argc));
      vips_shutdown();
      return status;
    }
  }
  std::cerr << "kadro: unknown command '" << name << "'\n\n";
  printHelp(std::cerr);
  return 2;
}
