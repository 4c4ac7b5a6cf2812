#include "SmartCrop/blazeface_search.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <optional>

namespace kadro {
namespace {

constexpr double kFilterBelow = 0.75;  // scales under this shrink through reduce

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// Three bands of 8-bit sRGB, transparency flattened onto white.
vips::VImage toRgb8(vips::VImage in) {
  if (in.interpretation() != VIPS_INTERPRETATION_sRGB || in.format() != VIPS_FORMAT_UCHAR)
    in = in.colourspace(VIPS_INTERPRETATION_sRGB);
  if (in.has_alpha())
    in = in.flatten(vips::VImage::option()->set("background", std::vector<double>{255, 255, 255}));
  if (in.format() != VIPS_FORMAT_UCHAR) in = in.cast(VIPS_FORMAT_UCHAR);
  if (in.bands() > 3) in = in.extract_band(0, vips::VImage::option()->set("n", 3));
  if (in.bands() < 3) {
    const vips::VImage first = in.extract_band(0);
    in = vips::VImage::bandjoin({first, first, first});
  }
  return in;
}

// A square of the picture as the model sees it: centred on `centre`, `side`
// picture pixels wide, turned by `angle` (radians, clockwise on screen as y
// points down), sampled to `input` x `input` pixels. Input pixel d lies at
// centre + R(angle) (d - input / 2) side / input.
struct Square {
  Point centre;
  double side = 0;
  double angle = 0;
  int input = BlazeFace::kInputSize;

