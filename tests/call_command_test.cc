// kadro call: JSON requests on standard input, JSON lines out, run by the
// program as a script of another photo editor would run it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vips/vips8>

#include "host/value.h"
#include "tests/panel_test_support.h"
#include "tests/plugin_test_support.h"

namespace kadro {
namespace {

namespace fs = std::filesystem;
using ph::Value;
using testing::TempFolder;

const std::string kPrefix = "io.kadro.KadroPlugin.io.kadro.KadroPlugin.";
std::string recipeId(const std::string& name) { return kPrefix + name + "-publish"; }

struct CallRun {
  int status = -1;
  std::vector<Value> lines;
  std::string err;
};

// Runs kadro call with `request` on standard input; every line of standard
// output must be one JSON object.
CallRun call(const TempFolder& home, const std::string& request) {
  const fs::path input = home / "request.json";
  std::ofstream(input) << request;
  const auto run = testing::runKadro("call", home.path(), input);
  CallRun result{run.status, {}, run.err};
  std::istringstream out(run.out);
  for (std::string line; std::getline(out, line);) {
    Value json = Value::parse(line, nullptr, false);
    EXPECT_TRUE(json.is_object()) << "not a JSON object on standard output: " << line;
    result.lines.push_back(std::move(json));
  }
  return result;
}

CallRun call(const TempFolder& home, const Value& request) { return call(home, request.dump()); }

// The element of the first panel group with that title; null when absent.
Value element(const Value& panel, const std::string& title) {
  for (const Value& e : panel.at(0).at("elements"))
    if (e.at("title") == title) return e;
  return Value();
}

std::string fileUrl(const fs::path& folder) { return "file://" + folder.string() + "/"; }

// True when the picture's corner is see-through and its middle is not: what
// a circle cut leaves.
bool looksLikeCircle(const fs::path& file) {
  const auto image = vips::VImage::new_from_file(file.c_str());
  if (image.bands() != 4) return false;
  const auto corner = image.getpoint(1, 1);
  const auto middle = image.getpoint(image.width() / 2, image.height() / 2);
  return corner[3] == 0 && middle[3] == 255;
}

TEST(KadroCall, PanelAndEditsFollowThePlugin) {
  TempFolder home;
  auto run = call(home, Value{{"request", "panel"}});
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(run.lines.size(), 1u);
  const Value& panel = run.lines[0].at("panel");
  EXPECT_EQ(panel.at(0).at("title"), "Kadro Settings");
  EXPECT_EQ(element(panel, "Export Path").at("kind"), "file");
  EXPECT_EQ(element(panel, "Max Size").at("value"), "400");
  EXPECT_TRUE(element(panel, "Border Width").is_null());

  // Turning the border on asks for a new panel, which then has its width;
  // an edit of the size does not, and both land in the map.
  run = call(home, Value{{"request", "edit"},
                         {"settings", {{recipeId("type"), "circle"}}},
                         {"events",
                          {{{"identifier", recipeId("max-size")}, {"value", "128"}},
                           {{"identifier", recipeId("crop-border-enabled")}, {"value", true}},
                           {{"identifier", recipeId("crop-border-width")}, {"value", "7"}}}}});
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(run.lines.size(), 1u);
  const Value& edited = run.lines[0];
  EXPECT_EQ(edited.at("refresh"), true);
  EXPECT_EQ(edited.at("settings"), (Value{{recipeId("type"), "circle"},
                                          {recipeId("max-size"), "128"},
                                          {recipeId("crop-border-enabled"), true},
                                          {recipeId("crop-border-width"), "7"}}));
  EXPECT_EQ(element(edited.at("panel"), "Border Width").at("value"), "7");
  EXPECT_EQ(element(edited.at("panel"), "Crop Type").at("value"), "circle");
  // The plug-in's diagnostic lines go to standard error, off the JSON channel.
  EXPECT_NE(run.err.find("didUpdateValue(_:forSetting:action:settings:callbackAction:): "),
            std::string::npos)
      << run.err;

  run = call(home, Value{{"request", "edit"},
                         {"events", {{{"identifier", recipeId("max-size")}, {"value", "99"}}}}});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.lines.at(0).at("refresh"), false);

