// kadro inspect, run as a child process on pictures made here.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>
#include <vips/vips8>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

[[maybe_unused]] const bool g_vipsStarted = VIPS_INIT("kadro_tests") == 0;

const std::string kAstronaut = std::string(KADRO_SAMPLES_DIR) + "/astronaut.png";

class InspectCommand : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kadro_inspect_" +
            std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(dir_);
    const vips::VImage one = vips::VImage::new_from_file(kAstronaut.c_str());
    one.join(one, VIPS_DIRECTION_HORIZONTAL).pngsave(file("pair.png").c_str());
    (vips::VImage::black(300, 200, vips::VImage::option()->set("bands", 3)) + 128)
        .cast(VIPS_FORMAT_UCHAR)
        .pngsave(file("grey.png").c_str());
    std::ofstream(file("damaged.jpg")) << "\xff\xd8\xff not really a JPEG";
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string file(const std::string& name) const { return (dir_ / name).string(); }

  // Runs kadro inspect; fills out_ and err_ and returns the exit status.
  int run(const std::vector<std::string>& arguments) {
    std::string command = "'" KADRO_STAGE_DIR "/bin/kadro' inspect";
    for (const std::string& a : arguments) command += " '" + a + "'";
    command += " >'" + file("out") + "' 2>'" + file("err") + "'";
    const int status = std::system(command.c_str());
    out_ = read(file("out"));
    err_ = read(file("err"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static std::string read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::vector<std::string> outLines() const {
    std::vector<std::string> lines;
    std::istringstream in(out_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  fs::path dir_;
  std::string out_;
  std::string err_;
};

TEST_F(InspectCommand, JsonGivesOneObjectPerReadableFileAndNothingElse) {
  const int status = run({"--json", kAstronaut, file("missing.png"), file("pair.png"),
                          file("grey.png"), file("damaged.jpg")});
  EXPECT_EQ(status, 1);  // two files could not be read
  const std::vector<std::string> lines = outLines();
  ASSERT_EQ(lines.size(), 3u) << out_ << err_;
  std::vector<json> reports;
  for (const std::string& line : lines) reports.push_back(json::parse(line));

  const json& astronaut = reports[0];
  EXPECT_EQ(astronaut["file"], kAstronaut);
  EXPECT_EQ(astronaut["width"], 512);
  EXPECT_EQ(astronaut["height"], 512);
  ASSERT_EQ(astronaut["faces"].size(), 1u);
  const json& eye = astronaut["faces"][0]["eye"];
  ASSERT_TRUE(eye.is_array());
  EXPECT_NEAR(eye[0].get<double>(), 224.5, 6);
  EXPECT_NEAR(eye[1].get<double>(), 102, 6);
  const json& box = astronaut["faces"][0]["box"];
  EXPECT_LT(box[1].get<double>(), eye[1].get<double>());  // top-left origin: the box starts above
  const json& crop = astronaut["crop"];
  ASSERT_TRUE(crop.is_array());
  EXPECT_NEAR((eye[1].get<double>() - crop[1].get<double>()) / crop[3].get<double>(), 0.33, 0.01);
  EXPECT_NEAR(crop[2].get<double>(), crop[3].get<double>(), 1);
  EXPECT_TRUE(astronaut["reason"].is_null());
  EXPECT_GT(astronaut["faces"][0]["score"].get<double>(), 0.8);
  EXPECT_LE(astronaut["faces"][0]["score"].get<double>(), 1);

  const json& pair = reports[1];
  EXPECT_EQ(pair["faces"].size(), 2u);
  EXPECT_TRUE(pair["crop"].is_null());
  // Which faces made it a group, in words.
  const std::string reason = pair["reason"];
  EXPECT_EQ(reason.rfind("2 faces: one at (", 0), 0u) << reason;
  EXPECT_NE(reason.find("; one at ("), std::string::npos) << reason;
  EXPECT_NE(reason.find("px wide, score 0."), std::string::npos) << reason;
  for (const json& face : pair["faces"]) {
    EXPECT_GT(face["score"].get<double>(), 0.8);
    EXPECT_TRUE(face["sure"].get<bool>());
  }

  const json& grey = reports[2];
  EXPECT_EQ(grey["faces"], json::array());
  EXPECT_TRUE(grey["crop"].is_null());
  EXPECT_EQ(grey["reason"], "no face");

  // The detector's lines and the unreadable files went to standard error.
  EXPECT_NE(err_.find("Found 2 faces"), std::string::npos) << err_;
  EXPECT_NE(err_.find(file("missing.png")), std::string::npos) << err_;
  EXPECT_NE(err_.find(file("damaged.jpg")), std::string::npos) << err_;
}

TEST_F(InspectCommand, TextGivesOneLinePerFileAfterTheDetectorsLines) {
  EXPECT_EQ(run({kAstronaut, file("pair.png"), file("grey.png")}), 0) << err_;
  const std::vector<std::string> lines = outLines();
  ASSERT_EQ(lines.size(), 9u) << out_;
  EXPECT_EQ(lines[1], "Found 1 faces");
  EXPECT_EQ(lines[2].rfind(kAstronaut + ": 512 x 512; face (", 0), 0u) << lines[2];
  EXPECT_NE(lines[2].find("; crop ("), std::string::npos) << lines[2];
  EXPECT_EQ(lines[4], "Found 2 faces");
  EXPECT_NE(lines[5].find("; not cropped: 2 faces"), std::string::npos) << lines[5];
  EXPECT_EQ(lines[8], file("grey.png") + ": 300 x 200; not cropped: no face");
  EXPECT_TRUE(err_.empty()) << err_;
}

TEST_F(InspectCommand, JsonCarriesFileNamesThatAreNotUtf8) {
  // A name written by a Latin-1 system: the byte E9 alone is no UTF-8.
  const std::string latin1 = file("caf\xe9.png");
  fs::copy_file(file("grey.png"), latin1);
  EXPECT_EQ(run({"--json", latin1, file("grey.png")}), 0) << err_;
  const std::vector<std::string> lines = outLines();
  ASSERT_EQ(lines.size(), 2u) << out_ << err_;
  const json first = json::parse(lines[0]);
  EXPECT_EQ(first["file"], file("caf\xef\xbf\xbd.png"));  // U+FFFD in place of the byte
  EXPECT_EQ(first["reason"], "no face");
  EXPECT_EQ(json::parse(lines[1])["file"], file("grey.png"));
}

TEST_F(InspectCommand, HelpAndUsageErrors) {
  EXPECT_EQ(run({"--help"}), 0);
  EXPECT_NE(out_.find("Usage: kadro inspect [--json] [--max-size N] FILE..."), std::string::npos);
  EXPECT_NE(out_.find("\"reason\""), std::string::npos);
  EXPECT_EQ(run({}), 2);
  EXPECT_NE(err_.find("no picture given"), std::string::npos);
  EXPECT_EQ(run({"--frobnicate", kAstronaut}), 2);
  EXPECT_NE(err_.find("'--frobnicate'"), std::string::npos);
  EXPECT_TRUE(out_.empty());
}

}  // namespace
