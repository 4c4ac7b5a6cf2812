#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>

#include "SmartCrop/diagnostics.h"

namespace kadro::fuzz {
namespace {

namespace fs = std::filesystem;

void removeScratch() {
  std::error_code ec;
  fs::remove_all(scratchFolder(), ec);
}

}  // namespace

const std::string& scratchFolder() {
  static const std::string folder = [] {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : P_tmpdir;
    std::string pattern = std::string(base) + "/kadro-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
      std::perror("kadro fuzz: scratch folder");
      std::abort();
    }
    return pattern;
  }();
  static const bool cleanup = std::atexit(removeScratch) == 0;
  (void)cleanup;
  return folder;
}

void silenceDiagnostics() {
  // Kept when reproducing a finding.
  if (std::getenv("KADRO_FUZZ_VERBOSE")) return;
  static std::ostringstream sink;
  sink.setstate(std::ios::badbit);  // discards everything written to it
  setDiagnosticStream(&sink);
  // Warnings of the store and the plug-in too; sanitizer reports and the
  // targets' own failures go to the standard error file itself.
  std::cerr.rdbuf(nullptr);
}

void writeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) {
    std::perror(("kadro fuzz: " + path).c_str());
    std::abort();
  }
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

std::int64_t ByteReader::length() {
  static constexpr std::int64_t kEdges[] = {
      0,
      -1,
      1,
      2,
      3,
      400,
      4096,
      65535,
      65536,
      std::numeric_limits<std::int32_t>::max(),
      std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1,
      std::numeric_limits<std::int32_t>::min(),
      std::numeric_limits<std::int64_t>::max(),
      std::numeric_limits<std::int64_t>::min(),
      -400,
      1'000'000'000'000};
  const std::uint8_t b = byte();
  if (b < 0xC0) return b;
  return kEdges[(b - 0xC0) % std::size(kEdges)];
}

std::string ByteReader::text(std::size_t limit) {
  const std::size_t n = std::min<std::size_t>(choice(limit + 1), size_);
  std::string out(reinterpret_cast<const char*>(data_), n);
  data_ += n;
  size_ -= n;
  return out;
}

}  // namespace kadro::fuzz
