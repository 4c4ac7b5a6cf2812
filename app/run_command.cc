// The command library's entry point: starts libvips and runs one command of
// the kadro program. The launcher (launcher.cc) loads it for every command.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <vips/vips8>

#include "app/command_list.h"
#include "app/commands.h"

namespace kadro::app {
namespace {

using Runner = int (*)(const Args&);

Runner runnerOf(std::string_view name) {
  if (name == "serve") return runServe;
  if (name == "crop") return runCrop;
  if (name == "inspect") return runInspect;
  if (name == "presets") return runPresets;
  if (name == "actions") return runActions;
  if (name == "open-with") return runOpenWith;
  if (name == "export") return runExport;
  if (name == "preferences") return runPreferences;
  if (name == "call") return runCall;
  return nullptr;
}

// libvips loads every module of its own prefix at start-up (HEIF, JPEG XL,
// PDF, ImageMagick and more, with some sixty libraries behind them), which
// costs more than a whole small job and opens formats the plug-in never
// reads. Its home is set to this installation's private folder of
// libraries, which holds no modules: the installation's root would not do,
// as installed under /usr it is libvips' own prefix.
void keepLibvipsToItsBuiltIns() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  const std::string home =
      ec ? std::string("/nonexistent")
         : (exe.parent_path().parent_path() / kCommandLibrary).parent_path().string();
  ::setenv("VIPSHOME", home.c_str(), 1);
}

}  // namespace

bool wantsHelp(const Args& args) {
  for (const std::string& a : args) {
    if (a == "--") break;
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

}  // namespace kadro::app

extern "C" __attribute__((visibility("default"))) int kadro_run_command(const char* program,
                                                                        int argc, char** argv) {
  using namespace kadro::app;
  if (argc < 1) return 2;
  const auto run = runnerOf(argv[0]);
  if (!run) {
    std::cerr << "kadro: unknown command '" << argv[0] << "'\n";
    return 2;
  }
  // A file size limit (ulimit -f) fails the write, which the job reports and
  // cleans up after, instead of ending the program.
  std::signal(SIGXFSZ, SIG_IGN);
  keepLibvipsToItsBuiltIns();
  if (VIPS_INIT(program)) {
    std::cerr << "kadro: cannot start libvips\n";
    return 2;
  }
  const int status = run(Args(argv + 1, argv + argc));
  std::cout.flush();
  vips_shutdown();
  return status;
}
