// The preset store under faults that people meet: several kadro programs
// saving at once, a store another process keeps locked, a damaged stored
// document and a file that is no database. Nothing stored may be lost, and
// every failure names the file and the cause.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Plugin/errors.h"
#include "tests/panel_test_support.h"
#include "tests/plugin_test_support.h"
#include "tests/store_test_support.h"

namespace kadro {
namespace {

namespace fs = std::filesystem;
using paneltest::pluginId;
using testing::ProgramRun;
using testing::RawStore;
using testing::StoreLock;
using testing::TempFolder;
using Case = ZadaZevuPluginError::Case;

// Starts the kadro program with `arguments`, the store under `configHome`,
// standard input from `input` and both outputs into `output`.
pid_t startKadro(const std::vector<std::string>& arguments, const fs::path& configHome,
                 const fs::path& input, const fs::path& output) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int in = open(input.c_str(), O_RDONLY);
  const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) _exit(127);
  dup2(in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  dup2(out, STDERR_FILENO);
  setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
  const std::string program = std::string(KADRO_STAGE_DIR) + "/bin/kadro";
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

int exitStatus(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

nlohmann::json storedPresets(const TempFolder& home) {
  const ProgramRun run = testing::runKadro("presets --json", home.path());
  EXPECT_EQ(run.status, 0) << run.err;
  return nlohmann::json::parse(run.out, nullptr, false);
}

// Twelve preference sessions at once, each saving four new presets: every
// one of the 48 is stored, next to the four built-ins.
TEST(PresetStoreFaults, ProgramsSavingNewPresetsAtOnceLoseNone) {
  TempFolder home;
  ASSERT_EQ(storedPresets(home).size(), 4u);  // seeded before the race
  constexpr int kSessions = 12;
  constexpr int kSaves = 4;
  std::vector<pid_t> sessions;
  for (int s = 0; s < kSessions; ++s) {
    const fs::path script = home / ("script" + std::to_string(s) + ".txt");
    {
      std::ofstream out(script);
      for (int k = 0; k < kSaves; ++k)
        out << "set Name P" << s << "-" << k << "\npress Save New Preset\n";
      out << "quit\n";
    }
    sessions.push_back(startKadro({"preferences"}, home.path(), script,
                                  home / ("out" + std::to_string(s) + ".txt")));
  }
  for (int s = 0; s < kSessions; ++s)
    EXPECT_EQ(exitStatus(sessions[s]), 0)
        << testing::readBytes(home / ("out" + std::to_string(s) + ".txt"));

  const nlohmann::json presets = storedPresets(home);
  std::vector<std::string> lost;
  for (int s = 0; s < kSessions; ++s)
    for (int k = 0; k < kSaves; ++k) {
      std::string name = "P";
      name.append(std::to_string(s)).append(1, '-').append(std::to_string(k));
      if (!presets.contains(name)) lost.push_back(name);
    }
  EXPECT_TRUE(lost.empty()) << lost.size() << " of " << kSessions * kSaves << " lost, "
                            << lost.front();
  for (const char* builtIn : {"Circle", "Hexagon", "Just Border", "Square"})
    EXPECT_TRUE(presets.contains(builtIn)) << builtIn;
}

// ---- The plug-in over a store that fails

// The user's presets: the built-ins and one of their own.
PresetMap customPresets() {
  PresetMap presets = Settings::defaultPresets();
  presets.emplace("Mine", Action("Mine", "octo", 77, true, 3, "custom", "#123456"));
  return presets;
}

class StoreFaultsInThePlugin : public paneltest::PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    Settings::shared().setPresets(customPresets());
    plugin.presetSettingPanel();  // selects "Circle"
  }
  void TearDown() override {
    Settings::shared().setBusyTimeout(Settings::kBusyTimeout);
    RawStore(store()).put("presets", encodePresets(Settings::defaultPresets()));
    for (const auto& entry : fs::directory_iterator(store().parent_path()))
      if (entry.path().filename().string().find(".damaged-presets-") != std::string::npos)
        fs::remove(entry.path());
    PluginTest::TearDown();
  }

  static fs::path store() { return Settings::shared().path(); }
  void edit(const ph::Value& value, const std::string& shortName) {
    plugin.didUpdateValue(value, pluginId(shortName), [this](auto, auto) { ++refreshes; });
  }
  // The error pressing the button gives, if any.
  std::optional<ZadaZevuPluginError> press(const std::string& shortName) {
    try {
      plugin.handle(1, ph::SettingsButtonItem(pluginId(shortName), ""),
                    [this](auto, auto) { ++refreshes; });
    } catch (const ZadaZevuPluginError& e) {
      return e;
    }
    return std::nullopt;
  }
  static std::string damageOneByte() {
    std::string document = *RawStore(store()).bytes("presets");
    document[document.find("\"maxSize\":77") + 10] = '#';
    RawStore(store()).put("presets", document);
    return document;
  }

  int refreshes = 0;
};

// One damaged byte, then Save: the damaged document is kept aside first and
// the Save fails naming the copy, with the edit still in the panel; the
// next Save stores what the panel shows.
TEST_F(StoreFaultsInThePlugin, DamagedDocumentThenSaveKeepsTheCustomPresetsAside) {
  const std::string damaged = damageOneByte();
  const auto panel = plugin.presetSettingPanel();
  const std::string notice = ph::describe(panel->elements().front()->value());
  EXPECT_NE(notice.find("could not be read or saved"), std::string::npos) << notice;
  EXPECT_NE(notice.find("offers the built-in presets instead"), std::string::npos) << notice;

  edit("Square", "preset-list");  // offered from what is shown
  edit("321", "max-size");
  refreshes = 0;
  auto e = press("save-button");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->errorCase(), Case::presetStoreFailure);
  EXPECT_EQ(e->code(), 6);
  EXPECT_EQ(e->errorDescription(),
            "The presets in \"" + store().string() + "\" could not be read or saved.");
  const fs::path copy =
      store().parent_path() /
      (store().stem().string() + ".damaged-presets-" +
       e->failureReason().substr(e->failureReason().find("-presets-") + 9, 16) + ".json");
  EXPECT_NE(e->failureReason().find("\"" + copy.string() + "\""), std::string::npos)
      << e->failureReason();
  EXPECT_EQ(testing::readBytes(copy), damaged);
  EXPECT_EQ(RawStore(store()).bytes("presets"), damaged) << "replaced before it was kept";
  EXPECT_EQ(refreshes, 0);
  EXPECT_EQ(plugin.currentPreset->maxSize, 321) << "the edit is kept";

