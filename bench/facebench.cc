// Measures the face detector on labelled folders of real photos and on
// variants made from them, as a table: single portraits cropped, groups and
// pictures without faces left, wrong crops, faces counted right, and the
// detection's CPU time per picture.
//
//   facebench [OPTIONS] FOLDER...
//
// Each FOLDER holds a labels.tsv: file, the number of faces that count ("7+"
// for at least seven, 0 for none) and "crop" or "leave", tab-separated; lines
// starting with '#' are comments. Options:
//
//   --variants DIR   also make (once, kept in DIR) and measure the variants
//                    named in kVariants; DIR should lie outside the repository
//   --only A,B       measure only these variants ("original" is the folder)
//   --side N         the detector gets the picture reduced so that its long
//                    side is at least N, as the image job hands it (1024)
//   --list           one line per picture that is not as labelled
//   --eyes FILE      eye error against pupils marked by hand (see bench/eyes.tsv)
//   --set NAME=V     changes one of the search's settings (SearchOptions)
//
// A picture counts as cropped when the detector returns exactly one face
// with skipGroups, as the crop asks.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>
#include <vips/vips8>

#include "SmartCrop/blazeface_search.h"
#include "SmartCrop/diagnostics.h"
#include "SmartCrop/faces.h"
#include "SmartCrop/image_io.h"

namespace {

namespace fs = std::filesystem;
using vips::VImage;

struct Label {
  std::string file;
  int faces = 0;
  bool atLeast = false;  // "7+"
  bool crop = false;
};

std::vector<Label> readLabels(const fs::path& folder) {
  std::ifstream in(folder / "labels.tsv");
  if (!in) {
    std::fprintf(stderr, "facebench: no labels.tsv in %s\n", folder.c_str());
    std::exit(2);
  }
  std::vector<Label> labels;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Label l;
    std::string count, result;
    if (!std::getline(fields, l.file, '\t') || !std::getline(fields, count, '\t') ||
        !std::getline(fields, result, '\t'))
      continue;
    l.atLeast = !count.empty() && count.back() == '+';
    l.faces = std::atoi(count.c_str());
    l.crop = result.rfind("crop", 0) == 0;
    labels.push_back(l);
  }
  return labels;
}

void writeLabels(const fs::path& folder, const std::vector<Label>& labels) {
  std::ofstream out(folder / "labels.tsv");
  out << "# file\tfaces that count\texpected result of a crop preset\n";
  for (const Label& l : labels)
    out << l.file << '\t' << l.faces << (l.atLeast ? "+" : "") << '\t'
        << (l.crop ? "crop" : "leave") << '\n';
}

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

double wallSeconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// The picture as the image job hands it to the detector: JPEG reduced on
// load, other formats box-shrunk, the long side kept at `side` or more.
kadro::Raster jobCopy(const fs::path& path, int side) {
  std::string error;
  const auto source = kadro::ImageSource::open(path.string(), &error);
  if (!source) throw std::runtime_error(error);
  const int longSide = std::max(source->width(), source->height());
  if (source->shrinksOnLoad()) {
    int shrink = 1;
    for (int s : {8, 4, 2})
      if (longSide / s >= side) {
        shrink = s;
        break;
      }
    return kadro::Raster(source->decode(shrink, false).image().copy_memory());
  }
  VImage base = source->decode(1, false).image();
  const int factor = longSide / side;
  if (factor >= 2) base = base.shrink(factor, factor);
  return kadro::Raster(base.copy_memory());
}

struct Found {
  std::vector<kadro::FaceObservation> faces;
  kadro::SearchCost cost;
  double cpu = 0;   // seconds
  double wall = 0;  // seconds
};

// The search's settings, changed by --set.
kadro::SearchOptions g_options;

