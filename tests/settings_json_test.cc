// The JSON form of settings panels and events: what a web page or a script
// sees of an element tree, and how what it sends back reaches the plug-in.
#include "host/settings_json.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "Plugin/kadro_plugin.h"
#include "tests/panel_test_support.h"

namespace ph {
namespace {

// A panel with one element of each kind, a group nested inside.
SettingsElementsGroups samplePanels() {
  auto group = std::make_shared<SettingsElementsGroup>("id.group", "Kadro Presets");
  auto list = std::make_shared<SettingsListItem>("id.type", "Crop Type");
  list->setOptions({{"square", "square", Image::empty(4, 4)}, {"none", "none"}});
  list->setValue("square");
  auto text = std::make_shared<SettingsTextItem>("id.size", "Max Size");
  text->setValue("600");
  auto check = std::make_shared<SettingsBoolItem>("id.border", "Add Border");
  check->setValue(true);
  auto label = std::make_shared<SettingsLabelItem>("id.anon-1", "");
  label->setValue("Some help.");
  auto button = std::make_shared<SettingsButtonItem>("id.save", "Save");
  button->setContext("save");
  auto folder = std::make_shared<SettingsFileItem>("id.dest", "Export Path");
  folder->setValue(Value::array({"file:///tmp/out/"}));
  folder->setDirectoryURL("file:///tmp/out/");
  folder->setCanChooseDirectories(true);
  folder->setCanChooseFiles(false);
  auto inner = std::make_shared<SettingsElementsGroup>("id.inner", "More");
  inner->setElements({folder});
  group->setElements({list, text, check, label, inner, button});
  return {group};
}

Value imageUrlOf(const Image& image) {
  return "/images/" + std::to_string(image.pixelWidth()) + ".png";
}

TEST(SettingsJson, EveryKindOfElementHasItsMembers) {
  const Value json = settingsGroupsToJson(samplePanels(), imageUrlOf);
  ASSERT_TRUE(json.is_array());
  ASSERT_EQ(json.size(), 1u);
  const Value& group = json[0];
  EXPECT_EQ(group["kind"], "group");
  EXPECT_EQ(group["identifier"], "id.group");
  EXPECT_EQ(group["title"], "Kadro Presets");
  const Value& e = group["elements"];
  ASSERT_EQ(e.size(), 6u);

  EXPECT_EQ(e[0], Value::parse(R"({"kind": "list", "identifier": "id.type", "title": "Crop Type",
      "value": "square", "options": [
        {"value": "square", "title": "square", "image": "/images/4.png"},
        {"value": "none", "title": "none", "image": null}]})"));
  EXPECT_EQ(e[1], Value::parse(R"({"kind": "text", "identifier": "id.size",
      "title": "Max Size", "value": "600"})"));
  EXPECT_EQ(e[2], Value::parse(R"({"kind": "checkbox", "identifier": "id.border",
      "title": "Add Border", "value": true})"));
  EXPECT_EQ(e[3], Value::parse(R"({"kind": "label", "identifier": "id.anon-1", "title": "",
      "value": "Some help."})"));
  EXPECT_EQ(e[4]["kind"], "group");
  EXPECT_EQ(e[4]["elements"][0], Value::parse(R"({"kind": "file", "identifier": "id.dest",
      "title": "Export Path", "value": ["file:///tmp/out/"], "directory": "file:///tmp/out/",
      "chooseDirectories": true, "chooseFiles": false, "multiple": false})"));
  EXPECT_EQ(e[5], Value::parse(R"({"kind": "button", "identifier": "id.save", "title": "Save",
      "context": "save"})"));

  // Without a way to name images, options carry none; an unset value is null.
  SettingsTextItem unset("id.x", "X");
  EXPECT_EQ(settingsElementToJson(unset, nullptr)["value"], Value());
  EXPECT_EQ(settingsGroupsToJson(samplePanels(), nullptr)[0]["elements"][0]["options"][0]["image"],
            Value());
}

// Reads a base64 text back into bytes; throws on a stray character.
std::string fromBase64(const std::string& text) {
  const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    const auto at = digits.find(c);
    if (at == std::string::npos) throw std::runtime_error("not base64");
    buffer = buffer << 6 | static_cast<unsigned>(at);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xff);
    }
  }
  return out;
}