  EXPECT_FALSE(press("save-button"));
  PresetMap expected = Settings::defaultPresets();
  expected.at("Square").maxSize = 321;
  EXPECT_EQ(stored(), expected);
  EXPECT_EQ(testing::readBytes(copy), damaged);
}

// Another process holds the lock while the panel is open: Save waits, then
// fails saying the store is busy; nothing stored is lost and the edit stays
// for the next Save.
TEST_F(StoreFaultsInThePlugin, LockHeldByAnotherProcessThenSaveFailsAndLosesNothing) {
  edit("999", "max-size");
  Settings::shared().setBusyTimeout(std::chrono::milliseconds(200));
  {
    StoreLock lock(store());
    ASSERT_TRUE(lock.held());
    for (const char* button : {"save-button", "save-new-button", "delete-button"}) {
      if (std::string(button) == "save-new-button") edit("Circle 2", "preset-name");
      const auto e = press(button);
      ASSERT_TRUE(e) << button;
      EXPECT_EQ(e->errorCase(), Case::presetStoreFailure) << button;
      EXPECT_NE(e->failureReason().find("busy"), std::string::npos) << e->failureReason();
    }
    EXPECT_EQ(plugin.currentName, "Circle");
    EXPECT_EQ(plugin.currentPreset->maxSize, 999);
  }
  EXPECT_EQ(stored(), customPresets());
  EXPECT_EQ(refreshes, 0);

  EXPECT_FALSE(press("save-new-button"));
  PresetMap expected = customPresets();
  Action copy = expected.at("Circle");
  copy.name = "Circle 2";
  copy.maxSize = 999;
  expected.emplace("Circle 2", copy);
  EXPECT_EQ(stored(), expected);
}

