#include "SmartCrop/image_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <utility>

#include "Plugin/file_url.h"
#include "SmartCrop/diagnostics.h"

namespace kadro {
namespace {

constexpr double kMillimetresPerInch = 25.4;

// The first line of libvips' error text: the cause; later lines only say
// which operations gave up because of it.
std::string vipsMessage(const vips::VError& e) {
  std::string message = e.what();
  message = message.substr(0, message.find('\n'));
  vips_error_clear();
  return message;
}

// Opens the file through a fresh source object rather than by name, so that
// libvips' operation cache never returns what the file held before.
vips::VImage openFile(const std::string& path, vips::VOption* options) {
  return vips::VImage::new_from_source(vips::VSource::new_from_file(path.c_str()), "", options);
}

// PNG keeps its resolution in a pHYs chunk, in whole pixels per metre.
// libvips reports 2.834 pixels per millimetre (71.98 dpi) when there is
// none, so the chunk is looked up here and absence reads as 72.
std::optional<double> pngResolution(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char signature[8];
  if (!in.read(signature, 8)) return std::nullopt;
  auto u32 = [](const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
  };
  unsigned char head[8];
  while (in.read(reinterpret_cast<char*>(head), 8)) {
    const std::uint32_t length = u32(head);
    const std::string_view type(reinterpret_cast<const char*>(head + 4), 4);
    if (type == "IDAT" || type == "IEND") break;  // pHYs comes before the pixels
    if (type == "pHYs" && length == 9) {
      unsigned char body[9];
      if (!in.read(reinterpret_cast<char*>(body), 9)) break;
      if (body[8] != 1) return std::nullopt;  // aspect ratio only
      return u32(body + 4) * (kMillimetresPerInch / 1000);
    }
    in.seekg(std::streamoff{length} + 4, std::ios::cur);  // body and CRC
  }
  return std::nullopt;
}

double resolutionOf(const std::string& path, const vips::VImage& header) {
  const char* loader = nullptr;
  if (header.get_typeof(VIPS_META_LOADER) != 0) loader = header.get_string(VIPS_META_LOADER);
  if (loader && std::string_view(loader).substr(0, 7) == "pngload")
    return pngResolution(path).value_or(72);
  return header.yres() * kMillimetresPerInch;
}

// ---- writing --------------------------------------------------------------

bool writeAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// A file created beside the destination under a name nobody else uses; it
// disappears again unless it is renamed over the destination.
class TempFile {
 public:
  static std::optional<TempFile> createBeside(const std::string& destination) {
    const std::size_t slash = destination.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : destination.substr(0, slash + 1);
    // Part of the name is enough to tell whose file it is; all of it could
    // make the temporary name too long.
    const std::string base =
        (slash == std::string::npos ? destination : destination.substr(slash + 1)).substr(0, 64);
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 16; ++attempt) {
      char suffix[17];
      std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
      std::string path = folder + "." + base + ".kadro-" + suffix;
      // 0666 lets the umask decide the permissions of a new destination.
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) return TempFile(std::move(path), fd);
      if (errno != EEXIST) return std::nullopt;
    }
    return std::nullopt;
  }

  TempFile(TempFile&& other) noexcept
      : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)) {}
  TempFile& operator=(TempFile&&) = delete;
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  int fd() const { return fd_; }

  // Syncs the contents, gives the file the permissions (and, where allowed,
  // the owner) of the file it replaces, and renames it over `destination`.
  bool commit(const std::string& destination, const struct stat* replaced) {
    if (replaced) {
      // Root replacing someone's file hands the new one back to them; for
      // anyone else this fails harmlessly and the new file is theirs.
      (void)!::fchown(fd_, replaced->st_uid, replaced->st_gid);
      if (::fchmod(fd_, replaced->st_mode & 07777) != 0) return false;
    }
    if (::fsync(fd_) != 0) return false;
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) return false;
    if (::rename(path_.c_str(), destination.c_str()) != 0) return false;
    path_.clear();
    // Make the rename itself durable; the new file is complete either way.
    const std::size_t slash = destination.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : destination.substr(0, slash + 1);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ::fsync(dir);
      ::close(dir);
    }
    return true;
  }

 private:
  TempFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  std::string path_;
  int fd_;
};