  // An element the panel does not show (the border is off) or a value the
  // element cannot take is refused, and nothing comes back as settings.
  for (const Value& event :
       {Value{{"identifier", recipeId("crop-border-width")}, {"value", "7"}},
        Value{{"identifier", recipeId("type")}, {"value", "triangle"}},
        Value{{"identifier", recipeId("crop-border-enabled")}, {"value", "yes"}}}) {
    run = call(home, Value{{"request", "edit"}, {"events", {event}}});
    EXPECT_EQ(run.status, 1) << event;
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_EQ(run.lines[0].at("error").at("domain"), "kadro.call");
    EXPECT_FALSE(run.lines[0].contains("settings"));
  }
}

TEST(KadroCall, ValidationGivesThePluginsTexts) {
  TempFolder home;
  auto run =
      call(home, Value{{"request", "validate"}, {"settings", {{recipeId("max-size"), "12ab"}}}});
  EXPECT_EQ(run.status, 1);
  ASSERT_EQ(run.lines.size(), 1u);
  EXPECT_EQ(run.lines[0].at("valid"), false);
  EXPECT_EQ(run.lines[0].at("error").at("description"), "Invalid value for Max Size.");
  EXPECT_EQ(run.lines[0].at("error").at("reason"),
            "The value you provided for Max Size is not valid.");

  run = call(home, Value{{"request", "validate"}, {"settings", {{recipeId("max-size"), "64"}}}});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.lines.at(0), (Value{{"valid", true}}));
}

TEST(KadroCall, PublishWritesUnderFreeNamesAndRefusesBadRecipes) {
  TempFolder home;
  fs::create_directory(home / "out");
  const fs::path photo = home / "portrait.png";
  fs::copy_file(testing::samplePortrait(), photo);
  const std::string before = testing::readBytes(photo);
  Value request = {{"request", "publish"},
                   {"settings",
                    {{recipeId("dest-folder"), {fileUrl(home / "out")}},
                     {recipeId("type"), "circle"},
                     {recipeId("max-size"), "96"}}},
                   {"files", {photo.string()}}};

  auto run = call(home, request);
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(run.lines.size(), 2u);
  EXPECT_EQ(run.lines[0].at("progress"),
            (Value{{"done", 1}, {"count", 1}, {"message", "Publish with Kadro: portrait.png"}}));
  EXPECT_EQ(run.lines[1].at("result").at("message"), "cropped 1 files");
  EXPECT_TRUE(run.lines[1].at("result").at("failed").is_null());
  run = call(home, request);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fs::exists(home / "out" / "portrait 1.png"));
  EXPECT_EQ(testing::readBytes(photo), before);
  if (paneltest::detectorFindsTheSampleFace()) {
    EXPECT_TRUE(looksLikeCircle(home / "out" / "portrait.png"));
    EXPECT_EQ(vips::VImage::new_from_file((home / "out" / "portrait 1.png").c_str()).width(), 96);
  }

  // A refused recipe, a file that is not there and a file the job cannot
  // read: an error line, a non-zero status, and the folder as it was.
  request["settings"][recipeId("max-size")] = "12ab";
  run = call(home, request);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.lines.at(0).at("error").at("description"), "Invalid value for Max Size.");
  request["settings"][recipeId("max-size")] = "96";
  request["files"] = {(home / "missing.png").string()};
  run = call(home, request);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.lines.at(0).at("error").at("description").get<std::string>().find("missing.png"),
            std::string::npos);
  std::ofstream(home / "broken.png") << "not a picture";
  request["files"] = {(home / "broken.png").string(), photo.string()};
  run = call(home, request);
  EXPECT_EQ(run.status, 1);
  ASSERT_EQ(run.lines.size(), 1u);
  EXPECT_EQ(run.lines[0].at("result").at("done"), 0);
  EXPECT_EQ(run.lines[0].at("result").at("failed"), (home / "broken.png").string());
  EXPECT_EQ(std::distance(fs::directory_iterator(home / "out"), fs::directory_iterator()), 2);
}

