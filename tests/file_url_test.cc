#include "Plugin/file_url.h"

#include <gtest/gtest.h>

#include "SmartCrop/image_io.h"

namespace kadro {
namespace {

TEST(FileUrl, LocalFileUrlsInEveryAllowedSpellingNameTheirPath) {
  for (const char* url :
       {"file:///tmp/a%20b/c.png", "file://localhost/tmp/a%20b/c.png", "FILE:///tmp/a%20b/c.png",
        "File://LocalHost/tmp/a%20b/c.png", "file:/tmp/a%20b/c.png"}) {
    EXPECT_EQ(pathFromFileUrl(url), "/tmp/a b/c.png") << url;
    EXPECT_EQ(localPath(url), "/tmp/a b/c.png") << url;
  }
  EXPECT_EQ(pathFromFileUrl("file:///tmp/out/"), "/tmp/out/");
  EXPECT_EQ(pathFromFileUrl("file:///"), "/");
  // Round trip through the URL form, non-ASCII bytes and reserved characters included.
  for (const std::string path : {"/tmp/x y/%41?#;.jpg", "/tmp/\xc3\xa9t\xc3\xa9.png"})
    EXPECT_EQ(pathFromFileUrl(fileUrlFromPath(path)), path) << path;
}

TEST(FileUrl, UrlsThatNameNoLocalFileGiveNothing) {
  for (const char* url : {"file://server/share/c.png", "file://user@localhost/tmp/c.png",
                          "file://localhost:8080/tmp/c.png", "http://localhost/tmp/c.png",
                          "file:///tmp/a%2Fb.png", "file:///tmp/a%00b.png", "file:///tmp/c.png?x=1",
                          "file:///tmp/c.png#top", "file:relative.png", "not a url", ""}) {
    EXPECT_FALSE(pathFromFileUrl(url)) << url;
    EXPECT_FALSE(localPath(url) && std::string(url).find(':') != std::string::npos) << url;
  }
}

}  // namespace
}  // namespace kadro
