// kadro crop: runs the image job on one file, or on many into a folder with
// several jobs at a time, with a stored preset or one made from the options.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <vips/vips8>

#include "Plugin/file_url.h"
#include "Plugin/settings.h"
#include "Plugin/unique_pathname.h"
#include "SmartCrop/blazeface.h"
#include "SmartCrop/cores.h"
#include "SmartCrop/diagnostics.h"
#include "SmartCrop/faces.h"
#include "SmartCrop/image_io.h"
#include "SmartCrop/smart_crop.h"
#include "app/commands.h"

namespace kadro::app {
namespace {

constexpr const char* kDefaultPreset = "Circle";

void printUsage(std::ostream& out) {
  out << "Usage: kadro crop [OPTIONS] IN OUT\n"
         "       kadro crop [OPTIONS] -o DIR FILE...\n\n"
         "Crops the picture IN around its one face and writes OUT: PNG when OUT ends in\n"
         ".png (any letter case), JPEG otherwise, with the resolution of IN. IN and OUT\n"
         "are paths or file: URLs and may be the same file, which is then replaced.\n"
         "Without a single face the whole picture is written, cut to the shape only.\n\n"
         "With -o, every FILE is cropped into the folder DIR under its own name, several\n"
         "at a time; a name already taken in DIR gets a number (\"photo 1.jpg\"), so no\n"
         "file is ever replaced. Progress and the detector's lines go to standard error,\n"
         "progress as a bar on a terminal.\n"
         "A file that cannot be cropped is named with the cause; the others still run,\n"
         "and the exit status is then 1.\n\n"
         "Options:\n"
         "  -o, --output DIR      crop every FILE into the folder DIR\n"
         "  -j, --jobs N          crop N files at a time (default: the number of cores)\n"
         "  --preset NAME         use the stored preset NAME (default \""
      << kDefaultPreset
      << "\"; see kadro presets)\n"
         "  --type T              none, square, circle, hex or octo\n"
         "  --max-size N          largest side of the result in pixels\n"
         "  --border, --no-border draw a border in the preset's colour, or not\n"
         "  --border-width N      border width in pixels (turns the border on)\n"
         "  --border-color C      white, black or #RRGGBB (turns the border on)\n"
         "  -h, --help            show this help\n\n"
         "Without --preset, any of the other options starts from a square of 400 pixels\n"
         "without border; with --preset they change that preset's fields.\n";
}

int usageError(const std::string& message) {
  std::cerr << "kadro crop: " << message << "\n\nRun 'kadro crop --help' for the options.\n";
  return 2;
}

std::optional<std::int64_t> parseInteger(const std::string& text) {
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::string fileName(const std::string& urlOrPath) {
  const std::string path = localPath(urlOrPath).value_or(urlOrPath);
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What a batch shows on standard error: a bar redrawn in place on a
// terminal, else one line per file. The jobs' diagnostic lines (what the
// detector found, why a file failed) go there too, through this, so that
// they never land in the middle of the bar.
class BatchProgress {
 public:
  explicit BatchProgress(std::size_t total) : total_(total), bar_(::isatty(STDERR_FILENO)) {}

  void fileDone(const std::string& file, const std::optional<std::string>& output) {
    std::lock_guard lock(mutex_);
    ++done_;
    if (!output) ++failed_;
    if (bar_) {
      draw(fileName(file));
    } else {
      std::fprintf(stderr, "kadro crop: [%zu/%zu] %s -> %s\n", done_, total_, file.c_str(),
                   output ? output->c_str() : "failed");
    }
  }

  void line(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (bar_) std::fputs("\r\033[K", stderr);
    std::fputs(text.c_str(), stderr);
    if (bar_ && done_ > 0) draw(last_);
    std::fflush(stderr);
  }

  void finish() {
    std::lock_guard lock(mutex_);
    if (bar_ && done_ > 0) std::fputc('\n', stderr);
  }

 private:
  void draw(const std::string& name) {
    constexpr std::size_t kWidth = 30;
    const std::size_t filled = total_ ? done_ * kWidth / total_ : kWidth;
    std::string bar(filled, '#');
    bar.append(kWidth - filled, '-');
    std::fprintf(stderr, "\r\033[K[%s] %zu/%zu%s  %s", bar.c_str(), done_, total_,
                 failed_ ? (" (" + std::to_string(failed_) + " failed)").c_str() : "",
                 name.substr(0, 40).c_str());
    std::fflush(stderr);
    last_ = name;
  }

  std::mutex mutex_;
  const std::size_t total_;
  const bool bar_;
  std::size_t done_ = 0;
  std::size_t failed_ = 0;
  std::string last_;
};

// Hands every complete line written to it to the batch's progress display.
class ProgressLines : public std::stringbuf {
 public:
  explicit ProgressLines(BatchProgress& progress) : progress_(progress) {}
  int sync() override {
    progress_.line(str());
    str("");
    return 0;
  }

 private:
  BatchProgress& progress_;
};

int cropIntoFolder(const Action& preset, const std::string& folder,
                   const std::vector<std::string>& files, std::optional<std::int64_t> jobs) {
  const std::string folderPath = localPath(folder).value_or(folder);
  struct stat info;
  if (::stat(folderPath.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    std::cerr << "kadro crop: " << folder << ": no such folder\n";
    return 2;
  }
  // One model for every job, loaded before the first; without it every
  // picture would come out uncropped.
  if (preset.type != "none") {
    if (const FaceModel& model = processFaceModel(); !model.model) {
      std::cerr << "kadro crop: cannot detect faces: " << model.error << '\n';
      return 1;
    }
  }
  const std::string folderUrl = fileUrlFromPath(folderPath);
  const std::size_t workers =
      std::min<std::size_t>(files.size(), static_cast<std::size_t>(jobs.value_or(usableCores())));

  // Each worker runs its own network passes; when the workers fill the
  // cores, a pass that spreads over them only adds hand-overs.
  // The same holds for libvips' threads per picture, unless the user chose
  // their number (VIPS_CONCURRENCY).
  const int threadsPerJob = std::max<int>(1, usableCores() / static_cast<int>(workers));
  const int vipsThreads = vips_concurrency_get();
  const bool setVipsThreads = workers > 1 && !std::getenv("VIPS_CONCURRENCY");
  if (workers > 1) BlazeFace::setThreadsPerPass(threadsPerJob);
  if (setVipsThreads) vips_concurrency_set(threadsPerJob);
  BatchProgress progress(files.size());
  ProgressLines lines(progress);
  std::ostream linesStream(&lines);
  setDiagnosticStream(&linesStream);

  // With several workers, the largest files go first: the batch ends with
  // its last job, and a large picture started last keeps one core busy while
  // the others wait. One worker keeps the order given.
  std::vector<std::size_t> order(files.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  if (workers > 1) {
    std::vector<off_t> bytes(files.size(), 0);
    for (std::size_t i = 0; i < files.size(); ++i) {
      struct stat file;
      if (::stat(localPath(files[i]).value_or(files[i]).c_str(), &file) == 0)
        bytes[i] = file.st_size;
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return bytes[a] > bytes[b]; });
  }

  std::vector<std::optional<std::string>> outputs(files.size());
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t k; (k = next.fetch_add(1)) < files.size();) {
      const std::size_t i = order[k];
      const std::string name = fileName(files[i]);
      const std::string output = uniquePathname(folderUrl, name);
      // Another worker may take the same free name meanwhile; the later one
      // then gives way to the next number.
      const auto nameFor = [&name](unsigned k) { return numberedName(name, k); };
      if (const std::optional<std::string> path =
              processImage(files[i], output, preset, detectFace, nameFor))
        outputs[i] = localPath(*path).value_or(*path);
      progress.fileDone(files[i], outputs[i]);
    }
  };
  std::vector<std::thread> threads;
  for (std::size_t t = 1; t < workers; ++t) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
  if (workers > 1) BlazeFace::setThreadsPerPass(0);
  if (setVipsThreads) vips_concurrency_set(vipsThreads);
  progress.finish();
  setDiagnosticStream(nullptr);

  int status = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (outputs[i]) continue;
    std::cerr << "kadro crop: could not crop " << files[i] << "; see the line naming it above\n";
    status = 1;
  }
  return status;
}

}  // namespace

int runCrop(const Args& args) {
  std::optional<std::string> presetName;
  std::optional<std::string> type;
  std::optional<std::int64_t> maxSize;
  std::optional<bool> border;
  std::optional<std::int64_t> borderWidth;
  std::optional<std::string> borderColor;
  std::optional<std::string> outputFolder;
  std::optional<std::int64_t> jobs;
  std::vector<std::string> files;

  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
      files.push_back(arg);
      continue;
    }
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "-h" || arg == "--help") {
      printUsage(std::cout);
      return 0;
    } else if (arg == "--border") {
      border = true;
    } else if (arg == "--no-border") {
      border = false;
    } else if (arg == "--preset" || arg == "--type" || arg == "--max-size" ||
               arg == "--border-width" || arg == "--border-color" || arg == "-o" ||
               arg == "--output" || arg == "-j" || arg == "--jobs") {
      const std::optional<std::string> v = value();
      if (!v) return usageError(arg + " needs a value");
      if (arg == "-o" || arg == "--output") {
        outputFolder = *v;
      } else if (arg == "-j" || arg == "--jobs") {
        jobs = parseInteger(*v);
        if (!jobs || *jobs < 1 || *jobs > 1024)
          return usageError(arg + " must be a whole number from 1 to 1024, not '" + *v + "'");
      } else if (arg == "--preset") {
        presetName = *v;
      } else if (arg == "--type") {
        if (!cropTypeFromRawValue(*v))
          return usageError("--type must be none, square, circle, hex or octo, not '" + *v + "'");
        type = *v;
      } else if (arg == "--max-size" || arg == "--border-width") {
        const std::optional<std::int64_t> n = parseInteger(*v);
        if (!n) return usageError(arg + " must be a whole number, not '" + *v + "'");
        (arg == "--max-size" ? maxSize : borderWidth) = *n;
      } else {
        if (*v != "white" && *v != "black" && !Color::hexStringToRGB(*v))
          return usageError("--border-color must be white, black or #RRGGBB, not '" + *v + "'");
        borderColor = *v;
      }
    } else {
      return usageError("unknown option '" + arg + "'");
    }
  }
  if (outputFolder && files.empty()) return usageError("-o needs at least one FILE to crop");
  if (!outputFolder && jobs) return usageError("--jobs goes with -o DIR");
  if (!outputFolder && files.size() != 2)
    return usageError("needs two files, the picture IN and the result OUT (got " +
                      std::to_string(files.size()) + ")");

  const bool fromOptions = type || maxSize || border || borderWidth || borderColor;
  Action preset;
  if (presetName || !fromOptions) {
    const std::string name = presetName.value_or(kDefaultPreset);
    const PresetRead stored = Settings::shared().read();
    if (!stored.ok()) {
      std::cerr << "kadro crop: the presets in \"" << stored.failure->file()
                << "\" could not be read. " << stored.failure->cause() << "\n";
      return 1;
    }
    const PresetMap& presets = stored.presets;
    const auto found = presets.find(name);
    if (found == presets.end()) {
      std::string known;
      for (const auto& [key, _] : presets) known += (known.empty() ? "" : ", ") + key;
      std::cerr << "kadro crop: no preset named '" << name << "' (stored: " << known << ")\n";
      return 2;
    }
    preset = found->second;
  }
  if (type) preset.type = *type;
  if (maxSize) preset.maxSize = *maxSize;
  if (borderWidth || borderColor) preset.borderEnabled = true;
  if (border) preset.borderEnabled = *border;
  if (borderWidth) preset.borderWidth = *borderWidth;
  if (borderColor) {
    if (*borderColor == "white" || *borderColor == "black") {
      preset.borderColor = *borderColor;
    } else {
      preset.borderColor = "custom";
      preset.borderColorCustom = *borderColor;
    }
  }

  if (outputFolder) return cropIntoFolder(preset, *outputFolder, files, jobs);
  // The model loads while the picture decodes; the job waits for it only
  // when it asks for faces.
  std::thread preload;
  if (preset.type != "none") preload = std::thread([] { processFaceModel(); });
  const bool done = processImage(files[0], files[1], preset);
  if (preload.joinable()) preload.join();
  if (!done) {
    std::cerr << "kadro crop: could not crop " << files[0] << " into " << files[1] << "; "
              << files[1] << " is as it was\n";
    return 1;
  }
  return 0;
}

}  // namespace kadro::app
