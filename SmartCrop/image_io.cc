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
#include <memory>
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

// Reads the one descriptor through an offset of its own, so decodes of one
// source never disturb each other and read the file that was opened,
// whatever its name holds by then.
class DescriptorReader {
 public:
  explicit DescriptorReader(std::shared_ptr<const OpenedFile> file) : file_(std::move(file)) {}

  static vips::VSource sourceFor(std::shared_ptr<const OpenedFile> file) {
    VipsSourceCustom* custom = vips_source_custom_new();
    auto reader = std::make_unique<DescriptorReader>(std::move(file));
    g_signal_connect(custom, "read", G_CALLBACK(&DescriptorReader::onRead), reader.get());
    g_signal_connect(custom, "seek", G_CALLBACK(&DescriptorReader::onSeek), reader.get());
    // The source owns the reader, and through it the descriptor.
    g_object_set_data_full(G_OBJECT(custom), "kadro-reader", reader.release(), [](gpointer p) {
      std::unique_ptr<DescriptorReader>(static_cast<DescriptorReader*>(p));
    });
    return vips::VSource(VIPS_SOURCE(custom));
  }

 private:
  static gint64 onRead(VipsSourceCustom*, void* buffer, gint64 length, void* self) {
    auto* reader = static_cast<DescriptorReader*>(self);
    ssize_t n;
    do {
      n = ::pread(reader->file_->fd, buffer, static_cast<std::size_t>(length), reader->offset_);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    reader->offset_ += n;
    return n;
  }

  static gint64 onSeek(VipsSourceCustom*, gint64 offset, int whence, void* self) {
    auto* reader = static_cast<DescriptorReader*>(self);
    gint64 base = 0;
    if (whence == SEEK_CUR) {
      base = reader->offset_;
    } else if (whence == SEEK_END) {
      struct stat info {};
      if (::fstat(reader->file_->fd, &info) != 0) return -1;
      base = info.st_size;
    } else if (whence != SEEK_SET) {
      return -1;
    }
    if (base + offset < 0) return -1;
    reader->offset_ = base + offset;
    return reader->offset_;
  }

  std::shared_ptr<const OpenedFile> file_;
  gint64 offset_ = 0;
};

// The formats a photo editor exports. Everything else libvips can sniff
// (SVG, PDF, matrix and FITS files, ...) is refused before its loader runs:
// those loaders are not made for untrusted input, and a few bytes of SVG
// render to any size.
constexpr std::string_view kReadFormats[] = {"jpeg", "png", "tiff", "webp", "gif"};

// The format a loader nickname ("svgload_source") stands for ("svg").
std::string_view formatOf(std::string_view loader) { return loader.substr(0, loader.find("load")); }

// A fresh source object each time, so that libvips' operation cache never
// returns what the file held before. Throws when the file is not one of the
// formats read.
vips::VImage openImage(const std::shared_ptr<const OpenedFile>& file, vips::VOption* options) {
  if (!options) options = vips::VImage::option();
  vips::VSource source = DescriptorReader::sourceFor(file);
  const char* loader = vips_foreign_find_load_source(source.get_source());
  if (!loader) {
    vips_error_clear();
    delete options;
    throw vips::VError(file->info.st_size == 0 ? "an empty file"
                                               : "not a JPEG, PNG, TIFF, WebP or GIF picture");
  }
  // libvips names the loader by its type; its nickname reads "jpegload_source".
  const char* nickname = vips_nickname_find(g_type_from_name(loader));
  const std::string_view format = formatOf(nickname ? nickname : loader);
  if (std::find(std::begin(kReadFormats), std::end(kReadFormats), format) ==
      std::end(kReadFormats)) {
    delete options;
    std::string name(format);
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    throw vips::VError(name + " is not read; only JPEG, PNG, TIFF, WebP and GIF pictures are");
  }
  // A damaged source must never become the base of a rewrite. libjpeg only
  // warns about corrupt data and fills in grey, so for JPEG any warning
  // fails; other decoders report damage as errors, and their warnings are
  // mostly about harmless extras (unknown TIFF tags, known sRGB profiles).
  options->set("fail_on", format == "jpeg" ? VIPS_FAIL_ON_WARNING : VIPS_FAIL_ON_TRUNCATED);
  return vips::VImage::new_from_source(source, "", options);
}

// Opens `path` for reading, links resolved once, before the file is opened;
// only a regular file will do.
std::shared_ptr<const OpenedFile> openForReading(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& cause) {
    if (error) *error = path + ": cannot read image (" + cause + ")";
    return nullptr;
  };
  if (path.empty()) return fail("no file name");
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return fail(fileErrorCause(errno));
  std::string real = resolved;
  std::free(resolved);
  // Not blocking on a FIFO; cleared again below.
  const int fd = ::open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return fail(fileErrorCause(errno));
  auto file = std::make_shared<const OpenedFile>(fd, std::move(real));
  if (!S_ISREG(file->info.st_mode)) return fail("not a regular file");
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return file;
}

