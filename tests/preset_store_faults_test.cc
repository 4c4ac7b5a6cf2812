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

#include "tests/plugin_test_support.h"

namespace kadro {
namespace {

namespace fs = std::filesystem;
using testing::ProgramRun;
using testing::TempFolder;

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
      const std::string name = "P" + std::to_string(s) + "-" + std::to_string(k);
      if (!presets.contains(name)) lost.push_back(name);
    }
  EXPECT_TRUE(lost.empty()) << lost.size() << " of " << kSessions * kSaves << " lost, "
                            << lost.front();
  for (const char* builtIn : {"Circle", "Hexagon", "Just Border", "Square"})
    EXPECT_TRUE(presets.contains(builtIn)) << builtIn;
}

}  // namespace
}  // namespace kadro