bool setOption(const std::string& assignment) {
  const std::size_t eq = assignment.find('=');
  if (eq == std::string::npos) return false;
  const std::string name = assignment.substr(0, eq);
  const double v = std::atof(assignment.c_str() + eq + 1);
  kadro::SearchOptions& o = g_options;
  const std::map<std::string, std::function<void()>> setters = {
      {"coarseSize", [&] { o.coarseSize = static_cast<int>(v); }},
      {"fineSize", [&] { o.fineSize = static_cast<int>(v); }},
      {"coarseMinScore", [&] { o.coarseMinScore = v; }},
      {"fineMinScore", [&] { o.fineMinScore = v; }},
      {"finerMinScore", [&] { o.finerMinScore = v; }},
      {"fineMaxWidth", [&] { o.fineMaxWidth = v; }},
      {"refineSize", [&] { o.refineSize = static_cast<int>(v); }},
      {"quickSize", [&] { o.quickSize = static_cast<int>(v); }},
      {"quickConfidence", [&] { o.quickConfidence = v; }},
      {"refineSpan", [&] { o.refineSpan = v; }},
      {"refineMinScore", [&] { o.refineMinScore = v; }},
      {"minConfidence", [&] { o.minConfidence = v; }},
      {"unsureConfidence", [&] { o.unsureConfidence = v; }},
      {"recheckSpan", [&] { o.recheckSpan = v; }},
      {"recheckConfidence", [&] { o.recheckConfidence = v; }},
      {"turnedLook", [&] { o.turnedLook = v; }},
      {"turnedConfidence", [&] { o.turnedConfidence = v; }},
      {"turnedSize", [&] { o.turnedSize = static_cast<int>(v); }},
      {"reach", [&] { o.reach = v; }},
      {"finerSize", [&] { o.finerSize = static_cast<int>(v); }},
      {"minRelativeWidth", [&] { o.minRelativeWidth = v; }},
  };
  const auto it = setters.find(name);
  if (it == setters.end()) return false;
  it->second();
  return true;
}

Found detect(const kadro::FaceModel& model, const kadro::Raster& picture) {
  std::ostringstream lines;
  kadro::setDiagnosticStream(&lines);
  Found f;
  const double c0 = cpuSeconds(), w0 = wallSeconds();
  f.faces = kadro::detectFaceWith(model, picture, /*skipGroups=*/false, g_options, &f.cost);
  f.cpu = cpuSeconds() - c0;
  f.wall = wallSeconds() - w0;
  kadro::setDiagnosticStream(nullptr);
  return f;
}

// ---- Variants -------------------------------------------------------------

// What the variants need to know of a picture's faces: found once on the
// original by the detector of the day, kept beside the variants.
struct Reference {
  int width = 0, height = 0;
  std::vector<kadro::Rect> boxes;  // pixel space, widest first
  std::vector<kadro::Point> rightEyes, leftEyes;
};

VImage rgb(VImage in) {
  if (in.interpretation() != VIPS_INTERPRETATION_sRGB)
    in = in.colourspace(VIPS_INTERPRETATION_sRGB);
  if (in.has_alpha()) in = in.flatten();
  if (in.bands() > 3) in = in.extract_band(0, VImage::option()->set("n", 3));
  if (in.bands() == 1) in = VImage::bandjoin({in, in, in});
  return in.cast(VIPS_FORMAT_UCHAR);
}

