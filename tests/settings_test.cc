#include "Plugin/settings.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SmartCrop/diagnostics.h"
#include "tests/store_test_support.h"

namespace kadro {
namespace {

namespace fs = std::filesystem;

// Every test of this program works in a throw-away configuration folder, so
// that nothing, whichever test first touches Settings::shared(), reaches the
// user's own presets.
struct IsolatedConfigHome {
  fs::path folder;
  IsolatedConfigHome() {
    std::string pattern = (fs::temp_directory_path() / "kadro-config-XXXXXX").string();
    if (mkdtemp(pattern.data())) folder = pattern;
    setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
  }
  ~IsolatedConfigHome() {
    std::error_code ec;
    if (!folder.empty()) fs::remove_all(folder, ec);
  }
};
const IsolatedConfigHome g_config_home;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

using testing::RawStore;
using testing::StoreLock;

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kadro-store-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    path_ = folder_ / "suite.sqlite";
    setDiagnosticStream(&log_);
  }
  void TearDown() override {
    setDiagnosticStream(nullptr);
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

  std::vector<std::string> logLines() const {
    std::vector<std::string> lines;
    std::istringstream in(log_.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // The store files renamed aside as unusable.
  std::vector<fs::path> filesSetAside() const {
    std::vector<fs::path> aside;
    for (const auto& entry : fs::directory_iterator(folder_))
      if (entry.path().filename().string().rfind("suite.unusable-", 0) == 0)
        aside.push_back(entry.path());
    return aside;
  }

  fs::path folder_;
  fs::path path_;
  std::ostringstream log_;
};

void expectBuiltIns(const PresetMap& presets) {
  struct Row {
    const char *key, *type;
    std::int64_t maxSize, borderWidth;
    const char *borderColor, *borderColorCustom;
  };
  const Row rows[] = {{"Circle", "circle", 600, 15, "white", "#333333"},
                      {"Hexagon", "hex", 144, 2, "custom", "#ffcc00"},
                      {"Just Border", "none", 400, 20, "custom", "#991111"},
                      {"Square", "square", 400, 2, "black", "#333333"}};
  ASSERT_EQ(presets.size(), 4u);
  auto it = presets.begin();
  for (const Row& row : rows) {
    ASSERT_EQ(it->first, row.key);
    const Action& a = it->second;
    EXPECT_EQ(a.name, row.key);
    EXPECT_EQ(a.destFolder, defaultDestFolder());
    EXPECT_EQ(a.type, row.type);
    EXPECT_EQ(a.maxSize, row.maxSize);
    EXPECT_TRUE(a.borderEnabled);
    EXPECT_EQ(a.borderWidth, row.borderWidth);
    EXPECT_EQ(a.borderColor, row.borderColor);
    EXPECT_EQ(a.borderColorCustom, row.borderColorCustom);
    ++it;
  }
}

TEST_F(SettingsTest, FirstUseSeedsTheBuiltInsOnceAsCompactOrderedJson) {
  {
    Settings store(path_.string());
    EXPECT_EQ(store.path(), path_.string());
    expectBuiltIns(store.presets());
  }
  RawStore raw(path_);
  ASSERT_TRUE(raw.bytes("initialized"));
  const std::string document = *raw.bytes("presets");
  EXPECT_EQ(document.find(": "), std::string::npos);
  const auto doc = nlohmann::ordered_json::parse(document);
  std::vector<std::string> members;
  for (const auto& [key, value] : doc["Square"].items()) members.push_back(key);
  EXPECT_EQ(members,
            (std::vector<std::string>{"name", "destFolder", "type", "maxSize", "borderEnabled",
                                      "borderWidth", "borderColor", "borderColorCustom"}));
  EXPECT_TRUE(logLines().empty());

  // Deleting every preset does not bring the built-ins back on a later start.
  Settings(path_.string()).setPresets({});
  EXPECT_EQ(Settings(path_.string()).presets().count("Default"), 1u);
}

// The first-use marker missing or stored as text (a copied or damaged file):
// the presets the file holds stay, and only the marker is written.
TEST_F(SettingsTest, FirstUseNeverReplacesAStoredDocument) {
  const std::string mine = encodePresets({{"Mine", Action("Mine", "octo", 0)}});
  for (const std::string marker : {"", "1", "0"}) {
    fs::remove(path_);
    {
      RawStore raw(path_);
      raw.put("presets", mine);
      if (!marker.empty()) raw.put("initialized", marker);
    }
    Settings store(path_.string());
    EXPECT_EQ(store.presets().count("Mine"), 1u) << marker;
    EXPECT_EQ(RawStore(path_).bytes("presets"), mine) << marker;
    EXPECT_EQ(Settings(path_.string()).presets().count("Mine"), 1u) << marker;
  }
}

TEST_F(SettingsTest, InitializedWithoutPresetsReadsBuiltInsAndWritesNothing) {
  RawStore(path_).putTrue("initialized");
  Settings store(path_.string());
  expectBuiltIns(store.presets());
  EXPECT_FALSE(RawStore(path_).bytes("presets"));
}

TEST_F(SettingsTest, EmptyCollectionReadsAsTheSingleDefaultPreset) {
  Settings store(path_.string());
  store.setPresets({});
  EXPECT_EQ(RawStore(path_).bytes("presets"), "{}");
  const PresetMap presets = store.presets();
  ASSERT_EQ(presets.size(), 1u);
  const Action& a = presets.at("Default");
  EXPECT_EQ(a.name, "Default");
  EXPECT_EQ(a.type, "square");
  EXPECT_EQ(a.maxSize, 400);
  EXPECT_FALSE(a.borderEnabled);
  EXPECT_EQ(a.borderWidth, 15);
  EXPECT_EQ(a.borderColor, "white");
  EXPECT_EQ(a.borderColorCustom, "#333333");
  EXPECT_EQ(RawStore(path_).bytes("presets"), "{}") << "reading wrote the fallback";
}

TEST_F(SettingsTest, DamagedDocumentLogsOnEveryReadAndStaysStored) {
  Settings store(path_.string());
  const std::string lacking =
      R"({"Mine":{"name":"Mine","destFolder":"file:///x","type":"circle","maxSize":10,)"
      R"("borderEnabled":true,"borderColor":"black","borderColorCustom":"#000000"}})";
  for (const std::string& bad : {lacking, std::string("not json"), std::string("[]"),
                                 std::string(R"({"A":{"name":"A"}, "B": 7})")}) {
    log_.str("");
    RawStore(path_).put("presets", bad);
    const PresetRead read = store.read();
    expectBuiltIns(read.presets);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.failure->file(), path_.string());
    expectBuiltIns(store.presets());
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 2u) << bad;
    EXPECT_EQ(lines[0].rfind("unable to decode preset: ", 0), 0u) << lines[0];
    EXPECT_GT(lines[0].size(), std::string("unable to decode preset: ").size());
    EXPECT_EQ(RawStore(path_).bytes("presets"), bad);
  }
  // The error names what is wrong and where.
  log_.str("");
  RawStore(path_).put("presets", lacking);
  store.presets();
  ASSERT_EQ(logLines().size(), 1u);
  EXPECT_NE(logLines()[0].find("borderWidth"), std::string::npos) << logLines()[0];
  EXPECT_NE(logLines()[0].find("Mine"), std::string::npos) << logLines()[0];
}

TEST_F(SettingsTest, WritesReadBackEqualAcrossRestarts) {
  PresetMap presets;
  Action odd("", "trapezoid", -1, true, 0, "Black", "#+0ffff");
  odd.destFolder = "file:///tmp/a%20b/";
  presets.emplace("key differs from name", odd);
  presets.emplace("Zoë \"quoted\" / slash", Action("Zoë", "octo", 9000));
  {
    Settings store(path_.string());
    store.setPresets(presets);
    EXPECT_EQ(store.presets(), presets);
  }
  EXPECT_EQ(Settings(path_.string()).presets(), presets);
  EXPECT_TRUE(logLines().empty());
}

TEST_F(SettingsTest, FailedWritesThrowAndKeepThePreviousCollection) {
  Settings store(path_.string());
  store.read();
  const auto before = RawStore(path_).bytes("presets");
  try {
    store.setPresets({{"bad", Action("\xff\xfe", "square", 400)}});
    ADD_FAILURE() << "text that is no UTF-8 was stored";
  } catch (const PresetStoreError& e) {
    EXPECT_EQ(e.file(), path_.string());
    EXPECT_NE(e.cause().find("JSON"), std::string::npos) << e.cause();
  }
  // A change that gives up is not written either.
  EXPECT_THROW(store.update([](PresetMap& presets) {
    presets.clear();
    throw std::runtime_error("changed my mind");
  }),
               std::runtime_error);
  EXPECT_EQ(RawStore(path_).bytes("presets"), before);
  EXPECT_TRUE(logLines().empty());
}

// A stored document that does not decode is copied aside, whole, before
// anything replaces it; the update that found it fails and names the copy,
// and the next one starts from the built-ins that readers were shown.
TEST_F(SettingsTest, DamagedDocumentIsCopiedAsideBeforeItIsReplaced) {
  Settings store(path_.string());
  PresetMap mine = Settings::defaultPresets();
  mine.emplace("Mine", Action("Mine", "octo", 77));
  store.setPresets(mine);
  std::string damaged = *RawStore(path_).bytes("presets");
  damaged[damaged.find("\"maxSize\":77") + 10] = 'x';  // one byte
  RawStore(path_).put("presets", damaged);

  const auto addRing = [](PresetMap& presets) {
    presets.emplace("Ring", Action("Ring", "circle", 10));
  };
  std::string copy;
  try {
    store.update(addRing);
    ADD_FAILURE() << "a damaged document was replaced at once";
  } catch (const PresetStoreError& e) {
    EXPECT_EQ(e.file(), path_.string());
    const auto quote = e.cause().find("\"" + folder_.string());
    ASSERT_NE(quote, std::string::npos) << e.cause();
    copy = e.cause().substr(quote + 1, e.cause().find('"', quote + 1) - quote - 1);
  }
  EXPECT_EQ(fs::path(copy).filename().string().rfind("suite.damaged-presets-", 0), 0u) << copy;
  EXPECT_EQ(readFile(copy), damaged);
  EXPECT_EQ(RawStore(path_).bytes("presets"), damaged);

  store.update(addRing);
  PresetMap expected = Settings::defaultPresets();
  addRing(expected);
  EXPECT_EQ(store.presets(), expected);
  EXPECT_EQ(readFile(copy), damaged);
  // Damaged again, differently: a second copy beside the first.
  RawStore(path_).put("presets", "{");
  EXPECT_THROW(store.update(addRing), PresetStoreError);
  int copies = 0;
  for (const auto& entry : fs::directory_iterator(folder_))
    copies += entry.path().filename().string().find(".damaged-presets-") != std::string::npos;
  EXPECT_EQ(copies, 2);
}

// A file that is no database is renamed aside with its bytes, never
// written over, and a fresh store takes its place; both names are said.
TEST_F(SettingsTest, FileThatIsNoDatabaseIsRenamedAsideAndAFreshStoreMade) {
  std::string junk = "this is not an SQLite database, but somebody's precious file\n";
  for (int i = 0; i < 200; ++i) junk += static_cast<char>(i * 37);
  std::ofstream(path_, std::ios::binary) << junk;
  ::testing::internal::CaptureStderr();
  {
    Settings store(path_.string());
    EXPECT_EQ(store.path(), path_.string());
    const PresetRead read = store.read();
    EXPECT_TRUE(read.ok());
    expectBuiltIns(read.presets);
  }
  const std::string warning = ::testing::internal::GetCapturedStderr();
  const std::vector<fs::path> aside = filesSetAside();
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(aside[0].extension(), ".sqlite");
  EXPECT_EQ(readFile(aside[0]), junk);
  EXPECT_NE(warning.find(path_.string()), std::string::npos) << warning;
  EXPECT_NE(warning.find(aside[0].string()), std::string::npos) << warning;
  EXPECT_TRUE(RawStore(path_).bytes("initialized"));
}

// A database whose index is damaged still opens and may answer a lookup
// with no row, so the stored document looks missing; it must be set aside
// whole, never seeded over.
TEST_F(SettingsTest, DamagedDatabaseIsSetAsideWholeNeverSeededOver) {
  {
    RawStore raw(path_);
    raw.put("presets", R"({"Mine":{"name":"Mine","type":"circle"}})");
    raw.putTrue("initialized");
  }
  // Page 3 is the key index; scramble its cells, keep the page header.
  std::string bytes = readFile(path_);
  ASSERT_GE(bytes.size(), 3u * 4096);
  for (std::size_t i = 2 * 4096 + 100; i < 3 * 4096; ++i) bytes[i] = static_cast<char>(i * 131);
  std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes;
  ::testing::internal::CaptureStderr();
  {
    Settings store(path_.string());
    const PresetRead read = store.read();
    EXPECT_TRUE(read.ok());
    expectBuiltIns(read.presets);
  }
  const std::string warning = ::testing::internal::GetCapturedStderr();
  const std::vector<fs::path> aside = filesSetAside();
  ASSERT_EQ(aside.size(), 1u) << warning;
  EXPECT_EQ(readFile(aside[0]), bytes);
  EXPECT_NE(warning.find("integrity check"), std::string::npos) << warning;
}

// Nothing usable at the path: every read and write says so and nothing is
// kept elsewhere, in another file or in memory.
TEST_F(SettingsTest, UnopenablePathFailsEveryReadAndWrite) {
  fs::create_directory(path_);  // a folder where the file should be
  Settings store(path_.string());
  const PresetRead read = store.read();
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.failure->file(), path_.string());
  expectBuiltIns(read.presets);
  EXPECT_THROW(store.setPresets({}), PresetStoreError);
  EXPECT_TRUE(fs::is_directory(path_));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

// Another process keeps the file locked: reads and writes wait, then say
// the store is busy; nothing moves to another file, and what was stored is
// there once the lock is gone.
TEST_F(SettingsTest, BusyStoreIsReportedAndNeverSwitchesFiles) {
  PresetMap mine = Settings::defaultPresets();
  mine.emplace("Mine", Action("Mine", "circle", 300));
  Settings(path_.string()).setPresets(mine);
  {
    StoreLock lock(path_);
    ASSERT_TRUE(lock.held());
    Settings store(path_.string(), std::chrono::milliseconds(200));
    const PresetRead read = store.read();
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.failure->file(), path_.string());
    EXPECT_NE(read.failure->cause().find("busy"), std::string::npos) << read.failure->cause();
    try {
      store.update([](PresetMap& presets) { presets.clear(); });
      ADD_FAILURE() << "written while another process held the lock";
    } catch (const PresetStoreError& e) {
      EXPECT_NE(e.cause().find("busy"), std::string::npos) << e.cause();
    }
    lock.release();
    EXPECT_EQ(store.presets(), mine);  // the same store works once it is free
  }
  for (const auto& entry : fs::directory_iterator(folder_))
    EXPECT_EQ(entry.path(), path_) << "another file appeared";
}

