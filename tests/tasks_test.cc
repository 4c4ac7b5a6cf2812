#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <thread>
#include <vips/vips8>

#include "Plugin/errors.h"
#include "Plugin/file_url.h"
#include "Plugin/kadro_plugin.h"
#include "Plugin/settings.h"
#include "tests/plugin_test_support.h"

namespace kadro {
namespace {

namespace fs = std::filesystem;
using testing::readBytes;
using testing::TempFolder;
using testing::writePlainPicture;

struct ProgressCall {
  unsigned done;
  unsigned count;
  std::string text;
  friend bool operator==(const ProgressCall&, const ProgressCall&) = default;
};

class TasksTest : public ::testing::Test {
 protected:
  void SetUp() override { Settings::shared().setPresets(Settings::defaultPresets()); }

  ph::ProgressCallback recorder() {
    return [this](const ph::PluginTask&, unsigned done, unsigned count, const std::string& text) {
      calls.push_back({done, count, text});
    };
  }
  std::string copyPortrait(const std::string& name) {
    fs::copy_file(testing::samplePortrait(), folder / name);
    return (folder / name).string();
  }
  std::string notAPicture(const std::string& name) {
    std::ofstream(folder / name) << "not a picture";
    return (folder / name).string();
  }
  std::shared_ptr<ph::PluginAction> openWithAction(const std::string& preset) {
    return plugin.pluginAction(Action(preset, "square", 400));
  }
  // A recipe validated for the publishing action, writing into `dest`.
  void validateRecipe(const fs::path& dest, ZadaZevuPlugin& p) {
    Action recipe("", "square", 300);
    recipe.destFolder = fileUrlFromPath(dest.string());
    p.actionSettings[ZadaZevuPlugin::cropAllAction()->identifier()] = recipe;
  }
  // The sample portrait comes out as the square around its face: smaller
  // than its 512 pixels (the face is small enough that no preset limits it).
  static bool croppedPortrait(const std::string& path) {
    const auto image = vips::VImage::new_from_file(path.c_str());
    return image.width() == image.height() && image.width() < 512;
  }

