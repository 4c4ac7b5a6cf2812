// The kadro launcher: it answers for itself without the command library, and
// every command it lists is one the library runs.
#include <gtest/gtest.h>

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