VImage asSrgb(const VImage& in) {
  return in.cast(VIPS_FORMAT_UCHAR)
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

// A stable small number per file, so variants vary between pictures yet are
// made the same every time.
unsigned pick(const std::string& file, unsigned n) {
  unsigned h = 2166136261u;
  for (unsigned char c : file) h = (h ^ c) * 16777619u;
  return h % n;
}

VImage turned(const VImage& in, double degrees) {
  return in.similarity(VImage::option()
                           ->set("angle", degrees)
                           ->set("interpolate", vips::VInterpolate::new_from_name("bicubic")));
}

VImage grey(const VImage& in) {
  const VImage y = in.colourspace(VIPS_INTERPRETATION_B_W);
  return asSrgb(VImage::bandjoin({y, y, y}));
}

// A field of soft noise, nothing like a face, for pasting into: mid-tones
// around `base` (libvips' noise is centred on 128 unless told otherwise).
VImage backdrop(int width, int height, unsigned seed) {
  const VImage noise = VImage::gaussnoise(
      width / 16 + 1, height / 16 + 1,
      VImage::option()->set("mean", 0.0)->set("sigma", 40.0)->set("seed", static_cast<int>(seed)));
  const VImage smooth = noise.resize(16, VImage::option()->set("kernel", VIPS_KERNEL_CUBIC))
                            .extract_area(0, 0, width, height);
  const double base[3] = {110.0 + seed % 60, 120.0, 100.0 + seed % 50};
  return asSrgb(
      VImage::bandjoin({smooth + base[0], smooth * 0.8 + base[1], smooth * 0.6 + base[2]}));
}

using Maker = std::function<std::optional<VImage>(const VImage& picture, const Label& label,
                                                  const Reference& ref, Label& out,
                                                  const std::function<VImage(std::size_t)>& other)>;

struct Variant {
  const char* name;
  Maker make;
};

double widest(const Reference& ref) { return ref.boxes.empty() ? 0 : ref.boxes[0].width; }

std::vector<Variant> variants() {
  std::vector<Variant> v;
  v.push_back({"grey", [](const VImage& p, auto&, auto&, auto&, auto&) -> std::optional<VImage> {
                 return grey(p);
               }});
  v.push_back({"sepia", [](const VImage& p, auto&, auto&, auto&, auto&) -> std::optional<VImage> {
                 const VImage y = p.colourspace(VIPS_INTERPRETATION_B_W);
                 return asSrgb(VImage::bandjoin({y * 1.07 + 20, y * 0.87 + 10, y * 0.62}));
               }});
  v.push_back({"faded", [](const VImage& p, auto&, auto&, auto&, auto&) -> std::optional<VImage> {
                 // Low contrast, lifted blacks, washed-out colour.
                 const VImage washed =
                     p.cast(VIPS_FORMAT_FLOAT) * 0.5 + grey(p).cast(VIPS_FORMAT_FLOAT) * 0.5;
                 return asSrgb(washed * 0.4 + 120);
               }});
  v.push_back(
      {"cast", [](const VImage& p, const Label& l, auto&, auto&, auto&) -> std::optional<VImage> {
         // Warm, green or blue, strong.
         static const std::vector<double> casts[] = {
             {1.25, 0.95, 0.55}, {0.75, 1.15, 0.7}, {0.6, 0.85, 1.35}};
         return asSrgb(p * casts[pick(l.file, 3)]);
       }});
  v.push_back(
      {"grain", [](const VImage& p, const Label& l, auto&, auto&, auto&) -> std::optional<VImage> {
         // Grain darkens as much as it lightens: libvips' noise is centred
         // on 128 unless told otherwise, which would wash the picture out.
         const VImage n =
             VImage::gaussnoise(p.width(), p.height(),
                                VImage::option()
                                    ->set("mean", 0.0)
                                    ->set("sigma", 22.0)
                                    ->set("seed", static_cast<int>(pick(l.file, 1000))));
         const VImage fine =
             VImage::gaussnoise(p.width(), p.height(),
                                VImage::option()
                                    ->set("mean", 0.0)
                                    ->set("sigma", 30.0)
                                    ->set("seed", static_cast<int>(pick(l.file, 1000)) + 1));
         return asSrgb(p + VImage::bandjoin({n, n, n}) * 0.8 + fine * 0.3);
       }});
  v.push_back({"jpeg15", [](const VImage& p, auto&, auto&, auto&, auto&) -> std::optional<VImage> {
                 return p;  // saved at quality 15 below
               }});
  v.push_back({"turn+20", [](const VImage& p, auto&, auto&, auto&, auto&) -> std::optional<VImage> {
                 return turned(p, 20);
               }});
  v.push_back({"turn-20", [](const VImage& p, auto&, auto&, auto&, auto&) -> std::optional<VImage> {
                 return turned(p, -20);
               }});
  v.push_back({"small",
               [](const VImage& p, const Label& l, const Reference& r, auto&,
                  auto&) -> std::optional<VImage> {
                 // The widest face 40 to 80 px wide (groups: 55 to 80, so
                 // that their smaller faces stay visible).
                 const double target =
                     (l.faces >= 2 ? 55 : 40) + pick(l.file, l.faces >= 2 ? 26 : 41);
                 const double scale =
                     widest(r) > 0 ? target / widest(r) : 400.0 / std::max(p.width(), p.height());
                 if (scale >= 1) return p;
                 return p.resize(scale);
               }});
  v.push_back({"pasted",
               [](const VImage& p, const Label& l, const Reference& r, auto&,
                  auto&) -> std::optional<VImage> {
                 // Scaled so the widest face is 3 to 5 % of the long side of
                 // a 2400 x 1600 field of soft noise (72 to 120 px): photos
                 // whose face is smaller are enlarged, else a 33 px face would
                 // sit at 1.4 % of the field, under what anyone counts.
                 const double target = 2400 * (0.03 + 0.001 * pick(l.file, 21));
                 double scale = widest(r) > 0 ? target / widest(r) : 0.25;
                 scale = std::min(scale, 1500.0 / std::max(p.width(), p.height()));
                 const VImage small = scale != 1 ? p.resize(scale) : p;
                 const int W = 2400, H = 1600;
                 const int x = static_cast<int>(pick(l.file + "x", std::max(1, W - small.width())));
                 const int y =
                     static_cast<int>(pick(l.file + "y", std::max(1, H - small.height())));
                 return backdrop(W, H, pick(l.file, 97)).insert(small, x, y);
               }});
  v.push_back({"two",
               [](const VImage& p, const Label& l, const Reference& r, Label& out,
                  const std::function<VImage(std::size_t)>& other) -> std::optional<VImage> {
                 // A second portrait beside the first, its face 0.4 to 0.6 as
                 // wide: a group.
                 if (!l.crop || r.boxes.empty()) return std::nullopt;
                 const VImage second = other(pick(l.file, 1u << 20));
                 if (second.width() == 0) return std::nullopt;
                 const double ratio = 0.4 + 0.01 * pick(l.file + "r", 21);
                 // A face under 40 px is no one a person would count.
                 if (ratio * widest(r) < 40) return std::nullopt;
                 // `other` hands the picture already scaled to a face width of 100.
                 const VImage s = second.resize(ratio * widest(r) / 100.0);
                 const int h = std::max(p.height(), s.height());
                 out.faces = 2;
                 out.crop = false;
                 return p.embed(0, 0, p.width(), h)
                     .join(s.embed(0, 0, s.width(), h), VIPS_DIRECTION_HORIZONTAL);
               }});
  v.push_back({"shadow",
               [](const VImage& p, const Label& l, const Reference& r, auto&,
                  auto&) -> std::optional<VImage> {
                 // One half of the face in deep shadow, a soft edge across
                 // its middle.
                 const double cx =
                     r.boxes.empty() ? p.width() / 2.0 : r.boxes[0].x + r.boxes[0].width / 2;
                 const double soft =
                     std::max(4.0, r.boxes.empty() ? p.width() / 20.0 : r.boxes[0].width / 6);
                 const VImage x = VImage::xyz(p.width(), p.height())[0];
                 VImage t = ((x - cx) / soft).cast(VIPS_FORMAT_FLOAT);
                 if (pick(l.file, 2)) t = t * -1;
                 const VImage shade =
                     (t > 1).ifthenelse(1.0, (t < -1).ifthenelse(0.0, t * 0.5 + 0.5));
                 const VImage factor = 1 - shade * 0.78;
                 return asSrgb(p * factor);
               }});
  v.push_back(
      {"hats",
       [](const VImage& p, const Label& l, const Reference& r, auto&,
          auto&) -> std::optional<VImage> {
         // Dark glasses on every face found, and on every other face
         // a wide-brimmed hat down to the eyebrows.
         if (r.boxes.empty()) return std::nullopt;
         VImage out = p.copy_memory();
         for (std::size_t i = 0; i < r.boxes.size(); ++i) {
           const kadro::Point a = r.rightEyes[i], b = r.leftEyes[i];
           const double d = std::hypot(b.x - a.x, b.y - a.y);
           if (d < 4) continue;
           const std::vector<double> lens = {25, 25, 30};
           const int rad = static_cast<int>(0.34 * d);
           out.draw_circle(lens, static_cast<int>(a.x), static_cast<int>(a.y), rad,
                           VImage::option()->set("fill", true));
           out.draw_circle(lens, static_cast<int>(b.x), static_cast<int>(b.y), rad,
                           VImage::option()->set("fill", true));
           out.draw_line(lens, static_cast<int>(a.x), static_cast<int>(a.y), static_cast<int>(b.x),
                         static_cast<int>(b.y));
           if ((pick(l.file, 2) + i) % 2 == 0) {
             const std::vector<double> felt = {70, 45, 30};
             const double mx = (a.x + b.x) / 2, my = (a.y + b.y) / 2;
             const double brimY = my - 0.75 * d;
             const int bw = static_cast<int>(3.6 * d), bh = std::max(2, static_cast<int>(0.3 * d));
             out.draw_rect(felt, static_cast<int>(mx - bw / 2.0), static_cast<int>(brimY - bh), bw,
                           bh, VImage::option()->set("fill", true));
             const int cw = static_cast<int>(2.0 * d), ch = static_cast<int>(1.5 * d);
             out.draw_rect(felt, static_cast<int>(mx - cw / 2.0), static_cast<int>(brimY - bh - ch),
                           cw, ch, VImage::option()->set("fill", true));
           }
         }
         return out;
       }});
  return v;
}

fs::path variantPath(const fs::path& dir, const std::string& file, const char* name) {
  fs::path p = dir / file;
  if (std::string(name) == "jpeg15" || std::string(name) == "pasted" || std::string(name) == "two")
    p.replace_extension(".jpg");
  else
    p.replace_extension(".png");
  return p;
}

// Makes the variants of one labelled folder under `cache`, once.
void makeVariants(const kadro::FaceModel& model, const fs::path& folder, const fs::path& cache,
                  const std::vector<std::string>& wanted) {
  const std::vector<Label> labels = readLabels(folder);
  fs::create_directories(cache);
  // The originals, reduced as the job would see them at most 1600 px long,
  // and their faces as found today.
  std::map<std::string, Reference> refs;
  std::map<std::string, VImage> pictures;
  auto load = [&](const Label& l) -> VImage {
    auto it = pictures.find(l.file);
    if (it != pictures.end()) return it->second;
    VImage p = rgb(jobCopy(folder / l.file, 1600).image());
    const double longSide = std::max(p.width(), p.height());
    if (longSide > 1600) p = p.resize(1600 / longSide);
    p = p.copy_memory();
    pictures[l.file] = p;
    return p;
  };
  auto reference = [&](const Label& l) -> Reference {
    auto it = refs.find(l.file);
    if (it != refs.end()) return it->second;
    const VImage p = load(l);
    Reference r{p.width(), p.height(), {}, {}, {}};
    for (const kadro::FaceObservation& f : detect(model, kadro::Raster(p)).faces) {
      r.boxes.push_back(kadro::pixelRect(f.boundingBox, p.width(), p.height()));
      r.rightEyes.push_back(
          kadro::pixelPoint(f.landmarks->rightEye->front(), f.boundingBox, p.width(), p.height()));
      r.leftEyes.push_back(
          kadro::pixelPoint(f.landmarks->leftEye->front(), f.boundingBox, p.width(), p.height()));
    }
    refs[l.file] = r;
    return r;
  };
  std::vector<Label> portraits;
  for (const Label& l : labels)
    if (l.crop) portraits.push_back(l);
  // Another portrait scaled so its face is 100 px wide.
  auto other = [&](std::size_t k) -> VImage {
    if (portraits.empty()) return VImage::black(0, 0);
    const Label& l = portraits[k % portraits.size()];
    const Reference r = reference(l);
    if (r.boxes.empty()) return VImage::black(0, 0);
    return load(l).resize(std::min(4.0, 100.0 / r.boxes[0].width));
  };
  for (const Variant& v : variants()) {
    if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), v.name) == wanted.end())
      continue;
    const fs::path dir = cache / v.name;
    if (fs::exists(dir / "labels.tsv")) continue;
    fs::create_directories(dir);
    std::fprintf(stderr, "facebench: making %s\n", dir.c_str());
    std::vector<Label> made;
    for (const Label& l : labels) {
      Label out = l;
      std::optional<VImage> p;
      try {
        p = v.make(load(l), l, reference(l), out, other);
      } catch (const vips::VError& e) {
        std::fprintf(stderr, "facebench: %s %s: %s\n", v.name, l.file.c_str(), e.what());
      }
      if (!p) continue;
      const fs::path path = variantPath(dir, l.file, v.name);
      out.file = path.filename().string();
      if (path.extension() == ".jpg")
        p->jpegsave(path.c_str(),
                    VImage::option()->set("Q", std::string(v.name) == "jpeg15" ? 15 : 88));
      else
        p->pngsave(path.c_str(), VImage::option()->set("compression", 1));
      made.push_back(out);
    }
    writeLabels(dir, made);
  }
}