  ZadaZevuPlugin plugin;
  TempFolder folder;
  std::vector<ProgressCall> calls;
};

TEST_F(TasksTest, TasksWithoutAFileListFailBeforeAnyWork) {
  const ph::FileHandlingPluginTask open(openWithAction("Square"), std::nullopt);
  const ph::FileHandlingPluginTask publish(ZadaZevuPlugin::cropAllAction(), std::nullopt);
  validateRecipe(folder.path(), plugin);
  for (const auto* task : {&open, &publish}) {
    try {
      if (task == &open)
        plugin.startOpen(*task, recorder());
      else
        plugin.startPublishingTask(*task, recorder());
      ADD_FAILURE() << "no error";
    } catch (const ZadaZevuPluginError& e) {
      EXPECT_EQ(e.errorCase(), ZadaZevuPluginError::Case::invalidTaskFiles);
    }
  }
  // The failed publishing task did not use up the validation.
  EXPECT_EQ(plugin.actionSettings.size(), 1u);
}

TEST_F(TasksTest, OpenWithCropsEveryFileInPlaceWithTheNamedPreset) {
  const std::vector<std::string> files = {copyPortrait("a.png"), copyPortrait("b.png"),
                                          copyPortrait("c.png")};
  const ph::FileHandlingPluginTask task(openWithAction("Square"), files);
  const auto result = plugin.startOpen(task, recorder());
  EXPECT_EQ(result->status(), 1);
  ASSERT_EQ(calls.size(), 3u);
  for (unsigned i = 0; i < 3; ++i)
    EXPECT_EQ(calls[i], (ProgressCall{i + 1, 3, "Open With Kadro: " + files[i]}));
  for (const auto& f : files) EXPECT_TRUE(croppedPortrait(f)) << f;
}

TEST_F(TasksTest, OpenWithStopsAtTheFirstFailureAndWhenCancelled) {
  const std::string good = copyPortrait("a.png");
  const std::string bad = notAPicture("b.png");
  const std::string untouched = copyPortrait("c.png");
  const std::string before = readBytes(untouched);
  const ph::FileHandlingPluginTask failing(openWithAction("Square"),
                                           std::vector<std::string>{good, bad, untouched});
  EXPECT_EQ(plugin.startOpen(failing, recorder())->status(), 0);
  EXPECT_EQ(calls.size(), 1u);
  EXPECT_EQ(readBytes(untouched), before);
  EXPECT_EQ(readBytes(bad), "not a picture");

  calls.clear();
  const std::string second = copyPortrait("d.png");
  const std::string secondBefore = readBytes(second);
  ph::FileHandlingPluginTask cancelled(openWithAction("Square"),
                                       std::vector<std::string>{untouched, second});
  const auto result =
      plugin.startOpen(cancelled, [&](const ph::PluginTask&, unsigned, unsigned,
                                      const std::string&) { cancelled.setCancelled(); });
  EXPECT_EQ(result->status(), 0);
  EXPECT_TRUE(croppedPortrait(untouched));
  EXPECT_EQ(readBytes(second), secondBefore);
}

TEST_F(TasksTest, OpenWithNeedsAStoredPresetOfThatName) {
  const ph::FileHandlingPluginTask task(openWithAction("Nope"), std::vector<std::string>{});
  EXPECT_THROW(plugin.startOpen(task, recorder()), ZadaZevuPluginError);
  const ph::FileHandlingPluginTask empty(openWithAction("Circle"), std::vector<std::string>{});
  EXPECT_EQ(plugin.startOpen(empty, recorder())->status(), 1);
  EXPECT_TRUE(calls.empty());
}

TEST_F(TasksTest, PublishingNeedsItsOwnActionAndOneValidationPerTask) {
  const ph::FileHandlingPluginTask task(ZadaZevuPlugin::cropAllAction(),
                                        std::vector<std::string>{});
  auto expectInvalidAction = [&](const ph::FileHandlingPluginTask& t) {
    try {
      plugin.startPublishingTask(t, recorder());
      ADD_FAILURE() << "no error";
    } catch (const ZadaZevuPluginError& e) {
      EXPECT_EQ(e.errorCase(), ZadaZevuPluginError::Case::invalidAction);
    }
  };
  expectInvalidAction(task);
  validateRecipe(folder.path(), plugin);
  expectInvalidAction(
      ph::FileHandlingPluginTask(openWithAction("Square"), std::vector<std::string>{}));
  const auto result = plugin.startPublishingTask(task, recorder());
  EXPECT_EQ(result->message(), "cropped 0 files");
  EXPECT_EQ(result->url(), fileUrlFromPath(folder.path().string()));
  EXPECT_TRUE(calls.empty());
  expectInvalidAction(task);  // the validation was used up
}

TEST_F(TasksTest, PublishingRejectsADestinationThatIsNoUrl) {
  Action recipe;
  recipe.destFolder = "not a url";
  plugin.actionSettings[ZadaZevuPlugin::cropAllAction()->identifier()] = recipe;
  const ph::FileHandlingPluginTask task(ZadaZevuPlugin::cropAllAction(),
                                        std::vector<std::string>{});
  try {
    plugin.startPublishingTask(task, recorder());
    FAIL() << "no error";
  } catch (const ZadaZevuPluginError& e) {
    EXPECT_EQ(e.errorCase(), ZadaZevuPluginError::Case::invalidActionSettings);
    EXPECT_EQ(e.errorDescription(), "Invalid value for Export Path");
    EXPECT_EQ(e.failureReason(),
              "The value supplied for Export Path is not valid for performing Export with "
              "Kadro.");
  }
}

TEST_F(TasksTest, PublishingWritesNumberedCopiesAndStopsAtAFailure) {
  TempFolder dest;
  writePlainPicture(dest / "a.png", 10, 10);
  writePlainPicture(dest / "a 1.png", 10, 10);
  const std::string a = copyPortrait("a.png");
  const std::string bad = notAPicture("b.png");
  const std::string c = copyPortrait("c.png");
  const std::string sourceBefore = readBytes(a);
  validateRecipe(dest.path(), plugin);
  const ph::FileHandlingPluginTask task(ZadaZevuPlugin::cropAllAction(),
                                        std::vector<std::string>{a, bad, c});
  const auto result = plugin.startPublishingTask(task, recorder());
  // The message counts the files written, not the files handed over.
  EXPECT_EQ(result->message(), "cropped 1 of 3 files");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], (ProgressCall{1, 3, "Publish with Kadro: a.png"}));
  EXPECT_TRUE(croppedPortrait((dest / "a 2.png").string()));
  EXPECT_EQ(readBytes(a), sourceBefore);     // sources are never changed
  EXPECT_FALSE(fs::exists(dest / "b.png"));  // no empty claim left behind
  EXPECT_FALSE(fs::exists(dest / "c.png"));
}