  Point toPicture(Point d) const {
    const double step = side / input;
    const double u = (d.x - input / 2.0) * step;
    const double v = (d.y - input / 2.0) * step;
    const double c = std::cos(angle), s = std::sin(angle);
    return {centre.x + c * u - s * v, centre.y + s * u + c * v};
  }
};

// The model input for `square`; outside the picture is black.
vips::VImage sample(const vips::VImage& rgb, const Square& square) {
  const double c = std::cos(square.angle), s = std::sin(square.angle);
  const double step = square.side / square.input;
  // Source area under the turned square, with room for the interpolator.
  const double reach = 0.5 * square.side * (std::abs(c) + std::abs(s)) + 2 * step + 2;
  const int left = static_cast<int>(std::floor(square.centre.x - reach));
  const int top = static_cast<int>(std::floor(square.centre.y - reach));
  const int extent = static_cast<int>(std::ceil(2 * reach)) + 1;
  vips::VImage region = rgb.embed(-left, -top, extent, extent);
  Point centre{square.centre.x - left, square.centre.y - top};
  double scale = 1 / step;  // region pixels to input pixels
  // Shrinking needs a proper filter first, against aliasing (reduce: far
  // faster than resize for large factors). Mild shrinking does without:
  // bilinear sampling barely aliases there, and each operation costs a
  // pipeline of its own per square.
  if (scale < kFilterBelow) {
    region = region.reduce(1 / scale, 1 / scale);
    centre = {centre.x * scale, centre.y * scale};
    scale = 1;
  }
  // Forward map: d = scale R(-angle) (q - centre) + input / 2.
  return region.affine({scale * c, scale * s, -scale * s, scale * c},
                       vips::VImage::option()
                           ->set("oarea", std::vector<int>{0, 0, square.input, square.input})
                           ->set("idx", -centre.x)
                           ->set("idy", -centre.y)
                           ->set("odx", square.input / 2.0)
                           ->set("ody", square.input / 2.0)
                           ->set("interpolate", vips::VInterpolate::new_from_name("bilinear")));
}

FaceCandidate toCandidate(const BlazeFaceDetection& d, const Square& square) {
  const double step = square.side / square.input;
  const Point centre = square.toPicture(d.centre);
  FaceCandidate f;
  f.box = {centre.x - 0.5 * d.size.width * step, centre.y - 0.5 * d.size.height * step,
           d.size.width * step, d.size.height * step};
  f.rightEye = square.toPicture(d.keypoints[kRightEye]);
  f.leftEye = square.toPicture(d.keypoints[kLeftEye]);
  f.score = d.score;
  return f;
}

FaceCandidate scaled(FaceCandidate f, double sx, double sy) {
  f.box = {f.box.x * sx, f.box.y * sy, f.box.width * sx, f.box.height * sy};
  f.rightEye = {f.rightEye.x * sx, f.rightEye.y * sy};
  f.leftEye = {f.leftEye.x * sx, f.leftEye.y * sy};
  return f;
}

Point boxCentre(const Rect& r) { return {r.x + r.width / 2, r.y + r.height / 2}; }

// The faces of the whole of `rgb` seen at `longSide` pixels along its long
// side, in `rgb`'s pixels; the input is padded with black to whole strides.
// Faces wider than `maxWidth` input pixels are left out.
std::vector<FaceCandidate> wholePass(const BlazeFace& model, const vips::VImage& rgb, int longSide,
                                     double minScore, double maxWidth) {
  const double scale = static_cast<double>(longSide) / std::max(rgb.width(), rgb.height());
  vips::VImage in = rgb;
  // A strip keeps at least one pixel across.
  if (scale < 1)
    in = rgb.reduce(std::min<double>(1 / scale, rgb.width()),
                    std::min<double>(1 / scale, rgb.height()),
                    vips::VImage::option()->set("kernel", VIPS_KERNEL_LINEAR));
  else if (scale > 1)
    in = rgb.resize(scale, vips::VImage::option()->set("kernel", VIPS_KERNEL_LINEAR));
  const double ax = static_cast<double>(in.width()) / rgb.width();
  const double ay = static_cast<double>(in.height()) / rgb.height();
  const int stride = BlazeFace::kStride;
  const int w = (in.width() + stride - 1) / stride * stride;
  const int h = (in.height() + stride - 1) / stride * stride;
  std::vector<FaceCandidate> found;
  for (const BlazeFaceDetection& d : model.detect(in.embed(0, 0, w, h), minScore)) {
    if (d.size.width > maxWidth) continue;
    FaceCandidate f;
    f.box = {d.centre.x - d.size.width / 2, d.centre.y - d.size.height / 2, d.size.width,
             d.size.height};
    f.rightEye = d.keypoints[kRightEye];
    f.leftEye = d.keypoints[kLeftEye];
    f.score = d.score;
    found.push_back(scaled(f, 1 / ax, 1 / ay));
  }
  return found;
}

// A closer look at one face on a square around it, turned so the eyes are
// level: the model is trained on upright faces. Nothing when it finds no
// face near the middle.
std::optional<FaceCandidate> refine(const BlazeFace& model, const vips::VImage& full,
                                    const vips::VImage& work, double workScale,
                                    const FaceCandidate& face, const SearchOptions& options,
                                    double span, int size, double turn = 0) {
  Square square;
  square.centre = boxCentre(face.box);
  square.side = span * std::max(face.box.width, face.box.height);
  square.angle =
      std::atan2(face.leftEye.y - face.rightEye.y, face.leftEye.x - face.rightEye.x) + turn;
  square.input = size;
  // The reduced copy is sharp enough when the square shrinks even there.
  const bool fromWork = square.side * workScale >= square.input;
  Square source = square;
  if (fromWork) {
    source.centre = {square.centre.x * workScale, square.centre.y * workScale};
    source.side = square.side * workScale;
  }
  std::vector<FaceCandidate> found;
  for (const BlazeFaceDetection& d :
       model.detect(sample(fromWork ? work : full, source), options.refineMinScore)) {
    FaceCandidate f = toCandidate(d, source);
    found.push_back(fromWork ? scaled(f, 1 / workScale, 1 / workScale) : f);
  }
  // The face searched for is the merged detection nearest the middle.
  std::optional<FaceCandidate> best;
  double bestDistance = 0.25 * square.side;
  for (const FaceCandidate& f : mergeCandidates(std::move(found), options.mergeOverlap)) {
    const Point c = boxCentre(f.box);
    const double distance = std::hypot(c.x - square.centre.x, c.y - square.centre.y);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = f;
    }
  }
  return best;
}

}  // namespace

double overlapRatio(const Rect& a, const Rect& b) {
  const double w = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
  const double h = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
  if (w <= 0 || h <= 0) return 0;
  const double common = w * h;
  const double all = a.width * a.height + b.width * b.height - common;
  return all > 0 ? common / all : 0;
}

std::vector<FaceCandidate> mergeCandidates(std::vector<FaceCandidate> candidates, double overlap) {
  std::stable_sort(
      candidates.begin(), candidates.end(),
      [](const FaceCandidate& a, const FaceCandidate& b) { return a.score > b.score; });
  std::vector<FaceCandidate> merged;
  std::vector<bool> used(candidates.size(), false);
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (used[i]) continue;
    const Rect lead = candidates[i].box;
    FaceCandidate sum{{0, 0, 0, 0}, {0, 0}, {0, 0}, candidates[i].score, false};
    double weight = 0;
    for (std::size_t j = i; j < candidates.size(); ++j) {
      if (used[j] || (j != i && overlapRatio(lead, candidates[j].box) <= overlap)) continue;
      used[j] = true;
      const FaceCandidate& c = candidates[j];
      const double w = c.score;
      weight += w;
      sum.sure = sum.sure || c.sure;
      sum.box = {sum.box.x + w * c.box.x, sum.box.y + w * c.box.y, sum.box.width + w * c.box.width,
                 sum.box.height + w * c.box.height};
      sum.rightEye = {sum.rightEye.x + w * c.rightEye.x, sum.rightEye.y + w * c.rightEye.y};
      sum.leftEye = {sum.leftEye.x + w * c.leftEye.x, sum.leftEye.y + w * c.leftEye.y};
    }
    if (weight > 0) sum = scaled(sum, 1 / weight, 1 / weight);
    merged.push_back(sum);
  }
  return merged;
}