TEST(SettingsJson, DataUrlsHoldThePngOfTheImage) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "settings_json";
  std::filesystem::create_directories(dir);
  // Sizes whose PNGs end on each of the three base64 remainders.
  std::set<std::size_t> remainders;
  for (int size = 1; size <= 12; ++size) {
    const auto image = Image::empty(size, size + 1);
    const Value url = pngDataUrl(*image);
    ASSERT_TRUE(url.is_string());
    const std::string text = url.get<std::string>();
    const std::string prefix = "data:image/png;base64,";
    ASSERT_EQ(text.rfind(prefix, 0), 0u) << text;
    ASSERT_EQ((text.size() - prefix.size()) % 4, 0u);
    const std::string png = fromBase64(text.substr(prefix.size()));
    EXPECT_EQ(png, image->pngData());
    remainders.insert(png.size() % 3);
    std::ofstream(dir / "back.png", std::ios::binary) << png;
    const auto back = Image::loadPng((dir / "back.png").string());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->pixelWidth(), size);
    EXPECT_EQ(back->pixelHeight(), size + 1);
  }
  EXPECT_EQ(remainders.size(), 3u);
  EXPECT_EQ(pngDataUrl(*Image::empty(0, 0)), Value());
}

SettingsEventFault::Kind faultOf(const Value& json) {
  SettingsEventFault fault;
  fault.kind = SettingsEventFault::Kind::notAccepted;
  fault.message = "untouched";
  const auto event = parseSettingsEvent(json, &fault);
  EXPECT_FALSE(event) << json;
  EXPECT_NE(fault.message, "untouched");
  return fault.kind;
}

TEST(SettingsJson, EventsAreAValueOrAPressForAnIdentifier) {
  const auto edit =
      parseSettingsEvent(Value::parse(R"({"identifier": "id.size", "value": "7"})"), nullptr);
  ASSERT_TRUE(edit);
  EXPECT_EQ(edit->identifier, "id.size");
  EXPECT_FALSE(edit->isPress());
  EXPECT_EQ(*edit->value, Value("7"));
  // A null value is still an edit (of an element that takes one, or refused later).
  const auto nullEdit =
      parseSettingsEvent(Value::parse(R"({"identifier": "id.size", "value": null})"), nullptr);
  ASSERT_TRUE(nullEdit);
  EXPECT_FALSE(nullEdit->isPress());
  const auto press = parseSettingsEvent(
      Value::parse(R"({"identifier": "id.save", "event": "press", "revision": 4})"), nullptr);
  ASSERT_TRUE(press);
  EXPECT_TRUE(press->isPress());

  using Kind = SettingsEventFault::Kind;
  EXPECT_EQ(faultOf(Value::parse(R"(["id.save"])")), Kind::malformed);
  EXPECT_EQ(faultOf(Value::parse(R"({"value": "7"})")), Kind::malformed);
  EXPECT_EQ(faultOf(Value::parse(R"({"identifier": 3, "value": "7"})")), Kind::malformed);
  EXPECT_EQ(faultOf(Value::parse(R"({"identifier": "", "value": "7"})")), Kind::malformed);
  EXPECT_EQ(faultOf(Value::parse(R"({"identifier": "id.size"})")), Kind::malformed);
  EXPECT_EQ(faultOf(Value::parse(R"({"identifier": "id.save", "event": "click"})")),
            Kind::malformed);
  EXPECT_EQ(faultOf(Value::parse(R"({"identifier": "id.save", "event": "press", "value": 1})")),
            Kind::malformed);
}

// The fault of an event against the sample panels; nothing when it resolves.
std::optional<SettingsEventFault> resolveFault(const std::string& json) {
  const SettingsElementsGroups panels = samplePanels();
  const auto event = parseSettingsEvent(Value::parse(json), nullptr);
  EXPECT_TRUE(event) << json;
  SettingsEventFault fault;
  const auto item = resolveSettingsEvent(panels, *event, &fault);
  if (item) {
    EXPECT_EQ(item->identifier(), event->identifier);
    return std::nullopt;
  }
  return fault;
}

