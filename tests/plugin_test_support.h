// What the plug-in's tests share: a throw-away configuration folder for the
// preset store, and small picture files.
#pragma once

#include <filesystem>
#include <string>

namespace kadro::testing {

// A fresh temporary folder, removed with the object.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// The sample portrait (512 x 512 PNG, one face).
std::filesystem::path samplePortrait();

// Writes a `width` x `height` grey picture without a face, PNG or JPEG by
// the extension.
void writePlainPicture(const std::filesystem::path& path, int width, int height);

std::string readBytes(const std::filesystem::path& path);

}  // namespace kadro::testing

namespace kadro::testing {

struct ProgramRun {
  int status = -1;  // the exit status, -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs the built kadro program with `arguments` (already shell-quoted), the
// preset store under `configHome` and standard input read from `input`.
ProgramRun runKadro(const std::string& arguments, const std::filesystem::path& configHome,
                    const std::filesystem::path& input = "/dev/null");

// The kadro program at `program` (a copy of the built one, say) the same way.
ProgramRun runKadroAt(const std::filesystem::path& program, const std::string& environment,
                      const std::string& arguments, const std::filesystem::path& configHome);

// The same with `environment` ("NAME=value ...", already shell-quoted) added.
ProgramRun runKadroWithEnvironment(const std::string& environment, const std::string& arguments,
                                   const std::filesystem::path& configHome,
                                   const std::filesystem::path& input = "/dev/null");

}  // namespace kadro::testing