TEST(KadroCall, OpenWithMovesIntoTheFolderWithoutReplacingAndCropsInPlace) {
  TempFolder home;
  auto run = call(home, Value{{"request", "actions"}, {"fileTypes", {"png"}}});
  ASSERT_EQ(run.status, 0) << run.err;
  const Value& actions = run.lines.at(0);
  EXPECT_EQ(actions.at("publishing").at(0).at("title"), "Export with Kadro");
  std::vector<std::string> presets;
  for (const Value& a : actions.at("openWith")) presets.push_back(a.at("preset"));
  EXPECT_EQ(presets, (std::vector<std::string>{"Circle", "Hexagon", "Just Border", "Square"}));
  run = call(home, Value{{"request", "actions"}, {"fileTypes", {"tiff"}}});
  EXPECT_TRUE(run.lines.at(0).at("openWith").empty());

  fs::create_directory(home / "folder");
  const fs::path exported = home / "portrait.png";
  fs::copy_file(testing::samplePortrait(), exported);
  std::ofstream(home / "folder" / "portrait.png") << "the user's own file";
  run = call(home, Value{{"request", "open-with"},
                         {"preset", "Circle"},
                         {"files", {exported.string()}},
                         {"moveInto", (home / "folder").string()}});
  ASSERT_EQ(run.status, 0) << run.err;
  const fs::path placed = home / "folder" / "portrait 1.png";
  ASSERT_EQ(run.lines.size(), 3u);
  EXPECT_EQ(run.lines[0].at("moved").at("to"), placed.string());
  EXPECT_EQ(run.lines[1].at("progress").at("done"), 1);
  EXPECT_EQ(run.lines[2].at("result").at("status"), 1);
  EXPECT_EQ(testing::readBytes(home / "folder" / "portrait.png"), "the user's own file");
  EXPECT_FALSE(fs::exists(exported));
  if (paneltest::detectorFindsTheSampleFace()) {
    EXPECT_TRUE(looksLikeCircle(placed));
  }

  // A file already in the folder stays under its own name.
  run = call(home, Value{{"request", "open-with"},
                         {"preset", "Square"},
                         {"files", {placed.string()}},
                         {"moveInto", (home / "folder").string()}});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(run.lines.at(0).contains("moved"));
  EXPECT_EQ(run.lines.back().at("result").at("files"), Value({placed.string()}));
  EXPECT_EQ(std::distance(fs::directory_iterator(home / "folder"), fs::directory_iterator()), 2);

  // An unknown preset is refused before any file moves.
  fs::copy_file(testing::samplePortrait(), exported);
  run = call(home, Value{{"request", "open-with"},
                         {"preset", "Triangle"},
                         {"files", {exported.string()}},
                         {"moveInto", (home / "folder").string()}});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.lines.at(0).at("error").at("description"), "no preset named \"Triangle\"");
  EXPECT_TRUE(fs::exists(exported));
}

TEST(KadroCall, RequestsThatAreNotUnderstood) {
  TempFolder home;
  for (const std::string request :
       {"not json", "[1]", R"({"request": "crop"})", R"({"request": "publish", "files": "a.png"})",
        R"({"request": "edit", "events": [{"value": 1}]})",
        R"({"request": "panel", "settings": [1]})"}) {
    const auto run = call(home, request);
    EXPECT_EQ(run.status, 2) << request;
    ASSERT_EQ(run.lines.size(), 1u) << request;
    EXPECT_EQ(run.lines[0].at("error").at("domain"), "kadro.call") << request;
  }
}

}  // namespace
}  // namespace kadro
