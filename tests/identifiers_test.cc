#include "Plugin/identifiers.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace kadro {
namespace {

TEST(PluginIdentifier, IsTheBundleIdentifierElseKadroPlugin) {
  EXPECT_EQ(pluginIdentifier(std::nullopt), "KadroPlugin");
  EXPECT_EQ(pluginIdentifier(BundleInfo{"/b", std::nullopt, "1.0"}), "KadroPlugin");
  EXPECT_EQ(pluginIdentifier(BundleInfo{"/b", "", "1.0"}), "KadroPlugin");
  EXPECT_EQ(pluginIdentifier(BundleInfo{"/b", "io.kadro.KadroPlugin", std::nullopt}),
            "io.kadro.KadroPlugin");
  EXPECT_EQ(ID::indentifier(), pluginIdentifier(currentBundle()));
}

TEST(PluginIdentifier, IsFoundOnceEvenWhenFirstAskedFromManyThreads) {
  std::vector<const std::string*> seen(8);
  std::vector<std::thread> threads;
  for (auto& s : seen) threads.emplace_back([&s] { s = &ID::indentifier(); });
  for (auto& t : threads) t.join();
  for (auto* s : seen) EXPECT_EQ(s, seen[0]);
}

TEST(FixedTags, IdentifiersAreThePluginIdentifierAndTheShortName) {
  const std::string& id = ID::indentifier();
  const std::vector<std::pair<const Tag*, std::pair<const char*, const char*>>> expected = {
      {&ZadaZevuPluginTags::presetList(), {"preset-list", "Kadro Presets"}},
      {&ZadaZevuPluginTags::presetName(), {"preset-name", "Name"}},
      {&ZadaZevuPluginTags::destFolder(), {"dest-folder", "Export Path"}},
      {&ZadaZevuPluginTags::type(), {"type", "Crop Type"}},
      {&ZadaZevuPluginTags::maxSize(), {"max-size", "Max Size"}},
      {&ZadaZevuPluginTags::cropBorderEnabled(), {"crop-border-enabled", "Add Border"}},
      {&ZadaZevuPluginTags::cropBorderWidth(), {"crop-border-width", "Border Width"}},
      {&ZadaZevuPluginTags::cropBorderColor(), {"crop-border-color", "Border Color"}},
      {&ZadaZevuPluginTags::cropBorderColorCustom(), {"crop-border-color-custom", "Custom Color"}},
      {&ZadaZevuPluginTags::saveButton(), {"save-button", "Save"}},
      {&ZadaZevuPluginTags::saveNewButton(), {"save-new-button", "Save New Preset"}},
      {&ZadaZevuPluginTags::deleteButton(), {"delete-button", "Delete"}},
  };
  std::set<std::string> unique;
  for (const auto& [tag, names] : expected) {
    EXPECT_EQ(tag->identifier, id + "." + names.first);
    EXPECT_EQ(tag->label, names.second);
    unique.insert(tag->identifier);
  }
  EXPECT_EQ(unique.size(), expected.size());
  EXPECT_EQ(Tag("type", "Crop Type"), ZadaZevuPluginTags::type());
}

TEST(FixedTags, WithoutABundleIdentifier) {
  EXPECT_EQ(Tag::under("KadroPlugin", "preset-list", "Kadro Presets").identifier,
            "KadroPlugin.preset-list");
  EXPECT_EQ(ActionTags::under("KadroPlugin").cropBorderColorCustom.identifier,
            "KadroPlugin.crop-border-color-custom");
}

TEST(ActionTagSets, PlainSetIsTheFixedTags) {
  const ActionTags plain = actionTags();
  EXPECT_EQ(plain.destFolder, ZadaZevuPluginTags::destFolder());
  EXPECT_EQ(plain.type, ZadaZevuPluginTags::type());
  EXPECT_EQ(plain.maxSize, ZadaZevuPluginTags::maxSize());
  EXPECT_EQ(plain.cropBorderEnabled, ZadaZevuPluginTags::cropBorderEnabled());
  EXPECT_EQ(plain.cropBorderWidth, ZadaZevuPluginTags::cropBorderWidth());
  EXPECT_EQ(plain.cropBorderColor, ZadaZevuPluginTags::cropBorderColor());
  EXPECT_EQ(plain.cropBorderColorCustom, ZadaZevuPluginTags::cropBorderColorCustom());
  EXPECT_EQ(plain, ActionTags::under(ID::indentifier()));
}

TEST(ActionTagSets, SuffixedIdentifiersRepeatThePluginIdentifier) {
  const ActionTags publish = ActionTags::under("KadroPlugin", "-publish");
  EXPECT_EQ(publish.destFolder.identifier, "KadroPlugin.KadroPlugin.dest-folder-publish");
  EXPECT_EQ(publish.type.identifier, "KadroPlugin.KadroPlugin.type-publish");
  EXPECT_EQ(publish.cropBorderEnabled.identifier,
            "KadroPlugin.KadroPlugin.crop-border-enabled-publish");
  EXPECT_EQ(publish.type.label, "Crop Type");
  EXPECT_EQ(publish.destFolder.label, "Export Path");

  const ActionTags bundled = ActionTags::under("io.kadro.KadroPlugin", "-publish");
  EXPECT_EQ(bundled.maxSize.identifier,
            "io.kadro.KadroPlugin.io.kadro.KadroPlugin.max-size-publish");

  const std::string& id = ID::indentifier();
  EXPECT_EQ(actionTags("-publish").cropBorderColorCustom.identifier,
            id + "." + id + ".crop-border-color-custom-publish");
}

TEST(ActionTagSets, EmptySuffixStillDiffersFromTheFixedTags) {
  const ActionTags plain = actionTags();
  const ActionTags empty = actionTags("");
  const std::string& id = ID::indentifier();
  EXPECT_EQ(empty.type.identifier, id + "." + id + ".type");
  EXPECT_NE(empty.type.identifier, plain.type.identifier);
  EXPECT_NE(empty.destFolder.identifier, plain.destFolder.identifier);
  EXPECT_EQ(empty.type.label, plain.type.label);
}

TEST(AnonymousIdentifiers, CountUpwardsAndNeverRepeat) {
  const std::int64_t before = ID::anonCounter;
  EXPECT_EQ(nextAnonymousTag(), "anon-" + std::to_string(before + 1));
  EXPECT_EQ(anonymousIdentifier(), ID::indentifier() + ".anon-" + std::to_string(before + 2));
  EXPECT_EQ(ID::anonCounter, before + 2);

  std::set<std::string> seen;
  std::vector<std::thread> threads;
  std::vector<std::vector<std::string>> made(4);
  for (auto& list : made)
    threads.emplace_back([&list] {
      for (int i = 0; i < 250; ++i) list.push_back(anonymousIdentifier());
    });
  for (auto& t : threads) t.join();
  for (const auto& list : made) seen.insert(list.begin(), list.end());
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace kadro
