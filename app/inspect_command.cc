// kadro inspect: the faces the detector finds in each picture and the square
// a "square" preset would cut, as text or as JSON lines.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "SmartCrop/crop.h"
#include "SmartCrop/diagnostics.h"
#include "SmartCrop/faces.h"
#include "SmartCrop/image_io.h"
#include "SmartCrop/raster.h"
#include "SmartCrop/smart_crop.h"
#include "app/commands.h"
#include "app/inspect_report.h"

namespace kadro::app {
namespace {

void printUsage(std::ostream& out) {
  out << "Usage: kadro inspect [--json] [--max-size N] FILE...\n\n"
         "Runs the face detector on each picture as the image job does and shows what it\n"
         "finds: every face (groups included) with its box and eye point, and the\n"
         "pixels a \"square\" preset of the maximum size N would cut. Pictures with no\n"
         "face or several faces are not cropped. Pixel coordinates count from the\n"
         "top-left corner of the upright picture. The detector's own lines (\"Found N\n"
         "faces\" ...) come first.\n\n"
         "Options:\n"
         "  --max-size N  the preset's maximum size (default 400); a large picture's\n"
         "              cut may widen by a few pixels to whole blocks of the reduced\n"
         "              decode it is taken from\n"
         "  --json      one JSON object per file and line, and nothing else on standard\n"
         "              output (the detector's lines go to standard error):\n"
         "                {\"file\", \"width\", \"height\",\n"
         "                 \"faces\": [{\"box\": [x, y, w, h], \"eye\": [x, y] or null,\n"
         "                            \"score\": 0 to 1, \"sure\": true or false}],\n"
         "                 \"crop\": [x, y, w, h] or null,\n"
         "                 \"reason\": null when cropped, else why not: \"no face\",\n"
         "                            \"N faces: ...\" with each face, ...}\n"
         "              A face that is not sure never makes a picture a portrait, but\n"
         "              beside a sure face it leaves the picture uncropped.\n"
         "  -h, --help  show this help\n\n"
         "A file that cannot be read is reported on standard error and the others still\n"
         "run; the exit status is then 1.\n";
}

std::string rectText(const Rect& r) {
  char text[96];
  std::snprintf(text, sizeof text, "(%.0f, %.0f, %.0f x %.0f)", r.x, r.y, r.width, r.height);
  return text;
}

std::string pointText(const Point& p) {
  char text[64];
  std::snprintf(text, sizeof text, "(%.0f, %.0f)", p.x, p.y);
  return text;
}

std::string toText(const std::string& file, const Report& r) {
  std::ostringstream line;
  line << file << ": " << r.width << " x " << r.height;
  for (std::size_t i = 0; i < r.faces.size(); ++i) {
    const FaceReport& f = r.faces[i];
    line << (i > 0                 ? ", "
             : r.faces.size() == 1 ? "; face "
                                   : "; faces ")
         << rectText(f.box) << (f.eye ? " eyes " + pointText(*f.eye) : std::string(" no eyes"));
  }
  if (r.crop)
    line << "; crop " << rectText(*r.crop);
  else
    line << "; not cropped: " << r.reason;
  return line.str();
}

}  // namespace

int runInspect(const Args& args) {
  bool json = false;
  std::int64_t maxSize = 400;  // the built-in Square preset's
  std::vector<std::string> files;
  bool optionsDone = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!optionsDone && (a == "-h" || a == "--help")) {
      printUsage(std::cout);
      return 0;
    }
    if (!optionsDone && a == "--json") {
      json = true;
    } else if (!optionsDone && a == "--max-size") {
      char* end = nullptr;
      const char* text = i + 1 < args.size() ? args[i + 1].c_str() : "";
      errno = 0;
      const long long value = std::strtoll(text, &end, 10);
      if (!*text || *end || errno) {
        std::cerr << "kadro inspect: --max-size needs a whole number\n";
        return 2;
      }
      maxSize = value;
      ++i;
    } else if (!optionsDone && a == "--") {
      optionsDone = true;
    } else if (!optionsDone && a.size() > 1 && a[0] == '-') {
      std::cerr << "kadro inspect: unknown option '" << a
                << "'\n\nRun 'kadro inspect --help' for the options.\n";
      return 2;
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) {
    std::cerr << "kadro inspect: no picture given\n\nRun 'kadro inspect --help' for the options.\n";
    return 2;
  }
  // Standard output carries only the JSON lines then.
  if (json) setDiagnosticStream(&std::cerr);
  int status = 0;
  // Without a model every picture would read "no face": say so once instead.
  if (const FaceModel& model = processFaceModel(); !model.model) {
    std::cerr << "kadro inspect: cannot detect faces: " << model.error << '\n';
    status = 1;
  } else {
    for (const std::string& file : files) {
      // The same decode and detection as the image job, so that "crop" is
      // the rectangle the job cuts.
      std::string error;
      const std::optional<Report> report = inspectFile(file, &error, maxSize);
      if (!report) std::cerr << "kadro inspect: " << error << '\n';
      if (!report) {
        status = 1;
        continue;
      }
      if (json)
        // File names are bytes; JSON text is UTF-8: bytes that are not
        // become U+FFFD rather than abort the run.
        std::cout
            << toJson(file, *report).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
            << '\n';
      else
        std::cout << toText(file, *report) << '\n';
      std::cout.flush();
    }
  }
  if (json) setDiagnosticStream(nullptr);
  return status;
}

}  // namespace kadro::app
