#include <gtest/gtest.h>

#include "Plugin/errors.h"
#include "Plugin/kadro_plugin.h"
#include "Plugin/settings.h"

namespace kadro {
namespace {

std::vector<std::string> displayNames(const ph::PluginActions& actions) {
  std::vector<std::string> names;
  for (const auto& a : actions) names.push_back(a->displayName());
  return names;
}

class PluginActionsTest : public ::testing::Test {
 protected:
  void SetUp() override { Settings::shared().setPresets(Settings::defaultPresets()); }
  void TearDown() override { Settings::shared().setPresets(Settings::defaultPresets()); }
  ZadaZevuPlugin plugin;
};

TEST_F(PluginActionsTest, OffersOneActionPerPresetOnlyForOpenWithOfJpegOrPng) {
  const ph::SettingsMap jpeg = {{"jpeg", 3}};
  EXPECT_EQ(displayNames(plugin.openWithActions(jpeg, 2)),
            (std::vector<std::string>{"Kadro: Circle", "Kadro: Hexagon", "Kadro: Just Border",
                                      "Kadro: Square"}));
  for (const char* key : {"JPEG", "jpg", "png", "PNG"})
    EXPECT_EQ(plugin.openWithActions({{key, 0}}, 2).size(), 4u) << key;
  for (const char* key : {"JPG", "Png", "tiff", ""})
    EXPECT_TRUE(plugin.openWithActions({{key, 1}}, 2).empty()) << key;
  EXPECT_TRUE(plugin.openWithActions(jpeg, 1).empty());
  EXPECT_TRUE(plugin.openWithActions(jpeg, 3).empty());
  EXPECT_TRUE(plugin.openWithActions({}, 2).empty());
}

TEST_F(PluginActionsTest, SortsByCodePointAndNamesActionsAfterThePreset) {
  PresetMap presets;
  for (const char* name : {"b", "A", "a"}) presets[name] = Action(name, "circle", 100);
  // A key that differs from its preset's name: the action follows the preset.
  presets["C"] = Action("Renamed", "hex", 100);
  Settings::shared().setPresets(presets);
  const ph::PluginActions actions = plugin.openWithActions({{"png", 1}}, 2);
  EXPECT_EQ(displayNames(actions),
            (std::vector<std::string>{"Kadro: A", "Kadro: Renamed", "Kadro: a", "Kadro: b"}));
  EXPECT_EQ(actions[0]->identifier(), "KadroPlugin.A");
  EXPECT_EQ(actions[1]->identifier(), "KadroPlugin.Renamed");
}

TEST_F(PluginActionsTest, ActionIconIsThePresetPreviewAt32Points) {
  const auto action = plugin.pluginAction(Action("Round", "circle", 300));
  ASSERT_NE(action->image(), nullptr);
  EXPECT_EQ(action->image()->width(), 32);
  EXPECT_EQ(action->image()->height(), 32);
  EXPECT_EQ(plugin.pluginAction(Action("Odd", "triangle", 300))->image(), nullptr);
}

TEST_F(PluginActionsTest, PublishingActionIsMadeOnceAndSharedByEveryCall) {
  const ph::PluginActions none = plugin.publishingActionsFileCount(0);
  const ph::PluginActions many = ZadaZevuPlugin().publishingActionsFileCount(500);
  ASSERT_EQ(none.size(), 1u);
  ASSERT_EQ(many.size(), 1u);
  EXPECT_EQ(none[0], many[0]);
  EXPECT_EQ(none[0], ZadaZevuPlugin::cropAllAction());
  EXPECT_EQ(none[0]->displayName(), "Export with Kadro");
  EXPECT_EQ(none[0]->identifier(), "KadroPlugin.kadro-publish");
}

TEST_F(PluginActionsTest, TasksAndProcessingSettings) {
  const auto action = plugin.pluginAction(Action("Square", "square", 400));
  const auto empty = plugin.tasks(action, {});
  ASSERT_EQ(empty.size(), 1u);
  ASSERT_TRUE(empty[0]->files().has_value());
  EXPECT_TRUE(empty[0]->files()->empty());
  const auto two = plugin.tasks(action, {"/b.jpg", "/a.jpg"});
  ASSERT_EQ(two.size(), 1u);
  EXPECT_EQ(*two[0]->files(), (std::vector<std::string>{"/b.jpg", "/a.jpg"}));
  EXPECT_EQ(two[0]->action(), action);

  const ph::SettingsMap settings = plugin.processingSettings(action);
  EXPECT_EQ(settings, plugin.processingSettings(ZadaZevuPlugin::cropAllAction()));
  EXPECT_EQ(ph::Value(settings), ph::Value::parse(R"({
      "PHSupportedFileFormatsKey": [1, 6],
      "PHProcessScaleMethodKey": 5,
      "PHProcessLongEdgeScaleKey": {"PHProcessScaleLengthKey": 2000, "PHProcessScaleUnitKey": 0}
  })"));
}

TEST_F(PluginActionsTest, HostOperationsHandFailuresOverAsHostErrors) {
  ph::Error error;
  const ph::FileHandlingPluginTask noFiles(ZadaZevuPlugin::cropAllAction(), std::nullopt);
  EXPECT_EQ(plugin.startOpenWithTask(noFiles, &error, nullptr), nullptr);
  EXPECT_EQ(error.domain, "KadroPlugin.ZadaZevuPluginError");
  EXPECT_EQ(error.code, 4);
  EXPECT_EQ(error.localizedDescription, "Invalid task files.");
  // A null error pointer is allowed.
  EXPECT_EQ(plugin.startPublishingTask(noFiles, nullptr, nullptr), nullptr);

  ph::Error fine;
  const auto actions = plugin.openWithActionsWithFileInfo({{"png", 1}}, 2, &fine);
  ASSERT_TRUE(actions.has_value());
  EXPECT_EQ(actions->size(), 4u);
  EXPECT_EQ(fine, ph::Error());
}

}  // namespace
}  // namespace kadro