// PNG keeps its resolution in a pHYs chunk, in whole pixels per metre.
// libvips reports 2.834 pixels per millimetre (71.98 dpi) when there is
// none, so the chunk is looked up here and absence reads as 72.
std::optional<double> pngResolution(int fd) {
  auto u32 = [](const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
  };
  auto readAt = [fd](off_t at, unsigned char* into, std::size_t length) {
    return ::pread(fd, into, length, at) == static_cast<ssize_t>(length);
  };
  unsigned char head[8];
  for (off_t at = 8; readAt(at, head, 8);) {  // after the signature
    const std::uint32_t length = u32(head);
    const std::string_view type(reinterpret_cast<const char*>(head + 4), 4);
    if (type == "IDAT" || type == "IEND") break;  // pHYs comes before the pixels
    if (type == "pHYs" && length == 9) {
      unsigned char body[9];
      if (!readAt(at + 8, body, 9)) break;
      if (body[8] != 1) return std::nullopt;  // aspect ratio only
      return u32(body + 4) * (kMillimetresPerInch / 1000);
    }
    at += off_t{8} + length + 4;  // header, body and CRC
  }
  return std::nullopt;
}

// A JFIF header keeps a density in dots per inch (unit 1) or per centimetre
// (unit 2); unit 0 gives only the pixels' aspect ratio, which is no
// resolution at all.
std::optional<double> jfifResolution(int fd) {
  auto readAt = [fd](off_t at, unsigned char* into, std::size_t length) {
    return ::pread(fd, into, length, at) == static_cast<ssize_t>(length);
  };
  unsigned char head[4];
  if (!readAt(0, head, 2) || head[0] != 0xff || head[1] != 0xd8) return std::nullopt;
  for (off_t at = 2; readAt(at, head, 4) && head[0] == 0xff;) {
    const int marker = head[1];
    const int length = (head[2] << 8) | head[3];
    if (marker == 0xda || marker == 0xd9 || length < 2) break;  // the scan: no header follows
    unsigned char body[14];
    if (marker == 0xe0 && length >= 16 && readAt(at + 4, body, 14) &&
        std::memcmp(body, "JFIF\0", 5) == 0) {
      const int unit = body[7];
      const double density = (body[10] << 8) | body[11];
      if (density <= 0) return std::nullopt;
      if (unit == 1) return density;
      if (unit == 2) return density * 2.54;
      return std::nullopt;
    }
    at += off_t{2} + length;
  }
  return std::nullopt;
}

