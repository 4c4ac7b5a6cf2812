// Face detection on a 4000 x 3000 JPEG made from the sample portrait, against
// decoding the same file alone in the same run. Reports the median of each
// step and its ratio to the decode:
//
//   model load         reading the model file and its first (checking) pass
//   decode             loading the JPEG and reading every pixel
//   detection + crop   finding the face on the decoded picture and cutting
//                      the square (the crop of the image job's own step)
//   inspect            what kadro inspect does per file: decode, detection,
//                      crop rectangle
//
// then the CPU time (getrusage, all threads) of the detection alone on the
// copy the image job hands the detector (the JPEG reduced on load to a long
// side of 1000), by part and for each count of threads per pass, and the first
// detection of a fresh process, counted from the process's start, with the
// model loaded when the detection asks for it and loaded during the decode:
//
//   detect_bench [RUNS]      (default 9 runs of everything, interleaved)
//
// Goals: model load under 50 ms; detection + crop under 1.5 x the decode;
// detection under 30 ms CPU; the first detection of a process within 40 ms
// of its start.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <vips/vips8>

#include "SmartCrop/blazeface.h"
#include "SmartCrop/blazeface_search.h"
#include "SmartCrop/crop.h"
#include "SmartCrop/diagnostics.h"
#include "SmartCrop/faces.h"

