// Finds the faces of a whole picture with BlazeFace: a coarse pass over the
// whole picture at the model's own size, which reaches faces down to about
// 7 % of the long side; a fine pass over the whole picture only as close as
// the narrowest face that still counts beside the widest one needs (the
// network is convolutional, so one larger input does what overlapping tiles
// did); a finer pass, down to about 3.5 % of the long side, only when nothing
// sure was found; merging of the duplicates; and a close look per face on a
// square around it, turned so the eyes are level, which confirms the face
// and places the box and the eyes more closely (a quick look at a small
// size first, a sharper one when the quick look leaves a doubt). A face
// beside a sure one is looked at once more, turned both ways: what is a
// face only at one angle is lettering or a logo.
#pragma once

#include <vector>
#include <vips/vips8>

#include "SmartCrop/blazeface.h"
#include "SmartCrop/geometry.h"

namespace kadro {

// The values below were tuned on real photos and their variants (grey,
// faded, tinted, grainy, turned, shrunk, pasted small, in shadow).
struct SearchOptions {
  int coarseSize = 256;         // long side of the coarse pass's input
  int fineSize = 640;           // the fine pass's longest side beside a sure face; 0 for none
  int finerSize = 512;          // the pass after the others found nothing sure; 0 for none
  double coarseMinScore = 0.5;  // the coarse pass
  // Both passes may propose faint faces to the close look. What the finer
  // pass finds may make a picture a portrait on its own, so its faces must
  // hold up to the sharp look and to a second look from nearer; a faint
  // proposal then needs close looks surer than a clear one does.
  double fineMinScore = 0.6;
  double finerMinScore = 0.6;
  double fineMaxWidth = 1.75;    // wider faces (over the coarse pass's reach) are the coarse pass's
  double mergeOverlap = 0.3;     // intersection over union that makes two boxes one face
  bool refine = true;            // the close look; off only to measure what it brings
  int refineSize = 256;          // side of the close look's input
  int quickSize = 128;           // a cheaper close look first; 0 for none
  double quickConfidence = 0.8;  // the mean with the quick look that makes a face sure at once
  double refineSpan = 3.0;       // the close look's square over the face box's width
  double refineMinScore = 0.5;   // a face that the close look no longer finds is dropped
  double minConfidence = 0.72;   // mean of the first and the close look's score
  double unsureConfidence = 0.6;    // below minConfidence but this sure: maybe a face
  double recheckSpan = 2.0;         // the second close look at a maybe-face
  double recheckConfidence = 0.55;  // its mean with the first score that keeps the doubt
  // A face beside a sure one is looked at again turned this far (radians)
  // both ways from level, and must score this mean with the first score
  // each time; 0 for no such look.
  double turnedLook = 0.35;
  double turnedConfidence = 0.55;
  int turnedSize = 256;  // side of the turned looks' input
  double reach = 18;     // narrowest face (input pixels) a pass finds reliably
  // Faces narrower than this part of the widest sure face are dropped: a
  // ninth of its area and less is someone far behind the subject.
  double minRelativeWidth = 1.0 / 3;
  // False: stop looking once the picture is a group, as the crop needs no
  // more; true: find every face (inspect, measurements).
  bool countAll = true;
};

// What one search cost, for measuring: CPU seconds of the whole process
// (meaningful while one search runs at a time) and network runs.
struct SearchCost {
  double prepare = 0;  // colour conversion and the reduced copy
  double coarse = 0;   // each pass with the close looks at what it found
  double fine = 0;
  double finer = 0;
  int networkRuns = 0;
};

// A face in pixel space (origin top-left, y down) of the searched picture.
struct FaceCandidate {
  Rect box;
  Point rightEye;  // the subject's
  Point leftEye;
  double score = 0;  // after the close look, the mean of its score and the first one
  bool sure = true;  // false: scored between unsureConfidence and minConfidence
};

// The faces of `picture` (any size, colour space and band count), sure ones
// first, most confident first. An unsure face is only returned beside a sure
// one (it then makes the picture a group). Throws vips::VError when the
// picture cannot be read.
std::vector<FaceCandidate> searchFaces(const BlazeFace& model, const vips::VImage& picture,
                                       const SearchOptions& options = {},
                                       SearchCost* cost = nullptr);

// What counts of the merged, close-looked faces of a picture: only sure
// faces make a portrait, and an unsure face beside one makes a group
// (a wrong crop is worse than none). Faces narrower than minRelativeWidth of
// the widest sure face are left out (posters, crowds and reflections behind
// the subject), and so is a doubt that is part of a sure face (its eyes
// inside it, or the boxes overlapping). Nothing without a sure face; sure
// faces first.
std::vector<FaceCandidate> decideFaces(std::vector<FaceCandidate> faces,
                                       const SearchOptions& options);

// Merges detections that overlap by more than `overlap` (intersection over
// union) into one, weighting boxes and eyes by score; the merged face keeps
// the best score and is sure when any of its parts is. Most confident first.
std::vector<FaceCandidate> mergeCandidates(std::vector<FaceCandidate> candidates, double overlap);

// Intersection over union of two rectangles; 0 when either is empty.
double overlapRatio(const Rect& a, const Rect& b);

}  // namespace kadro