std::vector<FaceCandidate> decideFaces(std::vector<FaceCandidate> faces,
                                       const SearchOptions& options) {
  double widest = 0;
  // Only sure faces make a picture a portrait; an unsure one beside them
  // makes it a group. Faces far narrower than the widest sure one are left
  // out: posters, crowds and reflections behind the subject.
  for (const FaceCandidate& f : faces)
    if (f.sure) widest = std::max(widest, f.box.width);
  if (widest == 0) return {};
  std::erase_if(faces, [&](const FaceCandidate& f) {
    return f.box.width < options.minRelativeWidth * widest;
  });
  // The model half sees a face beside a face it found whole: a doubt whose
  // eyes fall inside a sure face, or that covers part of it, is that face.
  auto inside = [](const Point& p, const Rect& r) {
    return p.x >= r.x && p.x <= r.x + r.width && p.y >= r.y && p.y <= r.y + r.height;
  };
  std::vector<FaceCandidate> sure;
  for (const FaceCandidate& f : faces)
    if (f.sure) sure.push_back(f);
  std::erase_if(faces, [&](const FaceCandidate& f) {
    if (f.sure) return false;
    return std::any_of(sure.begin(), sure.end(), [&](const FaceCandidate& s) {
      return inside(f.rightEye, s.box) || inside(f.leftEye, s.box) ||
             overlapRatio(f.box, s.box) > 0.05;
    });
  });
  std::stable_sort(faces.begin(), faces.end(),
                   [](const FaceCandidate& a, const FaceCandidate& b) { return a.sure > b.sure; });
  return faces;
}

