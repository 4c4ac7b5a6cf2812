// kadro crop -o DIR FILE...: many pictures into one folder, several at a
// time, with no file replaced and every failure named.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <vips/vips8>

#include "tests/image_test_support.h"
#include "tests/plugin_test_support.h"

namespace kadro {
namespace {

namespace fs = std::filesystem;
using testing::runKadro;
using testing::TempFolder;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Built by appending: GCC 12 warns falsely (-Wrestrict) about a literal
// plus a temporary string.
std::string quoted(const fs::path& path) { return std::string("'").append(path.string()) + "' "; }

TEST(CropBatch, CropsEveryFileNamesTheFailuresAndReplacesNothing) {
  TempFolder home;
  fs::create_directories(home / "in" / "other");
  fs::create_directories(home / "out");
  for (const char* name : {"a.png", "b.png", "other/a.png"})
    fs::copy_file(testing::samplePortrait(), home / "in" / name);
  testing::writePlainPicture(home / "in" / "plain.jpg", 300, 200);
  std::ofstream(home / "in" / "broken.jpg") << "not a picture";
  // Already in the folder: must survive, the new copy takes a number.
  std::ofstream(home / "out" / "b.png") << "keep me";

  const std::string files = quoted(home / "in" / "a.png") + quoted(home / "in" / "broken.jpg") +
                            quoted(home / "in" / "b.png") + quoted(home / "in" / "other/a.png") +
                            quoted(home / "in" / "missing.png") + quoted(home / "in" / "plain.jpg");
  for (const char* jobs : {"1", "3"}) {
    SCOPED_TRACE(jobs);
    fs::remove_all(home / "out");
    fs::create_directories(home / "out");
    std::ofstream(home / "out" / "b.png") << "keep me";
    const auto run = runKadro(
        std::string("crop --preset Square --jobs ") + jobs + " -o " + quoted(home / "out") + files,
        home.path());
    EXPECT_EQ(run.status, 1) << run.err;
    // Not a terminal: one plain line per file, and each failure named.
    EXPECT_TRUE(contains(run.err, "/6] ")) << run.err;
    EXPECT_TRUE(contains(run.err, "could not crop " + (home / "in" / "broken.jpg").string()));
    EXPECT_TRUE(contains(run.err, "could not crop " + (home / "in" / "missing.png").string()));
    EXPECT_FALSE(contains(run.err, "could not crop " + (home / "in" / "a.png").string()));
    EXPECT_EQ(run.out, "");

    EXPECT_EQ(testing::readBytes(home / "out" / "b.png"), "keep me");
    std::set<std::string> written;
    for (const auto& entry : fs::directory_iterator(home / "out"))
      written.insert(entry.path().filename().string());
    EXPECT_EQ(written,
              (std::set<std::string>{"a.png", "a 1.png", "b.png", "b 1.png", "plain.jpg"}));
    for (const char* name : {"a.png", "a 1.png", "b 1.png"}) {
      const vips::VImage out = testing::reload(home / "out" / name);
      EXPECT_EQ(out.width(), out.height()) << name;  // the square around the face
      EXPECT_LT(out.width(), 512) << name;
    }
    // No face: the whole picture, as the single form writes it.
    EXPECT_EQ(testing::reload(home / "out" / "plain.jpg").width(), 300);
  }
  EXPECT_EQ(testing::readBytes(home / "in" / "broken.jpg"), "not a picture");
}

TEST(CropBatch, RefusesBadRequestsBeforeTouchingAnything) {
  TempFolder home;
  const std::string photo = quoted(testing::samplePortrait());
  const auto noFolder = runKadro("crop -o " + quoted(home / "missing") + photo, home.path());
  EXPECT_EQ(noFolder.status, 2);
  EXPECT_TRUE(contains(noFolder.err, "missing: no such folder")) << noFolder.err;
  EXPECT_FALSE(fs::exists(home / "missing"));

  const auto noFiles = runKadro("crop -o " + quoted(home.path()), home.path());
  EXPECT_EQ(noFiles.status, 2);
  for (const char* jobs : {"0", "-1", "two", "2x"}) {
    const auto bad = runKadro(
        std::string("crop --jobs ") + jobs + " -o " + quoted(home.path()) + photo, home.path());
    EXPECT_EQ(bad.status, 2) << jobs;
    EXPECT_TRUE(contains(bad.err, "--jobs must be a whole number")) << bad.err;
  }
  // --jobs belongs to the folder form; the single form keeps two files.
  const auto single = runKadro("crop --jobs 2 " + photo + quoted(home / "x.png"), home.path());
  EXPECT_EQ(single.status, 2);
  EXPECT_FALSE(fs::exists(home / "x.png"));
}

}  // namespace
}  // namespace kadro