PresetMap numbered(const std::string& prefix, int n) {
  PresetMap presets;
  for (int i = 0; i < 20; ++i) {
    const std::string name = prefix + std::to_string(i);
    presets.emplace(name, Action(name, "circle", n));
  }
  return presets;
}

TEST_F(SettingsTest, TwoProcessesWritingAtOnceBothSucceedWithWholeDocuments) {
  Settings(path_.string()).read();  // seeded before the race
  constexpr int kWrites = 100;
  std::vector<pid_t> children;
  for (const char* prefix : {"first ", "second "}) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::ostringstream childLog;
      setDiagnosticStream(&childLog);
      bool whole = true;
      {
        Settings store(path_.string());
        for (int n = 1; n <= kWrites; ++n) {
          store.setPresets(numbered(prefix, n));
          const PresetMap seen = store.presets();
          const Action& any = seen.begin()->second;
          whole = whole && seen == numbered(any.name.substr(0, any.name.find(' ') + 1),
                                            static_cast<int>(any.maxSize));
        }
      }
      _exit(childLog.str().empty() && whole ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const PresetMap last = Settings(path_.string()).presets();
  EXPECT_TRUE(last == numbered("first ", kWrites) || last == numbered("second ", kWrites));
  EXPECT_TRUE(logLines().empty());
}

// Eight processes adding presets at once, each one by one: every change
// lands, none is written over by another's stale copy.
TEST_F(SettingsTest, ProcessesChangingTheStoreAtOnceLoseNoChange) {
  Settings(path_.string()).read();  // seeded before the race
  constexpr int kProcesses = 8;
  constexpr int kChanges = 10;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int status = 0;
      try {
        Settings store(path_.string());
        for (int n = 0; n < kChanges; ++n)
          store.update([&](PresetMap& presets) {
            const std::string name = std::to_string(p) + "/" + std::to_string(n);
            presets.emplace(name, Action(name, "circle", n));
          });
      } catch (const std::exception&) {
        status = 1;
      }
      _exit(status);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const PresetMap presets = Settings(path_.string()).presets();
  EXPECT_EQ(presets.size(), 4u + kProcesses * kChanges);
}

TEST_F(SettingsTest, ThreadsSharingOneStoreNeverSeeHalfADocument) {
  Settings store(path_.string());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&store, t] {
      const std::string prefix = std::string(1, static_cast<char>('a' + t)) + " ";
      for (int n = 1; n <= 25; ++n) {
        store.setPresets(numbered(prefix, n));
        EXPECT_EQ(store.presets().size(), 20u);
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(logLines().empty());
}

// Runs the kadro program with the configuration home given; stderr goes to
// the file named.
std::string runKadro(const fs::path& configHome, const std::string& arguments,
                     const fs::path& errors, int expectedStatus = 0) {
  const std::string command = "XDG_CONFIG_HOME='" + configHome.string() + "' '" + KADRO_STAGE_DIR +
                              "/bin/kadro' " + arguments + " 2>'" + errors.string() + "'";
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    const int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == expectedStatus) << command;
  }
  return out;
}