// ---- Measuring ------------------------------------------------------------

struct Row {
  std::string name;
  int pictures = 0;
  int portraits = 0, portraitsCropped = 0;
  int groups = 0, groupsLeft = 0;
  int empty = 0, emptyLeft = 0;
  int wrongCrops = 0;
  int countRight = 0;
  double cpu = 0, cpuMax = 0, wall = 0;
  kadro::SearchCost parts;  // summed
  std::vector<std::string> misses;
};

Row measure(const kadro::FaceModel& model, const std::string& name, const fs::path& folder,
            int side) {
  Row row;
  row.name = name;
  for (const Label& l : readLabels(folder)) {
    kadro::Raster picture(VImage::black(1, 1));
    try {
      picture = jobCopy(folder / l.file, side);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "facebench: %s: %s\n", l.file.c_str(), e.what());
      continue;
    }
    const Found found = detect(model, picture);
    const int n = static_cast<int>(found.faces.size());
    const bool cropped = n == 1;
    ++row.pictures;
    row.cpu += found.cpu;
    row.wall += found.wall;
    row.cpuMax = std::max(row.cpuMax, found.cpu);
    row.parts.prepare += found.cost.prepare;
    row.parts.coarse += found.cost.coarse;
    row.parts.fine += found.cost.fine;
    row.parts.finer += found.cost.finer;
    row.parts.networkRuns += found.cost.networkRuns;
    const bool countOk = l.atLeast ? n >= l.faces : n == l.faces;
    // A group shows at least two faces; "countOk" for a 7+ crowd asks for all.
    row.countRight += countOk;
    bool right = true;
    if (l.crop) {
      ++row.portraits;
      row.portraitsCropped += cropped;
      right = cropped;
    } else if (l.faces >= 2) {
      ++row.groups;
      row.groupsLeft += !cropped;
      right = !cropped;
    } else {
      ++row.empty;
      row.emptyLeft += !cropped;
      right = !cropped;
    }
    if (!l.crop && cropped) ++row.wrongCrops;
    if (!right || !countOk) {
      std::ostringstream m;
      m << name << '/' << l.file << ": label " << l.faces << (l.atLeast ? "+" : "") << ' '
        << (l.crop ? "crop" : "leave") << ", found " << n;
      for (const kadro::FaceObservation& f : found.faces) {
        const kadro::Rect b = kadro::pixelRect(f.boundingBox, picture.width(), picture.height());
        char text[96];
        std::snprintf(text, sizeof text, " [%.0f,%.0f %.0fpx %.2f]", b.x, b.y, b.width,
                      f.confidence);
        m << text;
      }
      m << (right ? "" : "  <-- wrong result");
      row.misses.push_back(m.str());
    }
  }
  return row;
}

