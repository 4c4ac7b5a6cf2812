// Image files: opening a source and decoding it at a reduced scale, reading
// its resolution, and writing PNG or JPEG so that a failure never leaves a
// half-written destination.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "SmartCrop/output_file.h"
#include "SmartCrop/raster.h"

namespace kadro {

// The path named by a "file:" URL text, or the text itself when it is a
// plain path; nothing for other URLs and for empty text.
std::optional<std::string> localPath(std::string_view urlOrPath);

// "PATH: cannot read image (CAUSE)" for a decoding failure of `path`,
// with the file system's reason when there is one (missing, a folder, not
// readable, empty). Clears libvips' error buffer.
std::string readFailureLine(const std::string& path, const vips::VError& e);

// A file opened once for reading, closed with its last user.
struct OpenedFile {
  OpenedFile(int descriptor, std::string path);
  ~OpenedFile();
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;

  const int fd;
  const std::string realPath;  // links resolved before it was opened
  struct stat info {};         // as it was when opened
};

// A source file whose header has been read. The file is opened once: every
// decode reads that descriptor, so a name swapped or removed meanwhile
// changes nothing that is read (and libvips' cache of files by name never
// hands back old content).
class ImageSource {
 public:
  // Opens a regular file and reads the header. Pictures over kMaxPixels are
  // refused before anything is decoded; the error names the file.
  static std::optional<ImageSource> open(const std::string& path, std::string* error);

  // The file's path with links resolved, and what it was when opened: an
  // in-place job replaces it only while that path still holds it.
  const std::string& realPath() const { return file_->realPath; }
  FileIdentity identity() const { return FileIdentity::of(file_->info); }

  // The natural size, upright (EXIF orientation applied).
  int width() const { return width_; }
  int height() const { return height_; }
  // Vertical resolution in dots per inch, as fetchImageDPI reads it.
  double dpi() const { return dpi_; }
  // JPEG decodes at 1/2, 1/4 and 1/8 nearly for free; other formats only
  // at full size.
  bool shrinksOnLoad() const { return shrinksOnLoad_; }

  // The picture reduced by `shrink` (1, 2, 4 or 8; JPEG only beyond 1),
  // upright, as 8-bit RGB with its alpha and ICC profile (grey and CMYK
  // converted to sRGB). `streamed` decodes as the consumer asks for rows,
  // holding no full-size buffer; otherwise the pixels stay in memory for
  // repeated reads. Decoding errors surface when the pixels are read.
  Raster decode(int shrink, bool streamed) const;

 private:
  ImageSource() = default;
  std::string path_;
  std::shared_ptr<const OpenedFile> file_;
  int width_ = 0;
  int height_ = 0;
  int orientation_ = 1;
  double dpi_ = 72;
  bool shrinksOnLoad_ = false;
};

// The vertical resolution of the first image in the file, in dots per inch
// (fractions kept); 72 when the file cannot be read or gives none.
double fetchImageDPI(const std::string& url);

// How a finished picture takes its place at the destination.
struct WritePlan {
  // The destination must still hold this file, which the new one replaces
  // (an in-place job: the source as it was read); nothing else there is
  // replaced and a removed file is not created again.
  std::optional<FileIdentity> replaces;
  // A new file only: when the name is taken by the time the file is
  // complete, the first free alternative name is taken instead.
  AlternativeName alternative;
  // With neither, the file the destination holds when the write starts is
  // replaced (a link stands for the file it names), or a free name created.
};

// Why a picture was not written.
struct WriteFailure {
  bool reading = false;  // the source's pixels failed while they were encoded
  std::string line;      // the destination and the cause, or the decoder's message
};

// Writes `image` to `path` as PNG when the extension is "png" in any letter
// case, else as JPEG (flattened onto black when it has alpha), with `dpi` on
// both axes, the raster's ICC profile and no other metadata, as `plan`
// says. The file is written beside the destination, synced, and takes its
// name only when complete: any failure leaves the destination as it was.
// The path written, or nothing with the reason in `failure`.
std::optional<std::string> writeImageFile(const Raster& image, const std::string& path, double dpi,
                                          const WritePlan& plan, WriteFailure* failure);

// writeImageFile for a "file:" URL or path, replacing what is there. On
// failure prints "writing image failed!" and a line with the path and the
// cause.
bool writeCGImage(const Raster& image, const std::string& to, double dpi);

}  // namespace kadro
