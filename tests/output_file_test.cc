// What a write leaves behind when another program changes the destination
// meanwhile, when a signal or a crash ends the process, and when the disk
// or the folder refuses the file.
#include "SmartCrop/output_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "SmartCrop/diagnostics.h"
#include "SmartCrop/image_io.h"
#include "SmartCrop/smart_crop.h"
#include "tests/image_test_support.h"

namespace kadro {
namespace {

namespace fs = std::filesystem;
using testing::gradient;
using testing::reload;

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A picture that does not compress: about 1 MB as PNG.
vips::VImage noise(int width, int height) {
  vips::VImage bands =
      vips::VImage::gaussnoise(width, height, vips::VImage::option()->set("sigma", 80.0));
  return bands.bandjoin({bands.rot90(), bands.flip(VIPS_DIRECTION_HORIZONTAL)})
      .cast(VIPS_FORMAT_UCHAR);
}

std::string numbered(unsigned k) { return "p " + std::to_string(k) + ".png"; }

class WriteSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    // A death test's child runs the test again: it takes its parent's
    // folder, which the parent then looks at.
    const bool child = !GTEST_FLAG_GET(internal_run_death_test).empty();
    dir_ = fs::temp_directory_path() /
           ("kadro-write-" + std::to_string(child ? ::getppid() : ::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    if (!child) {
      fs::remove_all(dir_);
      fs::create_directories(dir_);
    }
    setDiagnosticStream(&log_);
  }
  void TearDown() override {
    setBeforeCommitHookForTesting(nullptr);
    useNamedTemporariesForTesting(false);
    setDiagnosticStream(nullptr);
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir_);
  }
  std::string file(const std::string& name) const { return dir_ / name; }
  // The folder's entries, hidden ones included.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  static Action none() { return Action("Whole", "none", 400); }

  fs::path dir_;
  std::ostringstream log_;
};

// ---- another program at the destination ------------------------------------

TEST_F(WriteSafety, AnInPlaceJobReplacesOnlyTheFileItRead) {
  gradient(120, 80).pngsave(file("other.png").c_str());
  const std::string other = readBytes(file("other.png"));
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "hidden temporary" : "unnamed temporary");
    useNamedTemporariesForTesting(named);

    // Replaced by another file while it was cropped: the newcomer stays.
    gradient(60, 40).pngsave(file("p.png").c_str());
    setBeforeCommitHookForTesting([&] {
      fs::copy_file(file("other.png"), file("swap.png"));
      fs::rename(file("swap.png"), file("p.png"));
    });
    log_.str("");
    EXPECT_FALSE(processImage(file("p.png"), file("p.png"), none()));
    EXPECT_TRUE(readBytes(file("p.png")) == other);
    EXPECT_TRUE(contains(log_.str(), "writing image failed!\n" + file("p.png") + ": changed"))
        << log_.str();

    // Removed while it was cropped: not created again.
    setBeforeCommitHookForTesting([&] { fs::remove(file("p.png")); });
    log_.str("");
    EXPECT_FALSE(processImage(file("p.png"), file("p.png"), none()));
    EXPECT_FALSE(fs::exists(file("p.png")));
    EXPECT_TRUE(contains(log_.str(), file("p.png") + ": was removed")) << log_.str();

    // Rewritten in place (same file, new content): left as it is.
    gradient(60, 40).pngsave(file("p.png").c_str());
    setBeforeCommitHookForTesting([&] { std::ofstream(file("p.png"), std::ios::app) << "more"; });
    const std::string before = readBytes(file("p.png"));
    EXPECT_FALSE(processImage(file("p.png"), file("p.png"), none()));
    EXPECT_TRUE(readBytes(file("p.png")) == before + "more");

