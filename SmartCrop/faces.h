// Face detection: a thin layer over the BlazeFace detector that reduces each
// face to its box and its eye points, as the crop needs them.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SmartCrop/geometry.h"
#include "SmartCrop/raster.h"

namespace kadro {

struct FaceLandmarks {
  // Outline points of each eye in normalised face space (0 to 1 across the
  // face box, origin at its lower-left corner, y up). Absent when the
  // detector did not place that eye.
  std::optional<std::vector<Point>> leftEye;
  std::optional<std::vector<Point>> rightEye;
};

struct FaceObservation {
  // Normalised image space: 0 to 1 across the picture, origin lower-left, y up.
  Rect boundingBox;
  std::optional<FaceLandmarks> landmarks;
  double confidence = 0;
  // False for a face the detector doubts: it never makes a picture a
  // portrait, but beside a sure face it makes the picture a group.
  bool sure = true;
};

// Finds the faces in `image`. Prints "request results: ...", "Found N faces"
// and, for two or more faces with skipGroups, "Skipping groups" (then the list
// is empty). Never fails: a missing or damaged model prints
// "! error in face detection ..." and gives an empty list.
std::vector<FaceObservation> detectFace(const Raster& image, bool skipGroups);

// The centre of the box enclosing both eyes' points, in normalised face
// space; nothing without eye points.
std::optional<Point> averageEyeHeight(const FaceObservation& face);

// What the crop asks for faces; tests put a stand-in face list here.
using FaceDetector = std::function<std::vector<FaceObservation>(const Raster&, bool skipGroups)>;

// Uses the model at `path` instead of the one in the installed resources.
// Only takes effect before the model is first loaded.
void setFaceModelPath(std::string path);

class BlazeFace;

// A detector model as read from one file: the model, or why there is none.
struct FaceModel {
  std::shared_ptr<const BlazeFace> model;
  std::string error;
};

// Reads the model at `path` anew on every call. detectFace itself loads its
// model once per process (from setFaceModelPath's path, else the bundle's).
FaceModel loadFaceModel(const std::string& path);

// The model detectFace uses, loaded on the first call (thread-safe).
const FaceModel& processFaceModel();

// detectFace with `model` instead of the process's own; the same lines.
std::vector<FaceObservation> detectFaceWith(const FaceModel& model, const Raster& image,
                                            bool skipGroups);

struct SearchOptions;
struct SearchCost;

// The same with the search's settings changed, for measuring them; `cost`,
// when given, receives what the search cost.
std::vector<FaceObservation> detectFaceWith(const FaceModel& model, const Raster& image,
                                            bool skipGroups, const SearchOptions& options,
                                            SearchCost* cost = nullptr);

// Conversions between pixel space (origin top-left, y down) of a picture of
// width x height pixels and the normalised spaces of the face list.
Rect normalisedImageRect(const Rect& pixels, int width, int height);
Rect pixelRect(const Rect& normalised, int width, int height);
// A pixel-space point in the normalised face space of `pixelBox`, and back
// from the face space of a box in normalised image space.
Point normalisedFacePoint(const Point& pixel, const Rect& pixelBox);
Point pixelPoint(const Point& facePoint, const Rect& normalisedBox, int width, int height);

}  // namespace kadro
