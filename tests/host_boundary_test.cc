// What the host sees of a task whose files cannot be resolved, and of any
// failure the plug-in has no error case for: a failed operation or a failed
// file, never an exception in the host's process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "Plugin/file_url.h"
#include "Plugin/kadro_plugin.h"
#include "Plugin/settings.h"
#include "tests/plugin_test_support.h"

namespace kadro {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

// Runs `body` with the working directory removed under it, then returns to
// the directory the test started in.
template <typename Body>
void withoutWorkingDirectory(Body&& body) {
  const fs::path home = fs::current_path();
  {
    TempFolder doomed;
    fs::create_directory(doomed / "cwd");
    ASSERT_EQ(::chdir((doomed / "cwd").c_str()), 0);
    fs::remove(doomed / "cwd");
    body();
  }
  ASSERT_EQ(::chdir(home.c_str()), 0);
}

class HostBoundary : public ::testing::Test {
 protected:
  void SetUp() override { Settings::shared().setPresets(Settings::defaultPresets()); }

  std::shared_ptr<ph::PluginAction> openWithAction() {
    return plugin.pluginAction(Action("Square", "square", 400));
  }
  void validateRecipe(const fs::path& dest) {
    Action recipe("", "square", 300);
    recipe.destFolder = fileUrlFromPath(dest.string());
    plugin.actionSettings[ZadaZevuPlugin::cropAllAction()->identifier()] = recipe;
  }

  ZadaZevuPlugin plugin;
  TempFolder dest;
};

TEST_F(HostBoundary, UnresolvablePathsFailTheFileNotTheHost) {
  auto openWith = [&](const std::string& path) {
    ph::Error error;
    const auto result = plugin.startOpenWithTask(
        ph::FileHandlingPluginTask(openWithAction(), std::vector<std::string>{path}), &error,
        nullptr);
    ASSERT_NE(result, nullptr) << path << ": " << error.localizedFailureReason;
    EXPECT_EQ(result->status(), 0) << path;
  };
  auto publish = [&](const std::string& path) {
    validateRecipe(dest.path());
    ph::Error error;
    const auto result = plugin.startPublishingTask(
        ph::FileHandlingPluginTask(ZadaZevuPlugin::cropAllAction(), std::vector<std::string>{path}),
        &error, nullptr);
    ASSERT_NE(result, nullptr) << path << ": " << error.localizedFailureReason;
    EXPECT_TRUE(fs::is_empty(dest.path())) << path;
  };
  openWith("");
  publish("");
  withoutWorkingDirectory([&] {
    openWith("photo.png");
    publish("photo.png");
  });
}

TEST_F(HostBoundary, AnyExceptionBecomesAFailedOperation) {
  TempFolder sources;
  fs::copy_file(testing::samplePortrait(), sources / "a.png");
  // A host whose progress callback throws: the task fails with an error
  // object instead of unwinding through the host.
  const ph::ProgressCallback throwing = [](const ph::PluginTask&, unsigned, unsigned,
                                           const std::string&) {
    throw std::runtime_error("progress window closed");
  };
  ph::Error error;
  const auto result = plugin.startOpenWithTask(
      ph::FileHandlingPluginTask(openWithAction(),
                                 std::vector<std::string>{(sources / "a.png").string()}),
      &error, throwing);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(error.domain, "KadroPlugin");
  EXPECT_EQ(error.localizedFailureReason, "progress window closed");

  validateRecipe(dest.path());
  error = {};
  EXPECT_EQ(plugin.startPublishingTask(
                ph::FileHandlingPluginTask(ZadaZevuPlugin::cropAllAction(),
                                           std::vector<std::string>{(sources / "a.png").string()}),
                &error, throwing),
            nullptr);
  EXPECT_EQ(error.localizedFailureReason, "progress window closed");
}

}  // namespace
}  // namespace kadro