// Open With and the action list offer only presets really read: a store
// that fails says so, never "no such preset" nor the built-ins instead.
TEST_F(StoreFaultsInThePlugin, OpenWithUsesOnlyPresetsReallyRead) {
  const ph::SettingsMap pngs = {{"png", 1u}};
  EXPECT_EQ(plugin.openWithActions(pngs, 2).size(), 5u);
  damageOneByte();
  ph::Error error;
  EXPECT_FALSE(plugin.openWithActionsWithFileInfo(pngs, 2, &error));
  EXPECT_EQ(error.code, 6);
  EXPECT_NE(error.localizedDescription.find(store().string()), std::string::npos);

  TempFolder folder;
  const std::string picture = (folder / "p.png").string();
  testing::writePlainPicture(picture, 20, 20);
  const std::string before = testing::readBytes(picture);
  const ph::FileHandlingPluginTask task(plugin.pluginAction(customPresets().at("Mine")),
                                        std::vector<std::string>{picture});
  EXPECT_FALSE(plugin.startOpenWithTask(task, &error, nullptr));
  EXPECT_EQ(error.code, 6);
  EXPECT_NE(error.localizedFailureReason.find("could not be decoded"), std::string::npos)
      << error.localizedFailureReason;
  EXPECT_EQ(testing::readBytes(picture), before);

  Settings::shared().setBusyTimeout(std::chrono::milliseconds(200));
  RawStore(store()).put("presets", encodePresets(customPresets()));
  StoreLock lock(store());
  ASSERT_TRUE(lock.held());
  EXPECT_FALSE(plugin.startOpenWithTask(task, &error, nullptr));
  EXPECT_EQ(error.code, 6);
  EXPECT_NE(error.localizedFailureReason.find("busy"), std::string::npos);
}

// kadro preferences over a damaged store: the first Save fails, names the
// copy and makes the session exit 1; the next session's Save stores.
TEST(PresetStoreFaults, PreferencesSaveOverADamagedStoreFailsFirstThenStores) {
  TempFolder home;
  ASSERT_EQ(storedPresets(home).size(), 4u);
  const fs::path file = home / "kadro" / "io.kadro.KadroPlugin.sqlite";
  const std::string damaged = R"({"Mine":{"name":"Mine"}})";
  RawStore(file).put("presets", damaged);

  const fs::path script = home / "script.txt";
  std::ofstream(script) << "set Max Size 640\npress Save\nquit\n";
  const fs::path output = home / "out.txt";
  EXPECT_EQ(exitStatus(startKadro({"preferences"}, home.path(), script, output)), 1);
  const std::string out = testing::readBytes(output);
  EXPECT_NE(out.find("could not be read or saved"), std::string::npos) << out;
  EXPECT_NE(out.find(".damaged-presets-"), std::string::npos) << out;
  EXPECT_EQ(RawStore(file).bytes("presets"), damaged);
  const ProgramRun list = testing::runKadro("presets", home.path());
  EXPECT_EQ(list.status, 1);
  EXPECT_NE(list.err.find(file.string()), std::string::npos) << list.err;

  EXPECT_EQ(exitStatus(startKadro({"preferences"}, home.path(), script, output)), 0)
      << testing::readBytes(output);
  const nlohmann::json presets = storedPresets(home);
  EXPECT_EQ(presets["Circle"]["maxSize"], 640);
  EXPECT_EQ(presets.size(), 4u);
}

// A store another program keeps locked: kadro waits, then says it is busy
// and exits 1; it never moves to another file.
TEST(PresetStoreFaults, BusyStoreMakesCommandsFailAndNeverSwitchesFiles) {
  TempFolder home;
  ASSERT_EQ(storedPresets(home).size(), 4u);
  const fs::path folder = home / "kadro";
  const fs::path picture = home / "p.png";
  testing::writePlainPicture(picture, 20, 20);
  std::vector<pid_t> runs;
  {
    StoreLock lock(folder / "io.kadro.KadroPlugin.sqlite");
    ASSERT_TRUE(lock.held());
    // Both wait out the same ten seconds.
    runs.push_back(startKadro({"open-with", "Circle", picture.string()}, home.path(), "/dev/null",
                              home / "open-with.txt"));
    runs.push_back(startKadro({"presets"}, home.path(), "/dev/null", home / "presets.txt"));
    for (pid_t pid : runs) EXPECT_EQ(exitStatus(pid), 1);
  }
  for (const char* output : {"open-with.txt", "presets.txt"}) {
    const std::string text = testing::readBytes(home / output);
    EXPECT_NE(text.find("busy"), std::string::npos) << text;
    EXPECT_NE(text.find((folder / "io.kadro.KadroPlugin.sqlite").string()), std::string::npos)
        << text;
  }
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(folder))
    files.push_back(entry.path().filename().string());
  EXPECT_EQ(files, std::vector<std::string>{"io.kadro.KadroPlugin.sqlite"});
}

}  // namespace
}  // namespace kadro
