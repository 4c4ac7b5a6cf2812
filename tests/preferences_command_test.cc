// kadro preferences driven from a pipe, as a script would, with the preset
// store in a temporary configuration folder.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "host/image.h"
#include "tests/plugin_test_support.h"

namespace kadro {
namespace {

using testing::ProgramRun;
using testing::TempFolder;

// Runs `kadro preferences ARGS` with `script` on its standard input.
ProgramRun preferences(const TempFolder& home, const std::string& script,
                       const std::string& arguments = "") {
  const auto input = home / "script.txt";
  std::ofstream(input) << script;
  return testing::runKadro("preferences " + arguments, home.path(), input);
}

// The stored presets, as `kadro presets --json` prints them.
nlohmann::json storedPresets(const TempFolder& home) {
  const ProgramRun run = testing::runKadro("presets --json", home.path());
  EXPECT_EQ(run.status, 0) << run.err;
  return nlohmann::json::parse(run.out, nullptr, false);
}

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(KadroPreferences, RenamingAPresetAndSavingStoresItUnderTheNewName) {
  TempFolder home;
  const ProgramRun run = preferences(home,
                                     "select Hexagon\n"
                                     "set Name Honeycomb\n"
                                     "set Max Size 256\n"
                                     "press Save\n"
                                     "quit\n");
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  // The first drawing shows the first preset, and the panels are drawn
  // again after each refresh the plug-in asks for: the choice and Save.
  EXPECT_NE(run.out.find("(*) Circle"), std::string::npos) << run.out;
  EXPECT_EQ(count(run.out, "== Kadro Presets =="), 3u) << run.out;
  EXPECT_NE(run.out.find("(*) Honeycomb"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Installed Version:"), std::string::npos) << run.out;

  const nlohmann::json presets = storedPresets(home);
  ASSERT_TRUE(presets.is_object()) << presets;
  EXPECT_FALSE(presets.contains("Hexagon"));
  ASSERT_TRUE(presets.contains("Honeycomb"));
  EXPECT_EQ(presets["Honeycomb"]["name"], "Honeycomb");
  EXPECT_EQ(presets["Honeycomb"]["type"], "hex");
  EXPECT_EQ(presets["Honeycomb"]["maxSize"], 256);
  EXPECT_EQ(presets["Honeycomb"]["borderColorCustom"], "#ffcc00");
  EXPECT_EQ(presets.size(), 4u);
}

// A refused Save makes the session end with status 1; the other refusals
// are shown and the session goes on.
TEST(KadroPreferences, RefusalsAreShownAndNothingIsStored) {
  TempFolder home;
  const ProgramRun run = preferences(home,
                                     "set Name Square\n"
                                     "press Save\n"
                                     "set Add Border maybe\n"
                                     "set Border Color purple\n"
                                     "press Nope\n"
                                     "select Nope\n"
                                     "frobnicate\n");  // and no quit: the input ends
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("error: Preset \"Square\" already exists.\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("A preset named \"Square\" already exists. Please select a differnent "
                         "name to create a new preset."),
            std::string::npos);
  EXPECT_NE(run.out.find("error: Add Border is a check box"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("error: Border Color has no option 'purple'"), std::string::npos);
  EXPECT_NE(run.out.find("error: no button named 'Nope'"), std::string::npos);
  EXPECT_NE(run.out.find("error: Kadro Presets has no option 'Nope'"), std::string::npos);
  EXPECT_NE(run.out.find("error: unknown command 'frobnicate'"), std::string::npos);
  EXPECT_EQ(count(run.out, "== Kadro Presets =="), 1u) << "nothing asked for a refresh";

  const nlohmann::json presets = storedPresets(home);
  EXPECT_TRUE(presets.contains("Circle"));
  EXPECT_TRUE(presets.contains("Square"));
  EXPECT_EQ(presets.size(), 4u);
}

TEST(KadroPreferences, SaveNewDeleteAndIcons) {
  TempFolder home;
  const ProgramRun run = preferences(home,
                                     "set Name Ring\n"
                                     "set Crop Type circle\n"
                                     "set Add Border off\n"
                                     "press Save New Preset\n"
                                     "select Square\n"
                                     "press Delete\n",
                                     "--icons '" + (home / "icons").string() + "'");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const nlohmann::json presets = storedPresets(home);
  EXPECT_TRUE(presets.contains("Circle"));
  EXPECT_TRUE(presets.contains("Ring"));
  EXPECT_FALSE(presets.contains("Square"));
  EXPECT_EQ(presets["Ring"]["borderEnabled"], false);
  // After Delete the first preset is selected again.
  const std::string list = "Kadro Presets:\n";
  const auto last = run.out.rfind(list);
  ASSERT_NE(last, std::string::npos);
  EXPECT_EQ(run.out.substr(last + list.size(), 15), "    (*) Circle\n") << run.out;

  const auto icon = home / "icons" / "io.kadro.KadroPlugin.type.hex.png";
  ASSERT_TRUE(std::filesystem::exists(icon));
  const auto image = ph::Image::loadPng(icon.string());
  ASSERT_TRUE(image);
  EXPECT_EQ(image->pixelWidth(), 128);
  EXPECT_TRUE(
      std::filesystem::exists(home / "icons" / "io.kadro.KadroPlugin.preset-list.Ring.png"));
}

// Every edit says what became of it; a value the plug-in refuses is shown
// with the plug-in's reason and never as if it had been taken; a mistyped
// command does not make the session fail.
TEST(KadroPreferences, EachEditIsReportedAndRefusedValuesAreNotShown) {
  TempFolder home;
  const ProgramRun run = preferences(home,
                                     "set Max Size abc\n"
                                     "show\n"
                                     "set Max Size 256\n"
                                     "frobnicate\n"
                                     "press Save\n");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Max Size stays 600: the plug-in did not take"), std::string::npos)
      << run.out;
  const auto show = run.out.find("> show\n");
  ASSERT_NE(show, std::string::npos);
  EXPECT_NE(run.out.find("Max Size: [600]", show), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("[abc]"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Max Size is now 256; press Save to store it.\n"), std::string::npos);
  EXPECT_NE(run.out.find("error: unknown command 'frobnicate'"), std::string::npos);
  EXPECT_NE(run.out.find("Saved \"Circle\".\n"), std::string::npos) << run.out;
  EXPECT_EQ(storedPresets(home)["Circle"]["maxSize"], 256);
}

// Titles, options, buttons and preset names in any letter case; cursor
// keys typed where nothing edits the line never reach a stored name.
TEST(KadroPreferences, NamesInAnyCaseAndNoEscapeSequencesInValues) {
  TempFolder home;
  const ProgramRun run = preferences(home,
                                     "SELECT hexagon\n"
                                     "set name Portr\x1b[D\x1b[Cait\x1bOD\t2\n"
                                     "set CROP TYPE CIRCLE\n"
                                     "set add border OFF\n"
                                     "press save new preset\n"
                                     "Quit\n");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const nlohmann::json presets = storedPresets(home);
  ASSERT_TRUE(presets.contains("Portrait 2")) << presets;
  EXPECT_EQ(presets["Portrait 2"]["type"], "circle");
  EXPECT_EQ(presets["Portrait 2"]["borderEnabled"], false);
  EXPECT_EQ(presets["Portrait 2"]["borderColorCustom"], "#ffcc00") << "a copy of Hexagon";
  EXPECT_EQ(presets.size(), 5u);
}

// Choosing another preset or ending with unsaved changes says so; input
// that ends with changes not stored ends the session with status 1.
TEST(KadroPreferences, UnsavedChangesAreNeverDroppedSilently) {
  TempFolder home;
  const ProgramRun run = preferences(home,
                                     "set Max Size 256\n"
                                     "set Name Round\n"
                                     "select Square\n"
                                     "set Border Width 9\n"
                                     "show\n");
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_NE(run.out.find("warning: select discards the unsaved changes to \"Circle\" (Max Size, "
                         "Name)\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("(unsaved changes to \"Square\": Border Width; press Save to store "
                         "them)"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("warning: the unsaved changes to \"Square\" (Border Width) were not "
                         "stored\n"),
            std::string::npos)
      << run.out;
  const nlohmann::json presets = storedPresets(home);
  EXPECT_EQ(presets["Circle"]["maxSize"], 600);
  EXPECT_EQ(presets["Square"]["borderWidth"], 2);
}

}  // namespace
}  // namespace kadro
