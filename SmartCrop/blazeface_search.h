// Finds the faces of a whole picture with BlazeFace, which sees only 256 x
// 256 pixels at a time: one pass over the whole picture for large faces,
// overlapping tiles for small ones, merging of the duplicates, and one pass
// per face on a square around it, turned so the eyes are level, to place the
// box and the eyes more closely.
#pragma once

#include <vector>
#include <vips/vips8>

#include "SmartCrop/blazeface.h"
#include "SmartCrop/geometry.h"

namespace kadro {

// The values below were tuned on real photos and their scaled, turned and
// tiled variants.
struct SearchOptions {
  int workSize = 640;              // long side of the reduced copy for the first passes
  double wholeMinScore = 0.5;      // the pass over the whole picture
  int tileGrid = 3;                // most tiles along a side; 0 for none
  double tileFraction = 0.43;      // tile side over the picture's long side
  double tileOverlap = 0.25;       // least overlap of neighbouring tiles, over the tile side
  double tileMinScore = 0.75;      // tiles see more clutter per face, so ask more
  double mergeOverlap = 0.3;       // intersection over union that makes two boxes one face
  bool refine = true;              // the close look; off only to measure what it brings
  double refineSpan = 3.0;         // the refining square's side over the face box's width
  double refineMinScore = 0.5;     // a face that the close look no longer finds is dropped
  double minConfidence = 0.8;      // mean of the first and the close look's score
  double wholeReach = 0.1;         // smallest face the whole pass finds, over the long side
  double minRelativeWidth = 0.25;  // faces narrower than this part of the widest are dropped
};

// A face in pixel space (origin top-left, y down) of the searched picture.
struct FaceCandidate {
  Rect box;
  Point rightEye;  // the subject's
  Point leftEye;
  double score = 0;  // after the close look, the mean of its score and the first one
};

// The faces of `picture` (any size, colour space and band count), most
// confident first. Throws vips::VError when the picture cannot be read.
std::vector<FaceCandidate> searchFaces(const BlazeFace& model, const vips::VImage& picture,
                                       const SearchOptions& options = {});

// Merges detections that overlap by more than `overlap` (intersection over
// union) into one, weighting boxes and eyes by score; the merged face keeps
// the best score. Most confident first.
std::vector<FaceCandidate> mergeCandidates(std::vector<FaceCandidate> candidates, double overlap);

// Intersection over union of two rectangles; 0 when either is empty.
double overlapRatio(const Rect& a, const Rect& b);

}  // namespace kadro