std::vector<FaceCandidate> searchFaces(const BlazeFace& model, const vips::VImage& picture,
                                       const SearchOptions& options, SearchCost* cost) {
  SearchCost spent;
  double mark = cpuSeconds();
  auto account = [&](double& part) {
    const double now = cpuSeconds();
    part += now - mark;
    mark = now;
  };
  const double longSide = std::max(picture.width(), picture.height());
  // The working copy serves every pass (reduced again for the smaller ones);
  // the close look takes it when it is sharp enough. No pass looks closer
  // than the picture's own pixels.
  const int stride = BlazeFace::kStride;
  auto passSize = [&](double size) {
    return std::min(static_cast<int>(std::ceil(size / stride)) * stride,
                    static_cast<int>(std::ceil(longSide / stride)) * stride);
  };
  const int workSize = std::max({options.fineSize, options.coarseSize, options.finerSize});
  const double workScale = std::min(1.0, workSize / longSide);
  const vips::VImage full = toRgb8(picture);
  // A strip of a picture keeps at least one pixel across.
  const double hshrink = std::min<double>(1 / workScale, picture.width());
  const double vshrink = std::min<double>(1 / workScale, picture.height());
  const vips::VImage work =
      workScale < 1
          ? toRgb8(picture.reduce(hshrink, vshrink,
                                  vips::VImage::option()->set("kernel", VIPS_KERNEL_LINEAR)))
                .copy_memory()
          : full.copy_memory();
  // The reduced copy's own scale per axis, after rounding to whole pixels.
  const double sx = static_cast<double>(picture.width()) / work.width();
  const double sy = static_cast<double>(picture.height()) / work.height();
  const double workLong = std::max(work.width(), work.height());
  account(spent.prepare);

  std::vector<FaceCandidate> faces;
  // Scored (first pass + close look) / 2: sure from minConfidence, unsure
  // from unsureConfidence; lower and faces the close look loses are dropped.
  // `strict`: the faces may make a portrait on their own, so they must hold
  // up to the sharp look and to a second look from nearer.
  auto confirmed = [&](std::vector<FaceCandidate> first, bool strict) {
    std::vector<FaceCandidate> kept;
    for (FaceCandidate& f : first) {
      f = scaled(f, sx, sy);
      if (!options.refine) {
        kept.push_back(f);
        continue;
      }
      // A quick look settles most faces; the rest get a sharper one.
      std::optional<FaceCandidate> r;
      if (options.quickSize > 0 && !strict) {
        ++spent.networkRuns;
        r = refine(model, full, work, 1 / sx, f, options, options.refineSpan, options.quickSize);
        if (r && (f.score + r->score) / 2 < options.quickConfidence) r.reset();
      }
      if (!r) {
        ++spent.networkRuns;
        r = refine(model, full, work, 1 / sx, f, options, options.refineSpan, options.refineSize);
      }
      if (!r) continue;
      r->score = (f.score + r->score) / 2;
      r->sure = r->score >= options.minConfidence;
      if (r->sure && strict) {
        ++spent.networkRuns;
        const auto again =
            refine(model, full, work, 1 / sx, *r, options, options.recheckSpan, options.refineSize);
        r->sure = again && (f.score + again->score) / 2 >= options.minConfidence;
      }
      if (!r->sure && r->score >= options.unsureConfidence) {
        // A doubt that leaves the picture uncropped must hold up: a second
        // look from nearer must find the face as surely.
        ++spent.networkRuns;
        const auto again =
            refine(model, full, work, 1 / sx, *r, options, options.recheckSpan, options.refineSize);
        if (!again || (f.score + again->score) / 2 < options.recheckConfidence) continue;
      }
      if (!(r->sure || r->score >= options.unsureConfidence)) continue;
      // Beside a face already found, a second one must also be seen turned
      // both ways: a face is, a pattern that looks like one at one angle
      // (lettering, a logo) is not.
      const bool besideSure =
          std::any_of(faces.begin(), faces.end(), [](const FaceCandidate& c) { return c.sure; }) ||
          std::any_of(kept.begin(), kept.end(), [](const FaceCandidate& c) { return c.sure; });
      if (options.turnedLook > 0 && besideSure) {
        bool seen = true;
        for (const double turn : {options.turnedLook, -options.turnedLook}) {
          ++spent.networkRuns;
          const auto turned = refine(model, full, work, 1 / sx, *r, options, options.refineSpan,
                                     options.turnedSize, turn);
          if (!turned || (f.score + turned->score) / 2 < options.turnedConfidence) seen = false;
        }
        if (!seen) continue;
      }
      kept.push_back(*r);
    }
    return kept;
  };
  // One pass over the whole picture at `size`: the faces it finds that the
  // passes before did not, confirmed.
  auto pass = [&](int size, double minScore, double maxWidth, bool strict) {
    ++spent.networkRuns;
    std::vector<FaceCandidate> more = wholePass(model, work, size, minScore, maxWidth);
    // Sure faces need no second look; a doubt may be a face that an
    // earlier pass saw too small to be sure of.
    std::erase_if(more, [&](const FaceCandidate& t) {
      const FaceCandidate inFull = scaled(t, sx, sy);
      return std::any_of(faces.begin(), faces.end(), [&](const FaceCandidate& f) {
        return f.sure && overlapRatio(f.box, inFull.box) > options.mergeOverlap;
      });
    });
    for (FaceCandidate& f :
         confirmed(mergeCandidates(std::move(more), options.mergeOverlap), strict))
      faces.push_back(f);
    // Two first-pass faces may have settled on the same face.
    faces = mergeCandidates(std::move(faces), options.mergeOverlap);
  };
  auto settled = [&] { return !options.countAll && decideFaces(faces, options).size() >= 2; };
  auto widestSure = [&] {
    double widest = 0;
    for (const FaceCandidate& f : faces)
      if (f.sure) widest = std::max(widest, f.box.width / sx);
    return widest;  // working copy pixels
  };
  // A face the coarse pass reaches well is the coarse pass's: what a closer
  // pass alone sees there is a pattern that looks like a face at one scale
  // only (logos, lettering).
  const int coarseSize = passSize(options.coarseSize);
  auto maxWidth = [&](int size) {
    return options.fineMaxWidth * options.reach * size / coarseSize;
  };

  pass(coarseSize, options.coarseMinScore, 1e9, false);
  account(spent.coarse);

  // The fine pass only pays when it can find a face that counts: one smaller
  // than the coarse pass reaches, yet not so small beside the widest sure
  // face that it is dropped anyway. It looks no closer than such a face
  // needs.
  const double widest = widestSure();
  if (widest > 0 && !settled()) {
    const double needed = options.reach * workLong / (options.minRelativeWidth * widest);
    const int size = passSize(std::min<double>(options.fineSize, needed));
    if (size > coarseSize) pass(size, options.fineMinScore, maxWidth(size), false);
    account(spent.fine);
  }
  // Nothing sure yet: the picture may hold only small faces. One pass that
  // reaches faces down to reach / finerSize of the long side.
  if (widestSure() == 0 && options.finerSize > 0) {
    const int size = passSize(options.finerSize);
    if (size > coarseSize) pass(size, options.finerMinScore, maxWidth(size), true);
    account(spent.finer);
  }
  if (cost) *cost = spent;
  return decideFaces(std::move(faces), options);
}

}  // namespace kadro
