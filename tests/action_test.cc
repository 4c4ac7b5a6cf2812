#include "Plugin/action.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace kadro {
namespace {

using nlohmann::json;

json fullPreset() {
  return json::parse(R"({"name":"Square","destFolder":"file:\/\/\/home\/u\/Desktop","type":"square",
    "maxSize":400,"borderEnabled":true,"borderWidth":2,"borderColor":"black",
    "borderColorCustom":"#333333"})");
}

TEST(ActionJson, RoundTripsEveryFieldIncludingEmptyName) {
  Action a("", "hex", -7, true, 0, "custom", "#ABCDEF");
  a.destFolder = "file:///tmp/x%20y";
  const Action b = json(a).get<Action>();
  EXPECT_EQ(a, b);
  EXPECT_EQ(json(a).size(), 8u);
}

TEST(ActionJson, ReadsEitherEscapingOfSlashAndIgnoresUnknownMembers) {
  json j = fullPreset();
  j["extra"] = 1;
  const Action a = j.get<Action>();
  EXPECT_EQ(a.destFolder, "file:///home/u/Desktop");
  EXPECT_EQ(a.borderWidth, 2);
}

TEST(ActionJson, RejectsMissingMembersNullsAndWrongTypes) {
  for (const char* key : {"name", "destFolder", "type", "maxSize", "borderEnabled", "borderWidth",
                          "borderColor", "borderColorCustom"}) {
    json missing = fullPreset();
    missing.erase(key);
    EXPECT_THROW(missing.get<Action>(), ActionDecodeError) << key;
    json null = fullPreset();
    null[key] = nullptr;
    EXPECT_THROW(null.get<Action>(), ActionDecodeError) << key;
  }
  json s = fullPreset();
  s["maxSize"] = "400";
  EXPECT_THROW(s.get<Action>(), ActionDecodeError);
  json f = fullPreset();
  f["borderWidth"] = 2.5;
  EXPECT_THROW(f.get<Action>(), ActionDecodeError);
  json b = fullPreset();
  b["borderEnabled"] = 1;
  EXPECT_THROW(b.get<Action>(), ActionDecodeError);
  json big = fullPreset();
  big["maxSize"] = 18446744073709551615ull;
  EXPECT_THROW(big.get<Action>(), ActionDecodeError);
}

TEST(ActionJson, KeepsUnknownTypeStrings) {
  json j = fullPreset();
  j["type"] = "Square";
  const Action a = j.get<Action>();
  EXPECT_EQ(a.type, "Square");
  EXPECT_FALSE(cropTypeFromRawValue(a.type));
  EXPECT_FALSE(cropTypeFromRawValue("trapezoid"));
  EXPECT_EQ(cropTypeFromRawValue("octo"), CropType::octo);
}

TEST(ActionInit, DefaultsOfTheThreeInitialisers) {
  const Action empty;
  EXPECT_EQ(empty.name, "");
  EXPECT_EQ(empty.type, "square");
  EXPECT_EQ(empty.maxSize, 400);
  const Action c("c", "circle", 100);
  EXPECT_FALSE(c.borderEnabled);
  EXPECT_EQ(c.borderWidth, 15);
  EXPECT_EQ(c.borderColor, "white");
  EXPECT_EQ(c.borderColorCustom, "#333333");
}

TEST(ActionInit, DestFolderIsAFileUrlOfDesktopEvenForAwkwardHomes) {
  const char* old = getenv("HOME");
  const std::string saved = old ? old : "";
  setenv("HOME", "/home/Zoë Smith", 1);
  const Action a;
  EXPECT_EQ(a.destFolder, "file:///home/Zo%C3%AB%20Smith/Desktop");
  setenv("HOME", saved.c_str(), 1);
  EXPECT_EQ(Action().destFolder.rfind("file:///", 0), 0u);
}

}  // namespace
}  // namespace kadro