std::string ratio(int n, int of) {
  if (of == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%d/%d", n, of);
  return text;
}

void printHeader() {
  std::printf("%-22s %5s %10s %8s %8s %6s %9s %8s %8s %8s  %s\n", "set", "pics", "portraits",
              "groups", "no-face", "wrong", "count ok", "cpu ms", "cpu max", "wall ms",
              "cpu ms: prepare coarse fine finer, network runs");
}

void printRow(const Row& r) {
  const double n = std::max(1, r.pictures);
  std::printf("%-22s %5d %10s %8s %8s %6d %9s %8.1f %8.1f %8.1f  %.1f %.1f %.1f %.1f, %.1f\n",
              r.name.c_str(), r.pictures, ratio(r.portraitsCropped, r.portraits).c_str(),
              ratio(r.groupsLeft, r.groups).c_str(), ratio(r.emptyLeft, r.empty).c_str(),
              r.wrongCrops, ratio(r.countRight, r.pictures).c_str(), 1000 * r.cpu / n,
              1000 * r.cpuMax, 1000 * r.wall / n, 1000 * r.parts.prepare / n,
              1000 * r.parts.coarse / n, 1000 * r.parts.fine / n, 1000 * r.parts.finer / n,
              r.parts.networkRuns / n);
  std::fflush(stdout);
}

// ---- Eye error ------------------------------------------------------------

// bench/eyes.tsv: file (relative to the first folder), then the subject's
// right and left pupil in the picture's own pixels. Error: distance from the
// eye point to the middle of the marked pupils, over their distance.
void eyeErrors(const kadro::FaceModel& model, const fs::path& marks, const fs::path& folder,
               int side) {
  std::ifstream in(marks);
  std::string line;
  std::vector<std::pair<double, std::string>> errors;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream f(line);
    std::string file;
    double rx, ry, lx, ly;
    if (!(f >> file >> rx >> ry >> lx >> ly)) continue;
    std::string error;
    const auto source = kadro::ImageSource::open((folder / file).string(), &error);
    if (!source) continue;
    const kadro::Raster picture = jobCopy(folder / file, side);
    const double s = static_cast<double>(picture.width()) / source->width();
    const kadro::Point mid{(rx + lx) / 2 * s, (ry + ly) / 2 * s};
    const double d = std::hypot(lx - rx, ly - ry) * s;
    // The face whose box holds the marked eyes.
    double best = -1;
    for (const kadro::FaceObservation& face : detect(model, picture).faces) {
      const kadro::Rect b = kadro::pixelRect(face.boundingBox, picture.width(), picture.height());
      if (mid.x < b.x || mid.x > b.x + b.width || mid.y < b.y || mid.y > b.y + b.height) continue;
      const auto eye = kadro::averageEyeHeight(face);
      if (!eye) continue;
      const kadro::Point p =
          kadro::pixelPoint(*eye, face.boundingBox, picture.width(), picture.height());
      best = std::hypot(p.x - mid.x, p.y - mid.y) / d;
    }
    errors.push_back({best, file});
  }
  std::sort(errors.begin(), errors.end(), [](auto& a, auto& b) { return a.first > b.first; });
  double sum = 0;
  int n = 0, missing = 0;
  for (auto& [e, file] : errors) {
    if (e < 0) {
      ++missing;
      continue;
    }
    sum += e;
    ++n;
  }
  std::printf("\neye error over the eye distance, %d faces (%d not found): mean %.3f, worst:", n,
              missing, n ? sum / n : 0);
  for (std::size_t i = 0; i < std::min<std::size_t>(5, errors.size()); ++i)
    std::printf(" %s %.3f%s", errors[i].second.c_str(), errors[i].first, i + 1 < 5 ? "," : "");
  std::printf("\n");
}

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> parts;
  std::istringstream in(s);
  std::string p;
  while (std::getline(in, p, ',')) parts.push_back(p);
  return parts;
}

}  // namespace

