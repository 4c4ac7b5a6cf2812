// kadro: plays the photo editor that hosts the Kadro plug-in, and offers the
// pipeline's own tools. This launcher answers --help and --version itself
// and loads the command library (libvips, XNNPACK and the plug-in's code)
// only for a command, so that asking for help costs a few milliseconds.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/command_list.h"

namespace {

using kadro::app::kCommandList;

void printHelp(FILE* out) {
  std::fputs(
      "Usage: kadro COMMAND [OPTIONS] ...\n\n"
      "Kadro finds the one face in a photo and cuts a square around it with the eyes\n"
      "at a fixed place: the eye line 0.33 of the side below the top edge, the eyes\n"
      "centred across. Pictures with no face or several faces are left uncropped.\n\n"
      "Commands:\n",
      out);
  for (const auto& c : kCommandList) std::fprintf(out, "  %-14s%s\n", c.name, c.summary);
  std::fputs(
      "\nRun 'kadro COMMAND --help' for the options of a command, 'kadro --version'\n"
      "for the version.\n",
      out);
}

// The installation's root: the folder above the one holding this program.
std::string installRoot() {
  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "..";
  std::string path(exe, static_cast<std::size_t>(n));
  for (int up = 0; up < 2; ++up) {
    const std::size_t slash = path.find_last_of('/');
    path = slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
  }
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    printHelp(stderr);
    return 2;
  }
  const char* name = argv[1];
  if (!std::strcmp(name, "--help") || !std::strcmp(name, "-h") || !std::strcmp(name, "help")) {
    printHelp(stdout);
    return 0;
  }
  if (!std::strcmp(name, "--version")) {
    std::printf("kadro %s\n", KADRO_VERSION);
    return 0;
  }
  bool known = false;
  for (const auto& c : kCommandList) known = known || !std::strcmp(name, c.name);
  if (!known) {
    std::fprintf(stderr, "kadro: unknown command '%s'\n\n", name);
    printHelp(stderr);
    return 2;
  }
  std::string root = installRoot();
  const std::string library = (root == "/" ? "" : root) + "/" + kadro::app::kCommandLibrary;
  // The process ends with the command, so the library is never closed.
  void* handle = ::dlopen(library.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (!handle) {
    std::fprintf(stderr, "kadro: cannot load the commands: %s\n", ::dlerror());
    return 2;
  }
  using Entry = int (*)(const char*, int, char**);
  const auto run = reinterpret_cast<Entry>(::dlsym(handle, kadro::app::kCommandEntry));
  if (!run) {
    std::fprintf(stderr, "kadro: %s has no entry point %s\n", library.c_str(),
                 kadro::app::kCommandEntry);
    return 2;
  }
  std::fflush(stdout);
  return run(argv[0], argc - 1, argv + 1);
}
