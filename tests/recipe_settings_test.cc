#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vips/vips8>

#include "Plugin/errors.h"
#include "Plugin/file_url.h"
#include "tests/panel_test_support.h"
#include "tests/plugin_test_support.h"

namespace kadro {
namespace {

using paneltest::CapturedDiagnostics;
using paneltest::outline;
using ::testing::ElementsAre;

constexpr char kRecipe[] = "KadroPlugin.KadroPlugin.";

std::string recipeId(const std::string& shortName) { return kRecipe + shortName + "-publish"; }

class RecipeSettings : public paneltest::PluginTest {
 protected:
  const std::shared_ptr<ph::PluginAction>& action = ZadaZevuPlugin::cropAllAction();

  // Asks for the callback action of one edit, starting from `incoming`.
  ph::ActionSettingsCallbackAction edit(const ph::Value& value, const std::string& identifier,
                                        ph::ActionSettingsCallbackAction incoming = 0) {
    ph::ActionSettingsCallbackAction code = incoming;
    ph::Error error;
    EXPECT_TRUE(static_cast<ph::ActionSettings&>(plugin).didUpdateValue(value, identifier, action,
                                                                        {}, &code, &error));
    return code;
  }
};

TEST_F(RecipeSettings, PanelIsTheFolderChooserThenThePresetsElements) {
  const ph::SettingsMap map = {
      {recipeId("dest-folder"), ph::Value::array({"file:///srv/photos/"})},
      {recipeId("type"), "circle"},
      {recipeId("max-size"), "512"},
      {recipeId("crop-border-enabled"), true},
      {recipeId("crop-border-width"), "4"},
      {recipeId("crop-border-color"), "custom"},
      {recipeId("crop-border-color-custom"), "#102030"},
  };
  const ph::SettingsElementsGroups groups = plugin.settings(action, map);
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0]->title(), "Kadro Settings");
  EXPECT_EQ(groups[0]->identifier(), "KadroPlugin.anon-" + std::to_string(ID::anonCounter - 1))
      << "the group takes its number before the border label";
  const ph::SettingsElements& e = groups[0]->elements();
  EXPECT_THAT(
      outline(e),
      ElementsAre("Export Path=[\"file:///srv/photos/\"]", "Crop Type=circle", "Max Size=512",
                  ::testing::StartsWith("=Enable this to add a border"), "Add Border=true",
                  "Border Width=4", "Border Color=custom", "Custom Color=#102030"));
  EXPECT_EQ(e[0]->identifier(), "KadroPlugin.KadroPlugin.dest-folder-publish");
  EXPECT_EQ(e[1]->identifier(), "KadroPlugin.KadroPlugin.type-publish");
  EXPECT_EQ(e[2]->identifier(), recipeId("max-size"));
  EXPECT_EQ(e[4]->identifier(), recipeId("crop-border-enabled"));
  EXPECT_EQ(e[5]->identifier(), recipeId("crop-border-width"));
  EXPECT_EQ(e[6]->identifier(), recipeId("crop-border-color"));
  EXPECT_EQ(e[7]->identifier(), recipeId("crop-border-color-custom"));

  const auto folder = std::dynamic_pointer_cast<ph::SettingsFileItem>(e[0]);
  ASSERT_TRUE(folder);
  EXPECT_EQ(folder->directoryURL(), "file:///srv/photos/");
  EXPECT_TRUE(folder->canChooseDirectories());
  EXPECT_FALSE(folder->canChooseFiles());
  EXPECT_FALSE(folder->allowsMultipleSelection());
}

