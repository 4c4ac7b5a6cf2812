// kadro export: the publishing flow run by the program as the host.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

TEST(KadroExport, OptionsThatDoNotGoTogetherAreNamedAsTyped) {
  TempFolder home;
  fs::create_directory(home / "out");
  const std::string start = "export --dest " + quoted(home / "out") + " ";
  const std::string photo = quoted(testing::samplePortrait());
  const std::pair<std::string, std::string> cases[] = {
      {"--type none --max-size 300", "--max-size 300 does not go with --type none"},
      {"--no-border --border-width 5", "--border-width 5 does not go with --no-border"},
      {"--border-color '#ffcc00' --no-border",
       "--border-color #ffcc00 does not go with --no-border"},
  };
  for (const auto& [options, message] : cases) {
    const auto run = runKadro(start + options + " " + photo, home.path());
    EXPECT_EQ(run.status, 1) << options;
    EXPECT_TRUE(contains(run.err, "kadro export: " + message)) << run.err;
    // The panel's element identifiers mean nothing to the person typing.
    EXPECT_FALSE(contains(run.err, "-publish")) << run.err;
  }
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

// The files a folder holds, hidden ones included.
std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Runs kadro with its progress lines on a pipe, and sends `signal` once the
// first file is reported done. The exit status, or -1.
int runAndSignalAfterTheFirstFile(const std::vector<std::string>& arguments, const fs::path& home,
                                  int signal, std::string* out) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) return -1;
  const std::string program = KADRO_STAGE_DIR "/bin/kadro";
  const std::string config = "XDG_CONFIG_HOME=" + home.string();
  const std::string outFile = (home / "stdout.txt").string();
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> env{const_cast<char*>(config.c_str())};
  for (char** e = environ; *e; ++e)
    if (std::string_view(*e).substr(0, 16) != "XDG_CONFIG_HOME=") env.push_back(*e);
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeEnds[1]);
  if (spawned != 0) {
    ::close(pipeEnds[0]);
    return -1;
  }
  std::string err;
  bool sent = false;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
    err.append(buffer, static_cast<std::size_t>(n));
    if (!sent && (err.rfind("1/", 0) == 0 || contains(err, "\n1/"))) {
      ::kill(pid, signal);
      sent = true;
    }
  }
  ::close(pipeEnds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  *out = testing::readBytes(outFile) + err;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(KadroExport, SaysHowManyFilesWereWrittenWhenOneFails) {
  TempFolder home;
  fs::create_directory(home / "out");
  fs::copy_file(testing::samplePortrait(), home / "a.png");
  std::ofstream(home / "broken.png") << "not a picture";
  const std::string dest = "export --dest " + quoted(home / "out") + " ";

  auto run = runKadro(dest + quoted(home / "a.png") + " " + quoted(home / "broken.png") + " " +
                          quoted(home / "a.png"),
                      home.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(contains(run.out, "cropped 1 of 3 files\n")) << run.out;
  EXPECT_TRUE(contains(run.err, "broken.png; 1 of 3 files written")) << run.err;

  // Every file failing is never reported as cropped.
  run = runKadro(dest + quoted(home / "broken.png"), home.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(contains(run.out, "cropped 0 of 1 files\n")) << run.out;
  EXPECT_FALSE(contains(run.out, "cropped 1 files")) << run.out;
  EXPECT_EQ(namesIn(home / "out"), std::vector<std::string>{"a.png"});

  const auto open = runKadro("open-with Square " + quoted(home / "a.png") + " " +
                                 quoted(home / "broken.png") + " " + quoted(home / "a.png"),
                             home.path());
  EXPECT_EQ(open.status, 1);
  EXPECT_TRUE(contains(open.err, "broken.png; 1 of 3 files written")) << open.err;
}

TEST(KadroExport, AFullDiskNamesTheFileAndTheCauseAndLeavesNothing) {
  TempFolder home;
  fs::create_directory(home / "out");
  const auto bands = vips::VImage::gaussnoise(300, 300);
  bands.bandjoin({bands.rot90(), bands.flip(VIPS_DIRECTION_HORIZONTAL)})
      .cast(VIPS_FORMAT_UCHAR)
      .pngsave((home / "noise.png").c_str());
  // A file size limit stands for a disk that fills up part-way.
  const std::string command = "ulimit -f 40; XDG_CONFIG_HOME=" + quoted(home.path()) + " " +
                              quoted(KADRO_STAGE_DIR "/bin/kadro") + " export --type none --dest " +
                              quoted(home / "out") + " " + quoted(home / "noise.png") + " >" +
                              quoted(home / "log.txt") + " 2>&1";
  const int status = std::system(command.c_str());
  const std::string log = testing::readBytes(home / "log.txt");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << log;
  EXPECT_TRUE(contains(
      log, "writing image failed!\n" + (home / "out" / "noise.png").string() + ": file too large"))
      << log;
  EXPECT_TRUE(contains(log, "0 of 1 files written")) << log;
  EXPECT_TRUE(fs::is_empty(home / "out"));
}

TEST(KadroExport, TermAndHangUpStopAfterTheCurrentFileAndSayHowFarItGot) {
  TempFolder home;
  std::vector<std::string> files;
  for (const char* name : {"a.png", "b.png", "c.png", "d.png", "e.png", "f.png"}) {
    fs::copy_file(testing::samplePortrait(), home / name);
    files.push_back((home / name).string());
  }
  for (const int signal : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    fs::remove_all(home / "out");
    fs::create_directory(home / "out");
    std::vector<std::string> arguments{"export", "--dest", (home / "out").string()};
    arguments.insert(arguments.end(), files.begin(), files.end());
    std::string output;
    EXPECT_EQ(runAndSignalAfterTheFirstFile(arguments, home.path(), signal, &output), 128 + signal)
        << output;
    const std::vector<std::string> written = namesIn(home / "out");
    ASSERT_GE(written.size(), 1u);
    ASSERT_LT(written.size(), files.size());
    // Whole files only, none hidden, and the count said.
    for (const std::string& name : written) {
      EXPECT_NE(name[0], '.') << name;
      EXPECT_GT(fs::file_size(home / "out" / name), 0u) << name;
    }
    EXPECT_TRUE(
        contains(output, "cancelled: " + std::to_string(written.size()) + " of 6 files written"))
        << output;
  }
}

}  // namespace
}  // namespace kadro
