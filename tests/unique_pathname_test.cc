#include "Plugin/unique_pathname.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Plugin/file_url.h"

namespace kadro {
namespace {

namespace fs = std::filesystem;

class UniquePathnameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/kadro-unique-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override { fs::remove_all(dir_); }
  void touch(const std::string& name, const std::string& content = "x") {
    std::ofstream(dir_ / name) << content;
  }
  std::string folderUrl() const { return fileUrlFromPath(dir_.string()); }
  std::string nameOf(const std::string& url) const {
    return fs::path(*pathFromFileUrl(url)).filename().string();
  }
  fs::path dir_;
};

TEST_F(UniquePathnameTest, NumbersTakenNamesBeforeTheExtension) {
  EXPECT_EQ(nameOf(uniquePathname(folderUrl(), "portrait.jpg")), "portrait.jpg");
  touch("portrait.jpg");
  EXPECT_EQ(nameOf(uniquePathname(folderUrl(), "portrait.jpg")), "portrait 1.jpg");
  touch("a.png");
  touch("a 1.png");
  EXPECT_EQ(nameOf(uniquePathname(folderUrl(), "a.png")), "a 2.png");
  touch("notes");
  EXPECT_EQ(nameOf(uniquePathname(folderUrl(), "notes")), "notes 1");
  touch("my.photo.JPG");
  EXPECT_EQ(nameOf(uniquePathname(folderUrl(), "my.photo.JPG")), "my.photo 1.JPG");
}

TEST_F(UniquePathnameTest, ChoosesWithoutCreatingAndCountsLinksAsTaken) {
  touch("x.png", "original");
  const std::string url = uniquePathname(folderUrl(), "x.png");
  EXPECT_EQ(nameOf(url), "x 1.png");
  // Nothing is left at the chosen name: an interrupted export leaves no
  // empty file there.
  EXPECT_FALSE(fs::exists(*pathFromFileUrl(url)));
  EXPECT_EQ(nameOf(uniquePathname(folderUrl(), "x.png")), "x 1.png");
  // A link at a name, even one to nothing, is never chosen.
  fs::create_symlink(dir_ / "nowhere", dir_ / "x 1.png");
  EXPECT_EQ(nameOf(uniquePathname(folderUrl(), "x.png")), "x 2.png");
}

TEST_F(UniquePathnameTest, NumberedNamesKeepTheExtension) {
  EXPECT_EQ(numberedName("a.png", 3), "a 3.png");
  EXPECT_EQ(numberedName("my.photo.JPG", 1), "my.photo 1.JPG");
  EXPECT_EQ(numberedName("notes", 2), "notes 2");
  EXPECT_EQ(numberedName(".profile", 1), ".profile 1");
  const std::string url = uniquePathname(fileUrlFromPath((dir_ / "gone").string()), "a.png");
  EXPECT_EQ(*pathFromFileUrl(url), (dir_ / "gone" / "a.png").string());
  EXPECT_FALSE(fs::exists(dir_ / "gone"));
}

}  // namespace
}  // namespace kadro