TEST_F(RecipeSettings, ANewRecipeShowsTheDefaultPresetLeniently) {
  const ph::SettingsElementsGroups first = plugin.settings(action, {});
  const Action fallback;
  EXPECT_THAT(outline(first[0]->elements()),
              ElementsAre("Export Path=[\"" + fallback.destFolder + "\"]", "Crop Type=square",
                          "Max Size=400", ::testing::StartsWith("=Enable"), "Add Border=false"));

  // Unreadable numbers are shown as their fallbacks, never refused.
  const ph::SettingsElementsGroups second =
      plugin.settings(action, {{recipeId("max-size"), "big"}});
  EXPECT_EQ(second[0]->elements()[2]->value(), "800");

  // Each panel takes the next anonymous number.
  const auto number = [](const ph::SettingsElementsGroups& g) {
    return std::stoll(g[0]->identifier().substr(std::string("KadroPlugin.anon-").size()));
  };
  EXPECT_EQ(number(second), number(first) + 2) << "one for the group, one for its label";
  EXPECT_TRUE(plugin.actionSettings.empty());
}

TEST_F(RecipeSettings, EditsAskForARefreshWhereElementsComeOrGo) {
  CapturedDiagnostics log;
  EXPECT_EQ(edit(false, recipeId("crop-border-enabled")), 1u);
  EXPECT_EQ(edit(true, recipeId("crop-border-enabled")), 1u);
  EXPECT_EQ(edit("black", recipeId("crop-border-color")), 1u);
  EXPECT_EQ(edit("#12345", recipeId("crop-border-color-custom")), 0u);
  EXPECT_EQ(edit("#12345", recipeId("crop-border-color-custom"), 7), 7u) << "left as it came";
  EXPECT_EQ(edit("#123456", recipeId("crop-border-color-custom")), 1u);
  EXPECT_EQ(edit("123", recipeId("max-size"), 3), 3u);
  EXPECT_EQ(edit("none", recipeId("type")), 0u);
  // The preset editor's own identifiers mean nothing here.
  EXPECT_EQ(edit(true, "KadroPlugin.crop-border-enabled"), 0u);
  EXPECT_EQ(log.lines().front(),
            "didUpdateValue(_:forSetting:action:settings:callbackAction:): "
            "KadroPlugin.KadroPlugin.crop-border-enabled-publish: false");
  EXPECT_EQ(log.lines().size(), 9u);
  EXPECT_TRUE(plugin.actionSettings.empty());
}

TEST_F(RecipeSettings, ValidationParksThePresetForOnePublishingTask) {
  const ph::SettingsMap map = {
      {recipeId("dest-folder"), ph::Value::array({"file:///nowhere/"})},
      {recipeId("type"), "hex"},
      {recipeId("max-size"), "300"},
  };
  {
    CapturedDiagnostics log;
    plugin.validate(map, action);
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines().front(), "validate(_:for:): validating");
  }
  ASSERT_TRUE(plugin.actionSettings.count(action->identifier()));
  EXPECT_EQ(plugin.actionSettings.at(action->identifier()).type, "hex");

  // A second validation replaces the first.
  ph::SettingsMap later = map;
  later[recipeId("max-size")] = "90";
  plugin.validate(later, action);
  ASSERT_EQ(plugin.actionSettings.size(), 1u);
  EXPECT_EQ(plugin.actionSettings.at(action->identifier()).maxSize, 90);

  // One validation serves one task.
  ph::PublishingPlugin& host = plugin;
  ph::Error error;
  const ph::FileHandlingPluginTask task(action, std::vector<std::string>{});
  const auto result = host.startPublishingTask(task, &error, nullptr);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->url(), "file:///nowhere/");
  EXPECT_EQ(result->message(), "cropped 0 files");
  EXPECT_FALSE(host.startPublishingTask(task, &error, nullptr));
  EXPECT_EQ(error.localizedDescription, "Innvalid action.");
}