int main(int argc, char** argv) {
  if (VIPS_INIT(argv[0])) return 2;
  vips_cache_set_max(0);
  std::optional<fs::path> cache, eyes;
  std::vector<std::string> only;
  std::vector<fs::path> folders;
  int side = 1024;
  bool list = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--variants" && i + 1 < argc)
      cache = argv[++i];
    else if (a == "--only" && i + 1 < argc)
      only = split(argv[++i]);
    else if (a == "--side" && i + 1 < argc)
      side = std::max(64, std::atoi(argv[++i]));
    else if (a == "--eyes" && i + 1 < argc)
      eyes = argv[++i];
    else if (a == "--set" && i + 1 < argc) {
      if (!setOption(argv[++i])) {
        std::fprintf(stderr, "facebench: unknown setting %s\n", argv[i]);
        return 2;
      }
    } else if (a == "--list")
      list = true;
    else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr,
                   "usage: facebench [--variants DIR] [--only A,B] [--side N] [--list] "
                   "[--eyes FILE] FOLDER...\n");
      return 2;
    } else
      folders.push_back(a);
  }
  if (folders.empty()) {
    std::fprintf(stderr, "facebench: no folder given\n");
    return 2;
  }
  const kadro::FaceModel model = kadro::loadFaceModel(KADRO_TEST_MODEL);
  if (!model.model) {
    std::fprintf(stderr, "facebench: %s\n", model.error.c_str());
    return 1;
  }
  auto wanted = [&](const std::string& name) {
    return only.empty() || std::find(only.begin(), only.end(), name) != only.end();
  };
  std::printf("face detection on labelled pictures (detector input: long side >= %d); %ld cores\n",
              side, sysconf(_SC_NPROCESSORS_ONLN));
  std::vector<Row> rows;
  printHeader();
  for (const fs::path& folder : folders) {
    const std::string base = fs::absolute(folder).lexically_normal().parent_path().filename() == ""
                                 ? folder.string()
                                 : fs::absolute(folder).lexically_normal().filename().string();
    if (wanted("original")) {
      rows.push_back(measure(model, base, folder, side));
      printRow(rows.back());
    }
    if (!cache) continue;
    const fs::path dir = *cache / base;
    makeVariants(model, folder, dir, only);
    for (const Variant& v : variants()) {
      if (!wanted(v.name) || !fs::exists(dir / v.name / "labels.tsv")) continue;
      rows.push_back(measure(model, base + "/" + v.name, dir / v.name, side));
      printRow(rows.back());
    }
  }
  Row all;
  all.name = "all";
  for (const Row& r : rows) {
    all.pictures += r.pictures;
    all.portraits += r.portraits;
    all.portraitsCropped += r.portraitsCropped;
    all.groups += r.groups;
    all.groupsLeft += r.groupsLeft;
    all.empty += r.empty;
    all.emptyLeft += r.emptyLeft;
    all.wrongCrops += r.wrongCrops;
    all.countRight += r.countRight;
    all.cpu += r.cpu;
    all.wall += r.wall;
    all.cpuMax = std::max(all.cpuMax, r.cpuMax);
    all.parts.prepare += r.parts.prepare;
    all.parts.coarse += r.parts.coarse;
    all.parts.fine += r.parts.fine;
    all.parts.finer += r.parts.finer;
    all.parts.networkRuns += r.parts.networkRuns;
  }
  if (rows.size() > 1) printRow(all);
  if (list)
    for (const Row& r : rows)
      for (const std::string& m : r.misses) std::printf("  %s\n", m.c_str());
  if (eyes) eyeErrors(model, *eyes, folders.front(), side);
  return 0;
}