    // Left alone, it is replaced; a link to it is followed once, before the
    // file is read, and stays a link.
    setBeforeCommitHookForTesting(nullptr);
    fs::create_symlink(file("p.png"), file("link.png"));
    struct stat old {};
    ASSERT_EQ(::stat(file("p.png").c_str(), &old), 0);
    EXPECT_TRUE(processImage(file("link.png"), file("link.png"), none()));
    EXPECT_TRUE(fs::is_symlink(file("link.png")));
    struct stat replaced {};
    ASSERT_EQ(::stat(file("p.png").c_str(), &replaced), 0);
    EXPECT_NE(replaced.st_ino, old.st_ino);
    EXPECT_EQ(reload(file("p.png")).width(), 60);
    EXPECT_EQ(entries(), (std::vector<std::string>{"link.png", "other.png", "p.png"}));
    fs::remove(file("link.png"));
  }
  // Another name of the same file is that name: the job replaces it there
  // and the first name keeps the old content.
  fs::create_hard_link(file("p.png"), file("hard.png"));
  const std::string old = readBytes(file("p.png"));
  EXPECT_TRUE(processImage(file("p.png"), file("hard.png"), none()));
  EXPECT_TRUE(readBytes(file("p.png")) == old);
  EXPECT_EQ(fs::hard_link_count(file("p.png")), 1u);
}

TEST_F(WriteSafety, TheSourceIsReadFromTheFileOpenedNotFromItsName) {
  gradient(60, 40).pngsave(file("p.png").c_str());
  noise(90, 30).pngsave(file("other.png").c_str());
  std::string error;
  const auto source = ImageSource::open(file("p.png"), &error);
  ASSERT_TRUE(source) << error;
  fs::rename(file("other.png"), file("p.png"));
  const Raster decoded = source->decode(1, /*streamed=*/true);
  EXPECT_EQ(decoded.width(), 60);
  EXPECT_EQ(decoded.image().avg(), gradient(60, 40).avg());
  ASSERT_EQ(::mkfifo(file("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(ImageSource::open(file("fifo"), &error));  // refused, not waited on
  EXPECT_TRUE(contains(error, "fifo: cannot read image (not a regular file)")) << error;
}

TEST_F(WriteSafety, ANewFileNeverReplacesAndNeverFollowsWhatAppearsAtItsName) {
  const Raster picture(gradient(40, 40));
  std::ofstream(file("victim.txt")) << "precious";
  WritePlan numbering;
  numbering.alternative = numbered;
  WriteFailure failure;
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "hidden temporary" : "unnamed temporary");
    useNamedTemporariesForTesting(named);
    // Until the file is complete nothing is at its name; then a link to
    // someone's file appears there.
    bool freeUntilTheEnd = false;
    setBeforeCommitHookForTesting([&] {
      freeUntilTheEnd = !fs::exists(fs::symlink_status(file("p.png")));
      fs::create_symlink(file("victim.txt"), file("p.png"));
    });
    EXPECT_EQ(writeImageFile(picture, file("p.png"), 72, numbering, &failure), file("p 1.png"));
    EXPECT_TRUE(freeUntilTheEnd);
    EXPECT_TRUE(readBytes(file("victim.txt")) == "precious");
    EXPECT_TRUE(fs::is_symlink(file("p.png")));
    EXPECT_EQ(reload(file("p 1.png")).width(), 40);

    // A plain file appearing at the name and the next numbers: the first
    // free number.
    setBeforeCommitHookForTesting([&] { std::ofstream(file("p 2.png")) << "theirs"; });
    EXPECT_EQ(writeImageFile(picture, file("p.png"), 72, numbering, &failure), file("p 3.png"));
    EXPECT_TRUE(readBytes(file("p 2.png")) == "theirs");

    // Without numbering, a name taken meanwhile fails and stays theirs.
    setBeforeCommitHookForTesting([&] { std::ofstream(file("new.png")) << "theirs"; });
    EXPECT_FALSE(writeImageFile(picture, file("new.png"), 72, {}, &failure));
    EXPECT_EQ(failure.line,
              file("new.png") + ": was created by another program meanwhile; left alone");
    EXPECT_TRUE(readBytes(file("new.png")) == "theirs");
    EXPECT_EQ(entries(), (std::vector<std::string>{"new.png", "p 1.png", "p 2.png", "p 3.png",
                                                   "p.png", "victim.txt"}));
    for (const char* name : {"new.png", "p 1.png", "p 2.png", "p 3.png", "p.png"})
      fs::remove(file(name));
  }
}

// ---- signals and crashes -----------------------------------------------------

class WriteSafetyDeathTest : public WriteSafety {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    WriteSafety::SetUp();
  }
};

