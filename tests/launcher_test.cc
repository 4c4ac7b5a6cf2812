// The kadro launcher: it answers for itself without the command library, and
// every command it lists is one the library runs.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/command_list.h"
#include "tests/plugin_test_support.h"

namespace kadro {
namespace {

using testing::runKadro;
using testing::TempFolder;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(Launcher, HelpAndVersionLoadNoImageLibraryAndEveryListedCommandRuns) {
  TempFolder home;
  // The dynamic loader names every library it maps on standard error.
  const auto help = runKadro("--help", home.path());
  EXPECT_EQ(help.status, 0);
  const auto traced = runKadro("--version", home.path());
  EXPECT_EQ(traced.status, 0);
  EXPECT_EQ(traced.out, "kadro " KADRO_VERSION "\n");
  const auto loaded = testing::runKadroWithEnvironment("LD_DEBUG=files", "--help", home.path());
  EXPECT_EQ(loaded.status, 0);
  EXPECT_FALSE(contains(loaded.err, "libvips")) << "--help loaded libvips";
  EXPECT_FALSE(contains(loaded.err, "XNNPACK")) << "--help loaded XNNPACK";
  EXPECT_FALSE(contains(loaded.err, "kadro-commands")) << "--help loaded the commands";

  for (const app::CommandInfo& c : app::kCommandList) {
    EXPECT_TRUE(contains(help.out, std::string("  ") + c.name + " ")) << c.name;
    const auto run = runKadro(std::string(c.name) + " --help", home.path());
    EXPECT_EQ(run.status, 0) << c.name << ": " << run.err;
    EXPECT_TRUE(contains(run.out, std::string("kadro ") + c.name)) << c.name << ": " << run.out;
  }
}

TEST(Launcher, CommandsLoadNoLibvipsModuleWhereverKadroIsInstalled) {
  // Installed under libvips' own prefix (/usr), kadro's root holds libvips'
  // modules: ImageMagick, PDF, HEIF and more, which the plug-in never reads.
  // The modules are put in every place below the root where libvips looks.
  namespace fs = std::filesystem;
  const fs::path modules = KADRO_VIPS_MODULES;
  if (!fs::is_directory(modules)) GTEST_SKIP() << "libvips has no modules at " << modules;
  TempFolder root;
  const fs::path stage = KADRO_STAGE_DIR;
  fs::create_directories(root.path() / "bin");
  fs::copy_file(stage / "bin/kadro", root.path() / "bin/kadro");
  fs::create_directories(root.path() / "lib");
  fs::create_directory_symlink(stage / "lib/kadro", root.path() / "lib/kadro");
  fs::create_directory_symlink(stage / "share", root.path() / "share");
  const fs::path multiarch = modules.parent_path().filename();
  for (const fs::path& place : {root.path() / multiarch, root.path() / "lib" / multiarch,
                                root.path() / "lib", root.path() / "lib64"}) {
    fs::create_directories(place);
    fs::create_directory_symlink(modules, place / modules.filename());
  }
  TempFolder home;
  const auto run =
      testing::runKadroAt(root.path() / "bin/kadro", "LD_DEBUG=files",
                          "inspect '" KADRO_SAMPLES_DIR "/astronaut.png'", home.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.out, "astronaut.png")) << run.out;
  EXPECT_TRUE(contains(run.err, "libvips")) << "the trace names no library";
  EXPECT_FALSE(contains(run.err, "vips-modules")) << "a libvips module was loaded";
}

TEST(Launcher, UnknownOrMissingCommandsFailWithTheList) {
  TempFolder home;
  const auto unknown = runKadro("crp photo.jpg", home.path());
  EXPECT_EQ(unknown.status, 2);
  EXPECT_TRUE(contains(unknown.err, "unknown command 'crp'")) << unknown.err;
  EXPECT_TRUE(contains(unknown.err, "Commands:")) << unknown.err;
  const auto none = runKadro("", home.path());
  EXPECT_EQ(none.status, 2);
  EXPECT_TRUE(contains(none.err, "Usage: kadro COMMAND")) << none.err;
}

}  // namespace
}  // namespace kadro