TEST_F(SettingsTest, PresetsCommandPrintsTheStoreAndKeepsJsonOutputClean) {
  const fs::path errors = folder_ / "stderr.txt";
  const PresetMap seeded = decodePresets(runKadro(folder_, "presets --json", errors));
  EXPECT_EQ(seeded, Settings::defaultPresets());
  const fs::path file = folder_ / "kadro" / (Settings::domain() + ".sqlite");
  ASSERT_TRUE(fs::exists(file));

  // A damaged document: nothing on standard output (the built-ins are not
  // this user's presets), the reason aside, and exit status 1.
  RawStore(file).put("presets", R"({"x":{"name":"x"}})");
  EXPECT_EQ(runKadro(folder_, "presets --json", errors, 1), "");
  EXPECT_NE(readFile(errors).find("unable to decode preset: "), std::string::npos);
  EXPECT_NE(readFile(errors).find(file.string()), std::string::npos) << readFile(errors);
  EXPECT_EQ(runKadro(folder_, "presets", errors, 1).find("PRESET"), std::string::npos);

  PresetMap renamed;
  renamed.emplace("Old key", Action("New name", "octo", 77, true, 3, "custom", "#123456"));
  EXPECT_THROW(Settings(file.string()).setPresets(renamed), PresetStoreError);  // copied aside
  Settings(file.string()).setPresets(renamed);
  const std::string table = runKadro(folder_, "presets", errors);
  EXPECT_NE(table.find("NAME"), std::string::npos) << table;
  for (const char* field :
       {"Old key", "New name", "octo", "77", "on", "custom", "#123456", "file:///"})
    EXPECT_NE(table.find(field), std::string::npos) << field << " in\n" << table;
}