TEST_F(WriteSafetyDeathTest, ASignalOrACrashLeavesAWholeFileOrNothing) {
  gradient(300, 200).pngsave(file("p.png").c_str());
  const std::string original = readBytes(file("p.png"));
  struct Case {
    bool named;
    int signal;
  };
  // A hidden temporary cannot outlive SIGKILL; an unnamed one always goes.
  for (const Case c : {Case{false, SIGKILL}, Case{false, SIGTERM}, Case{true, SIGTERM},
                       Case{true, SIGHUP}, Case{true, SIGINT}, Case{true, SIGABRT}}) {
    SCOPED_TRACE(std::string(c.named ? "hidden " : "unnamed ") + strsignal(c.signal));
    // As in a process that has not changed the signal's action (a shell
    // may have started this one with some ignored).
    const auto stop = [signal = c.signal] { std::raise(signal); };
    if (c.signal != SIGKILL) std::signal(c.signal, SIG_DFL);
    // Publishing a copy, just before it takes its name.
    EXPECT_EXIT(
        {
          useNamedTemporariesForTesting(c.named);
          setBeforeCommitHookForTesting(stop);
          WritePlan plan;
          plan.alternative = numbered;
          WriteFailure failure;
          writeImageFile(Raster(gradient(300, 200)), file("copy.png"), 72, plan, &failure);
          std::_Exit(0);
        },
        ::testing::KilledBySignal(c.signal), "");
    // Replacing the file in place, once the new one has its hidden name.
    EXPECT_EXIT(
        {
          useNamedTemporariesForTesting(c.named);
          setBeforeCommitHookForTesting(stop);
          processImage(file("p.png"), file("p.png"), Action("Whole", "none", 400));
          std::_Exit(0);
        },
        ::testing::KilledBySignal(c.signal), "");
    EXPECT_EQ(entries(), std::vector<std::string>{"p.png"});
    EXPECT_TRUE(readBytes(file("p.png")) == original);
  }
}

TEST_F(WriteSafetyDeathTest, AFullDiskOrAFolderThatRefusesNamesTheFileAndTheCause) {
  // A file size limit stands for a full disk: the write fails part-way.
  const auto writeUnderLimit = [&](bool ignoreSignal) {
    std::signal(SIGXFSZ, ignoreSignal ? SIG_IGN : SIG_DFL);
    useNamedTemporariesForTesting(!ignoreSignal);
    const rlimit limit{64 * 1024, 64 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    setDiagnosticStream(&std::cerr);
    const bool written = writeCGImage(Raster(noise(400, 400)), file("big.png"), 72);
    std::_Exit(written ? 0 : 3);
  };
  EXPECT_EXIT(writeUnderLimit(true), ::testing::ExitedWithCode(3),
              "writing image failed!\n.*/big.png: file too large");
  // Where the limit's signal ends the process, the hidden file goes first.
  EXPECT_EXIT(writeUnderLimit(false), ::testing::KilledBySignal(SIGXFSZ), "");
  EXPECT_TRUE(entries().empty());

  // A folder that does not let the user in (as root: a user without rights).
  const auto writeAsOther = [&](const std::string& path) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) std::_Exit(4);
    setDiagnosticStream(&std::cerr);
    std::_Exit(writeCGImage(Raster(gradient(20, 20)), path, 72) ? 0 : 3);
  };
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  if (::geteuid() != 0) fs::permissions(dir_, fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_EXIT(writeAsOther(file("x.png")), ::testing::ExitedWithCode(3),
              "writing image failed!\n.*/x.png: permission denied");
  fs::permissions(dir_, fs::perms::owner_write, fs::perm_options::add);
  EXPECT_TRUE(entries().empty());

  // A "folder" that is a file, and a destination that is a folder.
  std::ofstream(file("notes.txt")) << "x";
  EXPECT_FALSE(writeCGImage(Raster(gradient(20, 20)), file("notes.txt/x.png"), 72));
  EXPECT_EQ(log_.str(), "writing image failed!\n" + file("notes.txt/x.png") + ": " +
                            file("notes.txt") + " is not a folder\n");
  fs::create_directory(file("folder.png"));
  log_.str("");
  EXPECT_FALSE(writeCGImage(Raster(gradient(20, 20)), file("folder.png"), 72));
  EXPECT_EQ(log_.str(), "writing image failed!\n" + file("folder.png") + ": is a folder\n");
  EXPECT_EQ(entries(), (std::vector<std::string>{"folder.png", "notes.txt"}));
}

}  // namespace
}  // namespace kadro
