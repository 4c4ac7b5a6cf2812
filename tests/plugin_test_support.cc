#include "tests/plugin_test_support.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <vips/vips8>

namespace kadro::testing {

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kadro-test-XXXXXX").string();
  if (mkdtemp(pattern.data())) path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::filesystem::path samplePortrait() {
  return std::filesystem::path(KADRO_SAMPLES_DIR) / "astronaut.png";
}

void writePlainPicture(const std::filesystem::path& path, int width, int height) {
  vips::VImage::black(width, height, vips::VImage::option()->set("bands", 3))
      .linear(1.0, 128.0)
      .cast(VIPS_FORMAT_UCHAR)
      .write_to_file(path.c_str());
}

std::string readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace kadro::testing

#include <sys/wait.h>

#include <cstdio>

namespace kadro::testing {

ProgramRun runKadro(const std::string& arguments, const std::filesystem::path& configHome,
                    const std::filesystem::path& input) {
  return runKadroWithEnvironment("", arguments, configHome, input);
}

namespace {

ProgramRun runProgram(const std::filesystem::path& program, const std::string& environment,
                      const std::string& arguments, const std::filesystem::path& configHome,
                      const std::filesystem::path& input) {
  const std::filesystem::path errors = configHome / "kadro-stderr.txt";
  const std::string command = environment + " XDG_CONFIG_HOME='" + configHome.string() + "' '" +
                              program.string() + "' " + arguments + " 2>'" + errors.string() +
                              "' <'" + input.string() + "'";
  ProgramRun run;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  run.err = readBytes(errors);
  return run;
}

}  // namespace

ProgramRun runKadroAt(const std::filesystem::path& program, const std::string& environment,
                      const std::string& arguments, const std::filesystem::path& configHome) {
  return runProgram(program, environment, arguments, configHome, "/dev/null");
}

ProgramRun runKadroWithEnvironment(const std::string& environment, const std::string& arguments,
                                   const std::filesystem::path& configHome,
                                   const std::filesystem::path& input) {
  return runProgram(std::string(KADRO_STAGE_DIR) + "/bin/kadro", environment, arguments, configHome,
                    input);
}

}  // namespace kadro::testing

namespace {
// Loading files through libvips needs it started; the pipeline's own
// entry points start it too, but tests read files directly.
const bool g_vips_started = VIPS_INIT("kadro_tests") == 0;
}  // namespace

#include "SmartCrop/faces.h"

namespace {
// The test program has no bundle around it: the detector uses the built one's model.
const bool g_model_set = (kadro::setFaceModelPath(KADRO_TEST_MODEL), true);
}  // namespace