TEST_F(TasksTest, PublishingTakesEveryLocalSpellingOfTheFolderAndRefusesOthers) {
  TempFolder dest;
  const std::string source = copyPortrait("p.png");
  const std::string path = dest.path().string();
  for (const std::string& url :
       {"file://localhost" + path + "/", "FILE://" + path + "/", "File://LOCALHOST" + path}) {
    Action recipe("", "square", 300);
    recipe.destFolder = url;
    plugin.actionSettings[ZadaZevuPlugin::cropAllAction()->identifier()] = recipe;
    const auto result =
        plugin.startPublishingTask(ph::FileHandlingPluginTask(ZadaZevuPlugin::cropAllAction(),
                                                              std::vector<std::string>{source}),
                                   nullptr);
    EXPECT_EQ(result->message(), "cropped 1 files") << url;
  }
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dest.path()))
    names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"p.png", "p 1.png", "p 2.png"}));

  // A folder on another machine, or no file URL at all, is refused before any file.
  for (const std::string& url : {"file://server" + path + "/", std::string("https://x.org/o/")}) {
    Action recipe("", "square", 300);
    recipe.destFolder = url;
    plugin.actionSettings[ZadaZevuPlugin::cropAllAction()->identifier()] = recipe;
    try {
      plugin.startPublishingTask(ph::FileHandlingPluginTask(ZadaZevuPlugin::cropAllAction(),
                                                            std::vector<std::string>{source}),
                                 recorder());
      ADD_FAILURE() << "no error for " << url;
    } catch (const ZadaZevuPluginError& e) {
      EXPECT_EQ(e.errorCase(), ZadaZevuPluginError::Case::invalidActionSettings) << url;
    }
  }
  EXPECT_TRUE(calls.empty());
}

TEST_F(TasksTest, TwoPublishingTasksIntoOneFolderLoseNoFile) {
  TempFolder dest;
  std::vector<std::string> files;
  for (const char* name : {"p.png", "q.png"}) files.push_back(copyPortrait(name));
  ZadaZevuPlugin other;
  validateRecipe(dest.path(), plugin);
  validateRecipe(dest.path(), other);
  auto run = [&](ZadaZevuPlugin& p) {
    p.startPublishingTask(ph::FileHandlingPluginTask(ZadaZevuPlugin::cropAllAction(), files),
                          nullptr);
  };
  std::thread first([&] { run(plugin); });
  std::thread second([&] { run(other); });
  first.join();
  second.join();
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dest.path())) {
    names.insert(entry.path().filename().string());
    EXPECT_TRUE(croppedPortrait(entry.path().string())) << entry.path();
  }
  EXPECT_EQ(names, (std::set<std::string>{"p.png", "p 1.png", "q.png", "q 1.png"}));
}

}  // namespace
}  // namespace kadro
