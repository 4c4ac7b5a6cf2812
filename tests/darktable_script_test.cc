// The darktable script in the real darktable, headless: darktable-cli loads
// it, exports the sample portrait with its PNG format and hands the file to
// the script's export targets as darktable's export does
// (tests/darktable/export_with_kadro.lua); the files are checked here.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <vips/vips8>

#include "tests/panel_test_support.h"
#include "tests/plugin_test_support.h"

namespace kadro {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

std::optional<fs::path> darktableCli() {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const fs::path candidate = fs::path(dir) / "darktable-cli";
    if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

std::string quoted(const fs::path& path) {
  std::string text = "'";
  text += path.string();
  text += '\'';
  return text;
}

// The report's lines, key to the values it was given, in order.
std::multimap<std::string, std::string> readReport(const fs::path& file) {
  std::multimap<std::string, std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    const auto tab = line.find('\t');
    if (tab != std::string::npos) lines.emplace(line.substr(0, tab), line.substr(tab + 1));
  }
  return lines;
}

std::vector<std::string> valuesOf(const std::multimap<std::string, std::string>& report,
                                  const std::string& key) {
  std::vector<std::string> values;
  for (auto [it, end] = report.equal_range(key); it != end; ++it) values.push_back(it->second);
  return values;
}

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool looksLikeCircle(const fs::path& file) {
  const auto image = vips::VImage::new_from_file(file.c_str());
  if (image.bands() != 4) return false;
  return image.getpoint(1, 1)[3] == 0 &&
         image.getpoint(image.width() / 2, image.height() / 2)[3] == 255;
}

TEST(DarktableScript, ExportsThroughKadroInRealDarktable) {
  const auto cli = darktableCli();
  if (!cli) GTEST_SKIP() << "darktable-cli is not installed (scripts/setup.sh installs darktable)";

  TempFolder work;
  for (const char* folder : {"exports", "dest", "folder", "config", "darktable"})
    fs::create_directory(work / folder);
  std::ofstream(work / "folder" / "astronaut.png") << "the user's own file";

  const std::string command =
      "XDG_CONFIG_HOME=" + quoted(work / "config") + " KADRO_TEST_WORK=" + quoted(work.path()) +
      " KADRO_TEST_PROGRAM=" + quoted(fs::path(KADRO_STAGE_DIR) / "bin" / "kadro") +
      " KADRO_TEST_SCRIPT=" + quoted(KADRO_DARKTABLE_SCRIPT) +
      " KADRO_TEST_PHOTO=" + quoted(testing::samplePortrait()) + " " + quoted(*cli) + " " +
      quoted(testing::samplePortrait()) + " " + quoted(work / "cli.jpg") +
      " --core --library :memory: --configdir " + quoted(work / "darktable") +
      " --luacmd 'dofile(\"" + KADRO_DARKTABLE_TEST_LUA + "\")' >" +
      quoted(work / "darktable.log") + " 2>&1 </dev/null";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status)) << command;
  const std::string log = testing::readBytes(work / "darktable.log");
  const auto report = readReport(work / "report.txt");
  ASSERT_EQ(valuesOf(report, "done"), std::vector<std::string>{"ok"}) << log;

  EXPECT_EQ(valuesOf(report, "panel"), std::vector<std::string>{"Kadro Settings"});
  EXPECT_EQ(valuesOf(report, "supported tiff"), std::vector<std::string>{"false"});
  // Two exports, then one the recipe stopped before anything was exported,
  // then Open With.
  EXPECT_EQ(valuesOf(report, "exported kadro_publish"), (std::vector<std::string>{"1", "1", "0"}));
  const std::string dest = (work / "dest").string();
  EXPECT_EQ(valuesOf(report, "notify"),
            (std::vector<std::string>{
                "Kadro cropped 1 photo into " + dest, "Kadro cropped 1 photo into " + dest,
                "Invalid value for Max Size. The value you provided for Max Size is not valid.",
                "Kadro cropped 1 photo with \"Circle\" in " + (work / "folder").string()}))
      << log;

  // The second export took the next free name; the refused one wrote nothing.
  EXPECT_EQ(namesIn(work / "dest"), (std::vector<std::string>{"astronaut 1.png", "astronaut.png"}));
  // Open With placed its copy beside the user's file without touching it.
  EXPECT_EQ(namesIn(work / "folder"),
            (std::vector<std::string>{"astronaut 1.png", "astronaut.png"}));
  EXPECT_EQ(testing::readBytes(work / "folder" / "astronaut.png"), "the user's own file");
  // darktable's temporary exports are gone.
  EXPECT_TRUE(fs::is_empty(work / "exports"));

  if (paneltest::detectorFindsTheSampleFace()) {
    for (const fs::path& file : {work / "dest" / "astronaut.png", work / "dest" / "astronaut 1.png",
                                 work / "folder" / "astronaut 1.png"}) {
      EXPECT_TRUE(looksLikeCircle(file)) << file;
    }
    EXPECT_EQ(vips::VImage::new_from_file((work / "dest" / "astronaut.png").c_str()).width(), 200);
  }
}

}  // namespace
}  // namespace kadro