// Feeds the encoder's bytes to a file, inserting `insert` after the first
// `insertAfter` bytes (the JPEG header segments go right after SOI).
struct SplicingWriter {
  int fd = -1;
  std::size_t insertAfter = 0;
  std::string insert;
  std::string head;  // the first bytes, until the insertion point is reached
  bool inserted = false;
  bool failed = false;

  bool write(const char* data, std::size_t length) {
    if (!inserted) {
      const std::size_t take = std::min(length, insertAfter - head.size());
      head.append(data, take);
      data += take;
      length -= take;
      if (head.size() < insertAfter) return true;
      if (!writeAll(fd, head.data(), head.size()) || !writeAll(fd, insert.data(), insert.size()))
        return false;
      inserted = true;
    }
    return writeAll(fd, data, length);
  }

  static gint64 onWrite(VipsTargetCustom*, const void* data, gint64 length, void* self) {
    auto* writer = static_cast<SplicingWriter*>(self);
    if (length < 0 || !writer->write(static_cast<const char*>(data), length)) {
      writer->failed = true;
      return -1;
    }
    return length;
  }
};

void appendSegment(std::string& out, unsigned char marker, std::string_view payload) {
  const std::size_t length = payload.size() + 2;
  out += '\xff';
  out += static_cast<char>(marker);
  out += static_cast<char>(length >> 8);
  out += static_cast<char>(length & 0xff);
  out += payload;
}

// JFIF with the resolution in dots per inch (JPEG keeps whole numbers only),
// then the ICC profile in as many APP2 chunks as it needs.
std::string jpegHeaderSegments(double dpi, const vips::VImage& image) {
  const long density = std::clamp(std::lround(dpi), 1L, 65535L);
  std::string jfif("JFIF\0\x01\x01\x01", 8);
  jfif += static_cast<char>(density >> 8);
  jfif += static_cast<char>(density & 0xff);
  jfif += static_cast<char>(density >> 8);
  jfif += static_cast<char>(density & 0xff);
  jfif += std::string("\0\0", 2);
  std::string out;
  appendSegment(out, 0xe0, jfif);
  if (image.get_typeof(VIPS_META_ICC_NAME) != 0) {
    size_t length = 0;
    const char* profile = static_cast<const char*>(image.get_blob(VIPS_META_ICC_NAME, &length));
    constexpr std::size_t kChunk = 65519;  // 65535 - length field - 14-byte tag
    const std::size_t count = (length + kChunk - 1) / kChunk;
    if (count > 0 && count < 256) {
      for (std::size_t i = 0; i < count; ++i) {
        std::string payload("ICC_PROFILE\0", 12);
        payload += static_cast<char>(i + 1);
        payload += static_cast<char>(count);
        payload.append(profile + i * kChunk, std::min(kChunk, length - i * kChunk));
        appendSegment(out, 0xe2, payload);
      }
    }
  }
  return out;
}

// The pixels with the resolution and the ICC profile; every other field
// (EXIF with its orientation, XMP, IPTC, comments) is dropped.
vips::VImage forSaving(const Raster& image, double dpi, bool png) {
  vips::VImage out = image.image();
  if (!png && out.has_alpha())
    out = out.flatten(vips::VImage::option()->set("background", 0)).cast(VIPS_FORMAT_UCHAR);
  const double resolution = (std::isfinite(dpi) && dpi > 0 ? dpi : 72) / kMillimetresPerInch;
  out = withColourOf(out, image.image())
            .copy(vips::VImage::option()->set("xres", resolution)->set("yres", resolution));
  if (gchar** fields = vips_image_get_fields(out.get_image())) {
    for (gchar** f = fields; *f; ++f)
      if (std::string_view(*f) != VIPS_META_ICC_NAME) out.remove(*f);
    g_strfreev(fields);
  }
  return out;
}

std::string lowercaseExtension(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.find_last_of('.');
  if (dot == std::string::npos) return "";
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

}  // namespace

std::optional<std::string> localPath(std::string_view urlOrPath) {
  if (urlOrPath.empty()) return std::nullopt;
  std::string scheme(urlOrPath.substr(0, std::min(urlOrPath.find(':'), urlOrPath.size())));
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme == "file") return pathFromFileUrl(urlOrPath);  // the scheme in any letter case
  if (urlOrPath.find("://") != std::string_view::npos) return std::nullopt;
  return std::string(urlOrPath);
}

