// kadro export: the publishing flow run by the program as the host.
#include <gtest/gtest.h>

#include <filesystem>
#include <vips/vips8>

#include "tests/panel_test_support.h"
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

TEST(KadroExport, WritesCroppedCopiesUnderFreeNames) {
  TempFolder home;
  fs::create_directory(home / "out");
  const auto photo = home / "portrait.png";
  fs::copy_file(testing::samplePortrait(), photo);
  const std::string before = testing::readBytes(photo);
  const std::string args = "export --dest " + quoted(home / "out") +
                           " --type hex --max-size 128 --border-color '#ffcc00' " + quoted(photo);

  auto run = runKadro(args, home.path());
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_TRUE(contains(run.out, "cropped 1 files\nfolder: file://")) << run.out;
  EXPECT_TRUE(contains(run.err, "1/1 Publish with Kadro: portrait.png")) << run.err;
  const auto written = vips::VImage::new_from_file((home / "out" / "portrait.png").c_str());
  EXPECT_EQ(written.width(), paneltest::detectorFindsTheSampleFace() ? 128 : 512);
  EXPECT_EQ(testing::readBytes(photo), before);

  run = runKadro(args, home.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fs::exists(home / "out" / "portrait 1.png"));
}

}  // namespace
}  // namespace kadro
