// Plain geometry values shared by the pipeline. Which space a value lives in
// (normalised image, normalised face, pixel or drawing space) is said by the
// function that takes or returns it.
#pragma once

namespace kadro {

struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

// (x, y) is the corner nearest the origin of the rectangle's space.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace kadro
