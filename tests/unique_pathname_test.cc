#include "Plugin/unique_pathname.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

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
  EXPECT_EQ(nameOf(uniquePathname(folderUrl(), "portrait.jpg")), "portrait 1.jpg");
  touch("a.png");
  touch("a 1.png");
  EXPECT_EQ(nameOf(uniquePathname(folderUrl(), "a.png")), "a 2.png");
  touch("notes");
  EXPECT_EQ(nameOf(uniquePathname(folderUrl(), "notes")), "notes 1");
  touch("my.photo.JPG");
  EXPECT_EQ(nameOf(uniquePathname(folderUrl(), "my.photo.JPG")), "my.photo 1.JPG");
}

TEST_F(UniquePathnameTest, ClaimsTheNameSoAnExistingFileIsNeverChosen) {
  touch("x.png", "original");
  const std::string url = uniquePathname(folderUrl(), "x.png");
  EXPECT_EQ(nameOf(url), "x 1.png");
  EXPECT_TRUE(fs::exists(*pathFromFileUrl(url)));
  std::ifstream in(dir_ / "x.png");
  std::string content;
  in >> content;
  EXPECT_EQ(content, "original");
}

TEST_F(UniquePathnameTest, ConcurrentExportsNeverShareAName) {
  std::vector<std::string> urls[2];
  std::thread a([&] {
    for (int i = 0; i < 40; ++i) urls[0].push_back(uniquePathname(folderUrl(), "p.jpg"));
  });
  std::thread b([&] {
    for (int i = 0; i < 40; ++i) urls[1].push_back(uniquePathname(folderUrl(), "p.jpg"));
  });
  a.join();
  b.join();
  std::set<std::string> all(urls[0].begin(), urls[0].end());
  all.insert(urls[1].begin(), urls[1].end());
  EXPECT_EQ(all.size(), 80u);
}

TEST_F(UniquePathnameTest, MissingFolderGivesThePlainCandidateAndReleaseKeepsContent) {
  const std::string url = uniquePathname(fileUrlFromPath((dir_ / "gone").string()), "a.png");
  EXPECT_EQ(*pathFromFileUrl(url), (dir_ / "gone" / "a.png").string());
  EXPECT_FALSE(fs::exists(dir_ / "gone"));

  const std::string claimed = uniquePathname(folderUrl(), "b.png");
  releaseUnusedClaim(claimed);
  EXPECT_FALSE(fs::exists(dir_ / "b.png"));
  touch("c.png", "data");
  releaseUnusedClaim(fileUrlFromPath((dir_ / "c.png").string()));
  EXPECT_TRUE(fs::exists(dir_ / "c.png"));
}

}  // namespace
}  // namespace kadro
