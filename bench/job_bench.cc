// The whole image job on a 24 MP JPEG, one child process per run, against
// plain vipsthumbnail on the same file in the same run. Reports the median
// wall time, its ratio to `vipsthumbnail -s 400`, and the peak resident
// memory of the child.
//
//   job_bench [RUNS]         (default 5 runs of everything, interleaved)
//   job_bench --stages [RUNS]  (the same job in this process, split in two)
//
// Two kinds of job run: `kadro crop --preset NAME`, the shipped program with
// the real face detector, and this program's own --job mode, the same job
// with a stand-in face list at the face's known place, which measures the
// pipeline alone whatever the detector costs or finds. --stages runs that
// job in this one process, without process start or model, and splits its
// time at the detector's call: opening and decoding the copy it sees, then
// the cut, shape, border and write.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>
#include <vips/vips8>

#include "Plugin/settings.h"
#include "SmartCrop/smart_crop.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using vips::VImage;

const char* const kPresets[] = {"Square", "Circle", "Hexagon", "Just Border"};

// What the face detector reports for the canvas built below (normalised
// image space, origin lower-left; eye points in face space), so that both
// kinds of run cut the same square.
kadro::FaceObservation standInFace() {
  kadro::FaceObservation face;
  face.boundingBox = {0.4495, 0.5737, 0.0687, 0.1030};
  face.landmarks = kadro::FaceLandmarks{{{{0.35, 0.714}}}, {{{0.65, 0.714}}}};
  return face;
}

// 6000 x 4000: the sample portrait scaled up four times over a blurred,
// grainy copy of itself, saved at the encoder's usual quality.
void makeSource(const std::string& samples, const std::string& path) {
  const VImage photo = VImage::new_from_file((samples + "/astronaut.png").c_str())
                           .extract_band(0, VImage::option()->set("n", 3));
  const VImage backdrop = photo.resize(6000.0 / 512, VImage::option()->set("vscale", 4000.0 / 512))
                              .gaussblur(40)
                              .cast(VIPS_FORMAT_FLOAT);
  const VImage grain = VImage::gaussnoise(6000, 4000, VImage::option()->set("sigma", 8.0));
  const VImage canvas =
      (backdrop + VImage::bandjoin({grain, grain, grain})).cast(VIPS_FORMAT_UCHAR);
  canvas.insert(photo.resize(4), 2000, 1000)
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
      .jpegsave(path.c_str(), VImage::option()->set("Q", 90));
}

struct Sample {
  double seconds = 0;
  long peakKb = 0;
  bool ok = false;
};

Sample runChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env = extraEnv;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  Sample sample;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0) {
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) == pid) {
      sample.seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      sample.peakKb = usage.ru_maxrss;
      sample.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  return sample;
}

