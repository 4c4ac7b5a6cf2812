// The kadro program as a host: it loads the built bundle and drives the
// plug-in through the host layer only.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <vips/vips8>

#include "tests/plugin_test_support.h"

namespace kadro {
namespace {

using testing::runKadro;
using testing::TempFolder;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(KadroHost, ListsOneActionPerBuiltInPresetWithItsIcon) {
  TempFolder home;
  const auto run =
      runKadro("actions --icons '" + (home / "icons").string() + "' a.jpg b.png", home.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.out, "Kadro: Circle\tio.kadro.KadroPlugin.Circle\n"));
  EXPECT_TRUE(contains(run.out, "Kadro: Just Border\tio.kadro.KadroPlugin.Just Border\n"));
  const auto icon =
      vips::VImage::new_from_file((home / "icons" / "io.kadro.KadroPlugin.Hexagon.png").c_str());
  EXPECT_EQ(icon.width(), 32);

  const auto tiff = runKadro("actions a.tif", home.path());
  EXPECT_NE(tiff.status, 0);
  EXPECT_TRUE(contains(tiff.err, "no Open With actions for files of type tif")) << tiff.err;
}

TEST(KadroHost, OpenWithCropsInPlaceAndExplainsWhatItCannotDo) {
  TempFolder home;
  const auto file = home / "portrait.png";
  std::filesystem::copy_file(testing::samplePortrait(), file);
  const auto run = runKadro("open-with Square '" + file.string() + "'", home.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.err, "1/1 Open With Kadro: " + file.string())) << run.err;
  const auto cropped = vips::VImage::new_from_file(file.c_str());
  EXPECT_LT(cropped.width(), 512);  // the square around the face
  EXPECT_EQ(cropped.width(), cropped.height());

  const auto unknown = runKadro("open-with Nope '" + file.string() + "'", home.path());
  EXPECT_NE(unknown.status, 0);
  EXPECT_TRUE(contains(unknown.err, "no preset named \"Nope\"")) << unknown.err;

  const auto badBundle =
      runKadro("open-with --bundle /nonexistent Square '" + file.string() + "'", home.path());
  EXPECT_NE(badBundle.status, 0);
  EXPECT_TRUE(contains(badBundle.err, "/nonexistent")) << badBundle.err;
}

TEST(KadroHost, OpenWithReportsAFileItCouldNotCrop) {
  TempFolder home;
  std::ofstream(home / "broken.png") << "not a picture";
  const auto run =
      runKadro("open-with Circle '" + (home / "broken.png").string() + "'", home.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(contains(run.err, "could not crop")) << run.err;
  EXPECT_EQ(testing::readBytes(home / "broken.png"), "not a picture");
}

TEST(KadroHost, OpenWithParsesOptionsLikeTheOtherCommands) {
  TempFolder home;
  const auto dashed = home / "-portrait.png";
  std::filesystem::copy_file(testing::samplePortrait(), dashed);
  const std::string before = testing::readBytes(dashed);

  // An option it does not know is refused before anything is touched, not
  // taken for the preset's name.
  auto run = runKadro("open-with --frobnicate Square '" + dashed.string() + "'", home.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(contains(run.err, "unknown option --frobnicate")) << run.err;
  EXPECT_EQ(testing::readBytes(dashed), before);

  // After --, a name that begins with a dash is a file.
  const std::string relative = std::string("'").append(dashed.filename().string()) + "'";
  run = runKadro("open-with --frobnicate -- Square " + relative, home.path());
  EXPECT_EQ(run.status, 2);
  run = runKadro("open-with Square " + relative, home.path());
  EXPECT_EQ(run.status, 2) << "a dashed name without -- is an option";
  run = runKadro("open-with -- Square '" + dashed.string() + "'", home.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(testing::readBytes(dashed), before);

  run = runKadro("--version", home.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("kadro ", 0), 0u) << run.out;
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(run.out[6]))) << run.out;
}

}  // namespace
}  // namespace kadro