TEST_F(SettingsTest, SharedStoreOverAFileThatIsNoDatabaseSetsItAsideAndSaysSo) {
  const fs::path file = folder_ / "kadro" / (Settings::domain() + ".sqlite");
  fs::create_directories(file.parent_path());
  const std::string junk = "not a database at all\n";
  std::ofstream(file, std::ios::binary) << junk;
  const fs::path errors = folder_ / "stderr.txt";
  EXPECT_EQ(decodePresets(runKadro(folder_, "presets --json", errors)), Settings::defaultPresets());
  const std::string warning = readFile(errors);
  EXPECT_NE(warning.find(file.string()), std::string::npos) << warning;
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(file.parent_path()))
    files.push_back(entry.path());
  ASSERT_EQ(files.size(), 2u);
  const fs::path aside = files[0] == file ? files[1] : files[0];
  EXPECT_NE(warning.find(aside.string()), std::string::npos) << warning;
  EXPECT_EQ(readFile(aside), junk);
  EXPECT_EQ(RawStore(file).bytes("presets"), encodePresets(Settings::defaultPresets()));
}

TEST(SettingsSuite, SharedStoreLivesInTheSuiteFileUnderTheConfigHome) {
  EXPECT_EQ(Settings::domain(), "io.kadro.KadroPlugin");
  const fs::path expected = g_config_home.folder / "kadro" / "io.kadro.KadroPlugin.sqlite";
  EXPECT_EQ(Settings::suitePath(Settings::domain()), expected.string());
  Settings& store = Settings::shared();
  EXPECT_EQ(&store, &Settings::shared());
  store.read();
  if (store.path() != expected.string())
    GTEST_SKIP() << "the shared store was opened elsewhere before this test";
  EXPECT_TRUE(fs::exists(expected));
  EXPECT_TRUE(RawStore(expected).bytes("initialized"));
}

TEST(SettingsSuite, SuitePathIgnoresRelativeConfigHomeAndUnsafeNames) {
  const std::string saved = std::getenv("XDG_CONFIG_HOME");
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  setenv("XDG_CONFIG_HOME", "relative/dir", 1);
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(Settings::suitePath("a.b"), "/home/someone/.config/kadro/a.b.sqlite");
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(Settings::suitePath("../../etc/x"), "/cfg/kadro/.._.._etc_x.sqlite");
  setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  setenv("HOME", home.c_str(), 1);
}

}  // namespace
}  // namespace kadro