double resolutionOf(const OpenedFile& file, const vips::VImage& header) {
  const char* name = nullptr;
  if (header.get_typeof(VIPS_META_LOADER) != 0) name = header.get_string(VIPS_META_LOADER);
  const std::string_view loader = name ? name : "";
  if (loader.substr(0, 7) == "pngload") return pngResolution(file.fd).value_or(72);
  // libvips takes an EXIF resolution over the JFIF one, as photo editors do.
  if (loader.substr(0, 8) == "jpegload" && header.get_typeof("exif-ifd0-YResolution") == 0)
    return jfifResolution(file.fd).value_or(72);
  // libvips reports 1 pixel per millimetre when a TIFF, WebP or GIF
  // file gives no resolution; no photo is stored at 25.4 dpi.
  if (!(header.yres() > 0) || header.yres() == 1.0) return 72;
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

// Feeds the encoder's bytes to a file, inserting `insert` after the first
// `insertAfter` bytes (the JPEG header segments go right after SOI).
struct SplicingWriter {
  int fd = -1;
  std::size_t insertAfter = 0;
  std::string insert;
  std::string head;  // the first bytes, until the insertion point is reached
  bool inserted = false;
  int error = 0;  // errno of the write that failed

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
      writer->error = length < 0 ? EINVAL : errno;
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

// zlib's fastest level with each row stored as its difference from the
// pixel to the left: on photos a smaller file than the default level 6
// without row filters, in less than half the time.
vips::VOption* pngOptions() {
  return vips::VImage::option()->set("compression", 1)->set("filter", VIPS_FOREIGN_PNG_FILTER_SUB);
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

std::string readFailureLine(const std::string& path, const vips::VError& e) {
  const std::string cause = vipsMessage(e);
  return path + ": cannot read image (" + (cause.empty() ? "damaged picture data" : cause) + ")";
}

std::optional<std::string> localPath(std::string_view urlOrPath) {
  if (urlOrPath.empty()) return std::nullopt;
  std::string scheme(urlOrPath.substr(0, std::min(urlOrPath.find(':'), urlOrPath.size())));
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme == "file") return pathFromFileUrl(urlOrPath);  // the scheme in any letter case
  if (urlOrPath.find("://") != std::string_view::npos) return std::nullopt;
  return std::string(urlOrPath);
}

OpenedFile::OpenedFile(int descriptor, std::string path)
    : fd(descriptor), realPath(std::move(path)) {
  ::fstat(fd, &info);
}

OpenedFile::~OpenedFile() { ::close(fd); }

std::optional<ImageSource> ImageSource::open(const std::string& path, std::string* error) {
  std::shared_ptr<const OpenedFile> file = openForReading(path, error);
  if (!file) return std::nullopt;
  try {
    const vips::VImage header =
        openImage(file, vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
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
    source.file_ = file;
    if (header.get_typeof(VIPS_META_ORIENTATION) != 0)
      source.orientation_ = std::clamp(header.get_int(VIPS_META_ORIENTATION), 1, 8);
    const bool turned = source.orientation_ >= 5;
    source.width_ = turned ? header.height() : header.width();
    source.height_ = turned ? header.width() : header.height();
    source.dpi_ = resolutionOf(*file, header);
    const char* loader = nullptr;
    if (header.get_typeof(VIPS_META_LOADER) != 0) loader = header.get_string(VIPS_META_LOADER);
    source.shrinksOnLoad_ = loader && std::string_view(loader).substr(0, 8) == "jpegload";
    return source;
  } catch (const vips::VError& e) {
    if (error) *error = readFailureLine(path, e);
    return std::nullopt;
  }
}

Raster ImageSource::decode(int shrink, bool streamed) const {
  // Sequential access decodes straight into whoever consumes the rows;
  // turning the picture upright needs random access.
  vips::VOption* options = vips::VImage::option()->set(
      "access", orientation_ == 1 ? VIPS_ACCESS_SEQUENTIAL : VIPS_ACCESS_RANDOM);
  if (shrinksOnLoad_ && shrink > 1) options->set("shrink", shrink);
  vips::VImage image = openImage(file_, options);
  if (orientation_ != 1) image = image.autorot();
  image = asRgb8(image);
  if (!streamed) image = image.copy_memory();
  return Raster(image);
}

double fetchImageDPI(const std::string& url) {
  const std::optional<std::string> path = localPath(url);
  if (!path) return 72;
  const std::shared_ptr<const OpenedFile> file = openForReading(*path, nullptr);
  if (!file) return 72;
  try {
    return resolutionOf(
        *file, openImage(file, vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL)));
  } catch (const vips::VError& e) {
    vipsMessage(e);
    return 72;
  }
}

std::optional<std::string> writeImageFile(const Raster& image, const std::string& path, double dpi,
                                          const WritePlan& plan, WriteFailure* failure) {
  auto fail = [&](std::string line, bool reading = false) -> std::optional<std::string> {
    failure->reading = reading;
    failure->line = std::move(line);
    return std::nullopt;
  };
  WritePlan how = plan;
  std::string target = path;
  const bool lookFirst = !how.replaces && !how.alternative;
  struct stat info {};
  if (lookFirst && ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    // A destination given as a link stands for the file it names, looked up
    // once, now; the final name itself is never followed.
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
      target = resolved;
      std::free(resolved);
    }
  }
  std::string error;
  std::optional<OutputFile> file = OutputFile::create(target, &error);
  if (!file) return fail(error);
  bool create = !how.replaces;
  if (lookFirst) {
    // What the name holds now is what may be replaced; a free name is
    // only created.
    if (::fstatat(file->folder(), file->name().c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISDIR(info.st_mode)) return fail(target + ": is a folder");
      if (S_ISLNK(info.st_mode)) return fail(target + ": is a symbolic link to nothing");
      if (!S_ISREG(info.st_mode)) return fail(target + ": is not a regular file");
      how.replaces = FileIdentity::of(info);
      create = false;
    } else if (errno != ENOENT) {
      return fail(target + ": " + fileErrorCause(errno));
    }
  }

  const bool png = lowercaseExtension(target) == "png";
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
    vips::VTarget sink(VIPS_TARGET(custom));
    try {
      if (png)
        out.pngsave_target(sink, pngOptions());
      else
        // The profile and resolution go in through the spliced segments.
        out.jpegsave_target(sink, vips::VImage::option()->set("strip", true));
    } catch (const vips::VError& e) {
      // The file's own failure is the cause; libvips only says that its
      // target gave up.
      if (writer.error != 0) {
        vipsMessage(e);
        return fail(target + ": " + fileErrorCause(writer.error));
      }
      throw;
    }
    if (writer.error != 0) return fail(target + ": " + fileErrorCause(writer.error));
    if (!writer.inserted) return fail(target + ": the encoder wrote nothing");
  } catch (const vips::VError& e) {
    // The pixels are decoded as they are encoded: a damaged source fails here.
    return fail(vipsMessage(e), /*reading=*/true);
  }
  if (!create) {
    if (!file->replace(*how.replaces, &error)) return fail(error);
    return target;
  }
  std::optional<std::string> written = file->publish(how.alternative, &error);
  if (!written) return fail(error);
  return written;
}

bool writeCGImage(const Raster& image, const std::string& to, double dpi) {
  const std::optional<std::string> destination = localPath(to);
  WriteFailure failure;
  if (!destination) {
    failure.line = to + ": not a local file";
  } else if (writeImageFile(image, *destination, dpi, {}, &failure)) {
    return true;
  }
  if (!failure.reading) diagnosticLine("writing image failed!");
  diagnosticLine(failure.line);
  return false;
}

}  // namespace kadro
