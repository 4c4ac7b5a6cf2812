// kadro export: the publishing flow run by the program as the host.
#include <gtest/gtest.h>

#include <filesystem>
#include <vips/vips8>

#include "tests/plugin_test_support.h"

namespace kadro {
namespace {

namespace fs = std::filesystem;
using testing::runKadro;
using testing::TempFolder;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string quoted(const fs::path& path) {
  std::string text = "'";
  text += path.string();
  text += '\'';
  return text;
}

bool isEmpty(const fs::path& folder) { return fs::is_empty(folder); }

TEST(KadroExport, RefusedSettingsWriteNothing) {
  TempFolder home;
  fs::create_directory(home / "out");
  const std::string photo = quoted(testing::samplePortrait());
  const std::string dest = "--dest " + quoted(home / "out") + " ";

  auto run = runKadro("export " + dest + "--max-size 12ab " + photo, home.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(contains(run.err, "Invalid value for Max Size.\n")) << run.err;
  EXPECT_TRUE(contains(run.err, "The value you provided for Max Size is not valid.")) << run.err;

  run = runKadro("export " + dest + "--border-width ' 3' " + photo, home.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(contains(run.err, "Invalid value for Border Width.")) << run.err;

  run = runKadro("export " + dest + "--border-color '#12345' " + photo, home.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(contains(run.err, "Invalid value for Custom Color.")) << run.err;
  EXPECT_TRUE(isEmpty(home / "out"));

  // What the program checks itself.
  run = runKadro("export --dest " + quoted(home / "missing") + " " + photo, home.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(contains(run.err, "is no folder")) << run.err;
  run = runKadro("export " + dest + quoted(home / "nothing.png"), home.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(contains(run.err, "nothing.png is no file")) << run.err;
  run = runKadro("export " + photo, home.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(contains(run.err, "--dest")) << run.err;
  EXPECT_TRUE(isEmpty(home / "out"));
}

}  // namespace
}  // namespace kadro