int runJob(int argc, char** argv) {
  // job_bench --job PRESET IN OUT
  if (argc != 5) return 2;
  const auto presets = kadro::Settings::defaultPresets();
  const auto found = presets.find(argv[2]);
  if (found == presets.end()) return 2;
  const kadro::FaceDetector standIn = [](const kadro::Raster&, bool) {
    return std::vector<kadro::FaceObservation>{standInFace()};
  };
  const bool ok = kadro::processImage(argv[3], argv[4], found->second, standIn);
  vips_shutdown();
  return ok ? 0 : 1;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int runStages(const std::string& source, const std::string& dir, int runs) {
  using Clock = std::chrono::steady_clock;
  const auto ms = [](Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
  };
  const auto presets = kadro::Settings::defaultPresets();
  std::printf("%-16s %14s %14s %10s   (median ms of %d runs, one process)\n", "preset",
              "to detection", "after it", "whole", runs);
  bool ok = true;
  for (const char* name : kPresets) {
    std::vector<double> before, after, whole;
    for (int r = 0; r < runs; ++r) {
      Clock::time_point seen;
      const kadro::FaceDetector standIn = [&](const kadro::Raster&, bool) {
        seen = Clock::now();
        return std::vector<kadro::FaceObservation>{standInFace()};
      };
      const Clock::time_point start = Clock::now();
      seen = start;
      ok = kadro::processImage(source, dir + "/" + name + ".png", presets.at(name), standIn) && ok;
      const Clock::time_point end = Clock::now();
      before.push_back(ms(seen - start));
      after.push_back(ms(end - seen));
      whole.push_back(ms(end - start));
    }
    std::printf("%-16s %14.1f %14.1f %10.1f\n", name, median(before), median(after), median(whole));
  }
  std::printf("\n\"Just Border\" runs no detection: all its time counts as after.\n");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (VIPS_INIT(argv[0])) return 2;
  if (argc >= 2 && std::string(argv[1]) == "--job") return runJob(argc, argv);
  const bool stages = argc >= 2 && std::string(argv[1]) == "--stages";
  const int runAt = stages ? 2 : 1;
  const int runs = argc > runAt ? std::max(1, std::atoi(argv[runAt])) : 5;

  char pattern[] = "/tmp/kadro-job-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 2;
  const fs::path dir = pattern;
  const std::string source = dir / "24mp.jpg";
  makeSource(KADRO_SAMPLES_DIR, source);
  if (stages) {
    const int status = runStages(source, dir, runs);
    fs::remove_all(dir);
    return status;
  }
  const std::string self = fs::canonical("/proc/self/exe");
  const std::string kadro = std::string(KADRO_STAGE_DIR) + "/bin/kadro";
  const std::vector<std::string> env = {"XDG_CONFIG_HOME=" + (dir / "config").string()};

  struct Case {
    std::string label;
    std::vector<std::string> argv;
    std::string output;
  };
  std::vector<Case> cases = {
      {"vipsthumbnail -s 400",
       {"vipsthumbnail", source, "-s", "400", "-o", dir / "thumb.jpg"},
       dir / "thumb.jpg"},
      {"vipsthumbnail --smartcrop attention -s 400x400",
       {"vipsthumbnail", source, "-s", "400x400", "--smartcrop", "attention", "-o",
        dir / "attention.jpg"},
       dir / "attention.jpg"},
  };
  for (const char* name : kPresets) {
    const std::string out = dir / (std::string(name) + ".jpg");
    const std::string standIn = dir / (std::string(name) + " stand-in.jpg");
    cases.push_back({std::string("kadro crop --preset '") + name + "'",
                     {kadro, "crop", "--preset", name, source, out},
                     out});
    cases.push_back({std::string("job, stand-in face, ") + name,
                     {self, "--job", name, source, standIn},
                     standIn});
  }
  {
    const std::string out = dir / "Circle.png";
    cases.push_back(
        {"job, stand-in face, Circle to PNG", {self, "--job", "Circle", source, out}, out});
  }

  std::map<std::string, std::vector<double>> times;
  std::map<std::string, long> peak;
  std::map<std::string, bool> failed;
  runChild(cases.front().argv, env);  // warm the file cache
  for (int r = 0; r < runs; ++r)
    for (const Case& c : cases) {
      const Sample s = runChild(c.argv, env);
      times[c.label].push_back(s.seconds);
      peak[c.label] = std::max(peak[c.label], s.peakKb);
      if (!s.ok) failed[c.label] = true;
    }

  const double base = median(times[cases.front().label]);
  std::printf("24 MP JPEG (6000 x 4000), %d runs each, median wall time per child process\n\n",
              runs);
  std::printf("%-48s %8s %7s %8s  %s\n", "run", "seconds", "ratio", "peak MB", "output");
  for (const Case& c : cases) {
    const double t = median(times[c.label]);
    std::string size = "none";
    try {
      const VImage out = VImage::new_from_file(c.output.c_str());
      size = std::to_string(out.width()) + " x " + std::to_string(out.height());
    } catch (const vips::VError&) {
      vips_error_clear();
    }
    std::printf("%-48s %8.3f %6.2fx %8.1f  %s%s\n", c.label.c_str(), t, t / base,
                peak[c.label] / 1024.0, size.c_str(), failed[c.label] ? "  FAILED" : "");
  }
  std::printf(
      "\nratio: against vipsthumbnail -s 400 in this run. kadro crop runs the real face\n"
      "detector; the stand-in rows are the same job with the detector's answer given.\n");
  fs::remove_all(dir);
  return 0;
}