TEST_F(RecipeSettings, ARejectedValidationLeavesTheTableAsItWas) {
  ph::ActionSettings& host = plugin;
  ph::Error error;
  ASSERT_TRUE(host.validateSettings({{recipeId("max-size"), "250"}}, action, &error));

  EXPECT_FALSE(host.validateSettings({{recipeId("max-size"), "25O"}}, action, &error));
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(error.localizedDescription, "Invalid value for Max Size.");
  EXPECT_EQ(error.localizedFailureReason, "The value you provided for Max Size is not valid.");
  EXPECT_FALSE(host.validateSettings({{recipeId("crop-border-width"), ""}}, action, &error));
  EXPECT_EQ(error.localizedDescription, "Invalid value for Border Width.");
  EXPECT_FALSE(
      host.validateSettings({{recipeId("crop-border-color-custom"), "#12345G"}}, action, &error));
  EXPECT_EQ(error.localizedDescription, "Invalid value for Custom Color.");
  ASSERT_EQ(plugin.actionSettings.size(), 1u);
  EXPECT_EQ(plugin.actionSettings.begin()->second.maxSize, 250);

  // The same values are shown without complaint in the panel.
  EXPECT_TRUE(host.settingsForAction(action, {{recipeId("max-size"), "25O"}}, &error));
}

TEST_F(RecipeSettings, ValidatedSettingsPublishARealPhotoEndToEnd) {
  testing::TempFolder out;
  const std::string photo = (std::filesystem::path(KADRO_SAMPLES_DIR) / "astronaut.png").string();
  const std::string before = testing::readBytes(photo);
  const std::string dest = fileUrlFromPath(out.path().string()) + "/";
  const ph::SettingsMap map = {
      {recipeId("dest-folder"), ph::Value::array({dest})},
      {recipeId("type"), "circle"},
      {recipeId("max-size"), "200"},
      {recipeId("crop-border-enabled"), true},
      {recipeId("crop-border-width"), "6"},
      {recipeId("crop-border-color"), "black"},
  };
  // As the host does it: the panel, the check, the task.
  ph::PublishingPlugin& host = plugin;
  ph::Error error;
  const auto actions = host.publishingActionsFileCount(1, &error);
  ASSERT_TRUE(actions && actions->size() == 1u);
  const auto recipeAction = actions->front();
  ASSERT_TRUE(host.settingsForAction(recipeAction, map, &error));
  ASSERT_TRUE(host.validateSettings(map, recipeAction, &error)) << error.localizedDescription;
  const auto tasks = host.tasksForAction(recipeAction, {photo}, &error);
  ASSERT_TRUE(tasks && tasks->size() == 1u);
  std::vector<unsigned> progress;
  const auto result = host.startPublishingTask(
      *tasks->front(), &error,
      [&](const ph::PluginTask&, unsigned done, unsigned n, const std::string& text) {
        progress.push_back(done);
        EXPECT_EQ(n, 1u);
        EXPECT_EQ(text, "Publish with Kadro: astronaut.png");
      });
  ASSERT_TRUE(result) << error.localizedDescription;
  EXPECT_EQ(result->url(), dest);
  EXPECT_EQ(result->message(), "cropped 1 files");
  EXPECT_EQ(progress, std::vector<unsigned>{1});

  const vips::VImage written = vips::VImage::new_from_file((out / "astronaut.png").c_str());
  // Without the one face found the picture is only shaped, not resized.
  const int side = paneltest::detectorFindsTheSampleFace() ? 200 : 512;
  EXPECT_EQ(written.width(), side);
  EXPECT_EQ(written.height(), side);
  EXPECT_TRUE(written.has_alpha()) << "the circle leaves the corners clear";
  EXPECT_EQ(testing::readBytes(photo), before) << "the source is not changed";

  // The validation is used up: a second task is refused and writes nothing.
  EXPECT_FALSE(host.startPublishingTask(*tasks->front(), &error, nullptr));
  EXPECT_EQ(error.code, 3);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out.path()), {}), 1);

  // A new validation publishes again, next to the first file.
  ASSERT_TRUE(host.validateSettings(map, recipeAction, &error));
  ASSERT_TRUE(host.startPublishingTask(*tasks->front(), &error, nullptr));
  EXPECT_TRUE(std::filesystem::exists(out / "astronaut 1.png"));
}

}  // namespace
}  // namespace kadro