std::optional<ImageSource> ImageSource::open(const std::string& path, std::string* error) {
  try {
    const vips::VImage header =
        openFile(path, vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    const std::int64_t pixels = static_cast<std::int64_t>(header.width()) * header.height();
    if (pixels > kMaxPixels) {
      if (error)
        *error = path + ": picture too large (" + std::to_string(header.width()) + " x " +
                 std::to_string(header.height()) + " pixels; at most " +
                 std::to_string(kMaxPixels / 1'000'000) + " megapixels are read)";
      return std::nullopt;
    }
    ImageSource source;
    source.path_ = path;
    if (header.get_typeof(VIPS_META_ORIENTATION) != 0)
      source.orientation_ = std::clamp(header.get_int(VIPS_META_ORIENTATION), 1, 8);
    const bool turned = source.orientation_ >= 5;
    source.width_ = turned ? header.height() : header.width();
    source.height_ = turned ? header.width() : header.height();
    source.dpi_ = resolutionOf(path, header);
    const char* loader = nullptr;
    if (header.get_typeof(VIPS_META_LOADER) != 0) loader = header.get_string(VIPS_META_LOADER);
    source.shrinksOnLoad_ = loader && std::string_view(loader).substr(0, 8) == "jpegload";
    return source;
  } catch (const vips::VError& e) {
    if (error) *error = path + ": cannot read image (" + vipsMessage(e) + ")";
    return std::nullopt;
  }
}

Raster ImageSource::decode(int shrink, bool streamed) const {
  // Sequential access decodes straight into whoever consumes the rows;
  // turning the picture upright needs random access.
  vips::VOption* options =
      vips::VImage::option()
          ->set("access", orientation_ == 1 ? VIPS_ACCESS_SEQUENTIAL : VIPS_ACCESS_RANDOM)
          ->set("fail_on", VIPS_FAIL_ON_TRUNCATED);
  if (shrinksOnLoad_ && shrink > 1) options->set("shrink", shrink);
  vips::VImage image = openFile(path_, options);
  if (orientation_ != 1) image = image.autorot();
  image = asRgb8(image);
  if (!streamed) image = image.copy_memory();
  return Raster(image);
}

double fetchImageDPI(const std::string& url) {
  const std::optional<std::string> path = localPath(url);
  if (!path) return 72;
  try {
    return resolutionOf(
        *path, openFile(*path, vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL)));
  } catch (const vips::VError& e) {
    vipsMessage(e);
    return 72;
  }
}

bool writeCGImage(const Raster& image, const std::string& to, double dpi, std::string* error) {
  auto fail = [&](const std::string& cause) {
    if (error)
      *error = cause;
    else
      diagnosticLine(cause);
    return false;
  };
  std::optional<std::string> destination = localPath(to);
  struct stat info;
  if (destination && ::lstat(destination->c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    // Replace what the link points at, not the link.
    if (char* resolved = ::realpath(destination->c_str(), nullptr)) {
      destination = resolved;
      std::free(resolved);
    }
  }
  const bool exists = destination && ::stat(destination->c_str(), &info) == 0;
  const bool isFolder = exists && S_ISDIR(info.st_mode);
  std::optional<TempFile> file =
      destination && !isFolder ? TempFile::createBeside(*destination) : std::nullopt;
  if (!file) {
    diagnosticLine("writing image failed!");
    return false;
  }

  const bool png = lowercaseExtension(*destination) == "png";
  try {
    const vips::VImage out = forSaving(image, dpi, png);
    SplicingWriter writer;
    writer.fd = file->fd();
    if (!png) {
      writer.insertAfter = 2;
      writer.insert = jpegHeaderSegments(dpi > 0 ? dpi : 72, out);
    }
    VipsTargetCustom* custom = vips_target_custom_new();
    g_signal_connect(custom, "write", G_CALLBACK(&SplicingWriter::onWrite), &writer);
    vips::VTarget target(VIPS_TARGET(custom));
    if (png)
      out.pngsave_target(target);
    else
      // The profile and resolution go in through the spliced segments.
      out.jpegsave_target(target, vips::VImage::option()->set("strip", true));
    if (writer.failed || !writer.inserted)
      return fail(*destination + ": cannot write image (" + std::strerror(errno) + ")");
  } catch (const vips::VError& e) {
    return fail(*destination + ": cannot write image (" + vipsMessage(e) + ")");
  }
  if (!file->commit(*destination, exists ? &info : nullptr))
    return fail(*destination + ": cannot write image (" + std::strerror(errno) + ")");
  return true;
}

}  // namespace kadro