TEST(SettingsJson, EventsReachOnlyElementsThatTakeThem) {
  // Each kind with what it takes.
  EXPECT_FALSE(resolveFault(R"({"identifier": "id.size", "value": "abc"})"));
  EXPECT_FALSE(resolveFault(R"({"identifier": "id.size", "value": ""})"));
  EXPECT_FALSE(resolveFault(R"({"identifier": "id.border", "value": false})"));
  EXPECT_FALSE(resolveFault(R"({"identifier": "id.type", "value": "none"})"));
  EXPECT_FALSE(resolveFault(R"({"identifier": "id.save", "event": "press"})"));
  EXPECT_FALSE(resolveFault(R"({"identifier": "id.dest", "value": ["file:///home/"]})"));
  EXPECT_FALSE(resolveFault(R"({"identifier": "id.dest", "value": []})"));
  // Names in any script are one line of text.
  EXPECT_FALSE(resolveFault(R"({"identifier": "id.size", "value": "Porträt ✓"})"));

  using Kind = SettingsEventFault::Kind;
  const auto expect = [](const std::string& json, Kind kind, const std::string& part) {
    const auto fault = resolveFault(json);
    ASSERT_TRUE(fault) << json;
    EXPECT_EQ(fault->kind, kind) << json;
    EXPECT_NE(fault->message.find(part), std::string::npos) << fault->message;
  };
  expect(R"({"identifier": "id.nope", "value": "1"})", Kind::unknownIdentifier, "id.nope");
  // Groups are no targets; their children are.
  expect(R"({"identifier": "id.inner", "value": "1"})", Kind::unknownIdentifier, "id.inner");
  expect(R"({"identifier": "id.size", "value": 600})", Kind::notAccepted, "Max Size takes text");
  expect(R"({"identifier": "id.border", "value": "on"})", Kind::notAccepted, "check box");
  expect(R"({"identifier": "id.type", "value": "octo"})", Kind::notAccepted,
         "Crop Type has no option octo");
  expect(R"({"identifier": "id.type", "value": 1})", Kind::notAccepted, "no option");
  expect(R"({"identifier": "id.save", "value": "x"})", Kind::notAccepted, "press it");
  expect(R"({"identifier": "id.size", "event": "press"})", Kind::notAccepted, "no button");
  expect(R"({"identifier": "id.anon-1", "value": "x"})", Kind::notAccepted, "cannot be changed");
  expect(R"({"identifier": "id.dest", "value": "file:///home/"})", Kind::notAccepted,
         "list of file URLs");
  expect(R"({"identifier": "id.dest", "value": ["file:///a/", "file:///b/"]})", Kind::notAccepted,
         "one folder");
  // A cursor key typed at a terminal arrives as an escape sequence.
  expect(R"({"identifier": "id.size", "value": "Portrat\u001b[Di"})", Kind::notAccepted,
         "control characters");
  expect(R"({"identifier": "id.size", "value": "a\tb"})", Kind::notAccepted, "control");
  expect(R"({"identifier": "id.size", "value": "a\u0085"})", Kind::notAccepted, "control");
}

// The preference panels of the real plug-in, as a client sees them.
class SettingsJsonOfThePlugin : public kadro::paneltest::PluginTest {};

TEST_F(SettingsJsonOfThePlugin, EventsFromJsonEditAndSaveThroughThePlugin) {
  kadro::ZadaZevuPlugin plugin;
  Error error;
  auto panels = plugin.settingsWithError(&error);
  ASSERT_TRUE(panels);
  int images = 0;
  const Value json = settingsGroupsToJson(*panels, [&](const Image& image) -> Value {
    ++images;
    EXPECT_EQ(image.pixelWidth(), 128);
    return "/i/" + std::to_string(images);
  });
  ASSERT_EQ(json.size(), 2u);
  const Value& list = json[0]["elements"][0];
  EXPECT_EQ(list["kind"], "list");
  EXPECT_EQ(list["value"], "Circle");
  ASSERT_EQ(list["options"].size(), 4u);
  for (const Value& option : list["options"]) EXPECT_TRUE(option["image"].is_string()) << option;
  EXPECT_EQ(json[1]["title"], "About Kadro");

  unsigned refreshes = 0;
  const SettingsCallback callback = [&](SettingsCallbackAction action, std::optional<Value>) {
    if (action == kSettingsCallbackActionRefresh) ++refreshes;
  };
  const auto send = [&](const std::string& text) {
    const auto event = parseSettingsEvent(Value::parse(text), nullptr);
    EXPECT_TRUE(event) << text;
    SettingsEventFault fault;
    const auto item = resolveSettingsEvent(*panels, *event, &fault);
    EXPECT_TRUE(item) << fault.message;
    const bool ok = item && sendSettingsEvent(plugin, *item, *event, &error, callback);
    panels = plugin.settingsWithError(&error);
    return ok;
  };
  const std::string id = kadro::ID::indentifier();
  EXPECT_TRUE(send(R"({"identifier": ")" + id + R"(.preset-list", "value": "Hexagon"})"));
  EXPECT_EQ(refreshes, 1u);
  EXPECT_TRUE(send(R"({"identifier": ")" + id + R"(.preset-name", "value": "Hexa2"})"));
  EXPECT_TRUE(send(R"({"identifier": ")" + id + R"(.save-button", "event": "press"})"));
  EXPECT_EQ(refreshes, 3u);
  const auto stored = kadro::Settings::shared().presets();
  EXPECT_TRUE(stored.count("Hexa2"));
  EXPECT_FALSE(stored.count("Hexagon"));

  // A refusal comes back as the plug-in's error, in its JSON form.
  EXPECT_FALSE(send(R"({"identifier": ")" + id + R"(.save-new-button", "event": "press"})"));
  const Value refusal = errorToJson(error);
  EXPECT_EQ(refusal["code"], 2);
  EXPECT_EQ(refusal["description"], "Preset \"Hexa2\" already exists.");
  EXPECT_EQ(refusal["domain"], "KadroPlugin.ZadaZevuPluginError");
  EXPECT_TRUE(refusal["reason"].get<std::string>().starts_with("A preset named"));
}

}  // namespace
}  // namespace ph