namespace {

namespace fs = std::filesystem;
using vips::VImage;

// 4000 x 3000: the portrait scaled to the full height over a blurred, grainy
// stretch of itself. Its face is about 600 pixels wide.
void makeSource(const std::string& samples, const std::string& path) {
  const VImage photo = VImage::new_from_file((samples + "/astronaut.png").c_str())
                           .extract_band(0, VImage::option()->set("n", 3));
  const VImage backdrop = photo.resize(4000.0 / 512, VImage::option()->set("vscale", 3000.0 / 512))
                              .gaussblur(30)
                              .cast(VIPS_FORMAT_FLOAT);
  const VImage grain = VImage::gaussnoise(4000, 3000, VImage::option()->set("sigma", 8.0));
  const VImage canvas =
      (backdrop + VImage::bandjoin({grain, grain, grain})).cast(VIPS_FORMAT_UCHAR);
  canvas.insert(photo.resize(3000.0 / 512), 500, 0)
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
      .jpegsave(path.c_str(), VImage::option()->set("Q", 90));
}

double milliseconds(const std::function<void()>& step) {
  const auto start = std::chrono::steady_clock::now();
  step();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// CPU seconds of the process so far, all threads.
double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + 1e-6 * (u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// Wall seconds since this process started.
double sinceStart() {
  std::FILE* f = std::fopen("/proc/self/stat", "r");
  if (!f) return 0;
  char text[1024] = {};
  const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  // Field 22, after the command name in parentheses: start time in ticks.
  const char* p = std::strrchr(text, ')');
  if (!p || n == 0) return 0;
  unsigned long long start = 0;
  int field = 2;
  for (const char* c = p + 1; *c && field < 22; ++c)
    if (*c == ' ' && ++field == 22) start = std::strtoull(c + 1, nullptr, 10);
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return now.tv_sec + now.tv_nsec * 1e-9 - static_cast<double>(start) / sysconf(_SC_CLK_TCK);
}

// The copy of `path` the image job hands the detector: reduced on load.
kadro::Raster jobCopy(const std::string& path) {
  return kadro::Raster(
      vips::VImage::new_from_file(path.c_str(), vips::VImage::option()->set("shrink", 4))
          .copy_memory());
}

// Child mode: load the model, detect once, print CPU and wall seconds since
// the process started. `preload`: as kadro crop does, the model loads on a
// thread of its own while the picture decodes.
int firstDetection(const std::string& path, bool preload) {
  std::ostringstream lines;
  kadro::setDiagnosticStream(&lines);
  kadro::setFaceModelPath(KADRO_TEST_MODEL);
  std::thread loading;
  if (preload) loading = std::thread([] { (void)kadro::processFaceModel(); });
  const kadro::Raster copy = jobCopy(path);
  const std::size_t n = kadro::detectFace(copy, true).size();
  if (loading.joinable()) loading.join();
  std::printf("%f %f %zu\n", cpuSeconds(), sinceStart(), n);
  return 0;
}

kadro::Raster decoded(const std::string& path) {
  kadro::LoadResult loaded = kadro::loadRaster(path);
  if (!loaded.raster) {
    std::fprintf(stderr, "%s\n", loaded.error.c_str());
    std::exit(1);
  }
  (void)loaded.raster->image().avg();  // every pixel read once
  return *loaded.raster;
}

}  // namespace

int main(int argc, char** argv) {
  if (VIPS_INIT(argv[0])) return 2;
  if (argc == 3 && std::string(argv[1]) == "--first") return firstDetection(argv[2], false);
  if (argc == 3 && std::string(argv[1]) == "--first-preload") return firstDetection(argv[2], true);
  // Each decode must read the file again, not take the cached image.
  vips_cache_set_max(0);
  const int runs = argc >= 2 ? std::max(1, std::atoi(argv[1])) : 9;

  char pattern[] = "/tmp/kadro-detect-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 2;
  const fs::path dir = pattern;
  const std::string source = dir / "12mp.jpg";
  makeSource(KADRO_SAMPLES_DIR, source);

  std::ostringstream lines;  // the detector's diagnostic lines, unwanted here
  kadro::setDiagnosticStream(&lines);
  const kadro::FaceModel model = kadro::loadFaceModel(KADRO_TEST_MODEL);
  if (!model.model) {
    std::fprintf(stderr, "%s\n", model.error.c_str());
    return 1;
  }
  const kadro::FaceDetector detector = [&](const kadro::Raster& image, bool skipGroups) {
    return kadro::detectFaceWith(model, image, skipGroups);
  };
  const kadro::Action square("Square", "square", 400);

  std::map<std::string, std::vector<double>> times;
  std::size_t faces = 0;
  bool cropped = true;
  (void)decoded(source);  // warm the file cache
  for (int r = 0; r < runs; ++r) {
    times["model load"].push_back(
        milliseconds([] { (void)kadro::loadFaceModel(KADRO_TEST_MODEL); }));
    std::optional<kadro::Raster> picture;
    times["decode"].push_back(milliseconds([&] { picture = decoded(source); }));
    times["detection + crop"].push_back(milliseconds(
        [&] { cropped = cropped && kadro::cropImage(*picture, square, detector).has_value(); }));
    if (r == 0) faces = detector(*picture, /*skipGroups=*/false).size();
    times["inspect"].push_back(milliseconds([&] {
      const kadro::Raster p = decoded(source);
      const auto found = detector(p, false);
      if (found.size() == 1)
        (void)kadro::cropRectangle(p.width(), p.height(), found[0].boundingBox,
                                   kadro::averageEyeHeight(found[0]));
    }));
  }
  kadro::setDiagnosticStream(nullptr);

  const double base = median(times["decode"]);
  std::printf("4000 x 3000 JPEG, %d runs each, median; %ld cores online\n", runs,
              sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("faces found: %zu, cropped: %s\n\n", faces, cropped ? "yes" : "no");
  std::printf("%-20s %10s %9s\n", "step", "ms", "ratio");
  for (const char* step : {"model load", "decode", "detection + crop", "inspect"}) {
    const double t = median(times[step]);
    std::printf("%-20s %10.1f %8.2fx\n", step, t, t / base);
  }
  std::printf(
      "\nratio: against the decode in this run. Goals: model load < 50 ms,\n"
      "detection + crop < 1.50x.\n");

  // Detection alone, CPU by part, for each count of threads per pass.
  kadro::setDiagnosticStream(&lines);
  const kadro::Raster copy = jobCopy(source);
  std::printf("\ndetection on the job's %d x %d copy, CPU ms (getrusage), median of %d:\n",
              copy.width(), copy.height(), runs);
  std::printf("%-10s %8s %8s %8s %8s %8s %6s\n", "threads", "total", "prepare", "coarse", "fine",
              "finer", "runs");
  const int defaultThreads = static_cast<int>(std::thread::hardware_concurrency());
  for (const int threads : {defaultThreads, 1}) {
    kadro::BlazeFace::setThreadsPerPass(threads);
    std::map<std::string, std::vector<double>> cpu;
    int networkRuns = 0;
    (void)kadro::detectFaceWith(model, copy, true, kadro::SearchOptions{});
    for (int r = 0; r < runs; ++r) {
      kadro::SearchCost cost;
      const double c0 = cpuSeconds();
      (void)kadro::detectFaceWith(model, copy, true, kadro::SearchOptions{}, &cost);
      cpu["total"].push_back(1000 * (cpuSeconds() - c0));
      cpu["prepare"].push_back(1000 * cost.prepare);
      cpu["coarse"].push_back(1000 * cost.coarse);
      cpu["fine"].push_back(1000 * cost.fine);
      cpu["finer"].push_back(1000 * cost.finer);
      networkRuns = cost.networkRuns;
    }
    std::printf("%-10d %8.1f %8.1f %8.1f %8.1f %8.1f %6d\n", threads, median(cpu["total"]),
                median(cpu["prepare"]), median(cpu["coarse"]), median(cpu["fine"]),
                median(cpu["finer"]), networkRuns);
  }
  kadro::BlazeFace::setThreadsPerPass(0);
  kadro::setDiagnosticStream(nullptr);

  // The first detection of fresh processes, from their start: the model
  // loaded when the detection asks for it, and loaded on a thread of its own
  // while the picture decodes (as kadro crop does).
  for (const char* mode : {"--first", "--first-preload"}) {
    std::vector<double> firstCpu, firstWall;
    for (int r = 0; r < runs; ++r) {
      const std::string command = std::string("'") + argv[0] + "' " + mode + " '" + source + "'";
      std::FILE* child = popen(command.c_str(), "r");
      if (!child) break;
      double c = 0, w = 0;
      std::size_t n = 0;
      if (std::fscanf(child, "%lf %lf %zu", &c, &w, &n) == 3) {
        firstCpu.push_back(1000 * c);
        firstWall.push_back(1000 * w);
      }
      pclose(child);
    }
    std::printf("%sfirst detection of a process, from its start%s: %.1f ms wall, %.1f ms CPU\n",
                mode == std::string("--first") ? "\n" : "",
                mode == std::string("--first") ? "" : ", model loaded during the decode",
                median(firstWall), median(firstCpu));
  }
  double load[3] = {};
  if (getloadavg(load, 3) == 3)
    std::printf("load average %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  fs::remove_all(dir);
  return 0;
}
