// What the fuzz targets share: a scratch folder of the process's own,
// silenced diagnostics, and a reader that hands out an input's leading bytes
// as choices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kadro::fuzz {

// A fresh folder for this process, on a memory file system where there is
// one (the store syncs on every commit); removed at exit.
const std::string& scratchFolder();

// Diagnostic lines go nowhere (a fuzzer runs millions of jobs), unless
// KADRO_FUZZ_VERBOSE is set.
void silenceDiagnostics();

// Writes `bytes` to `path`, replacing it; aborts when it cannot, as the
// target would otherwise test nothing.
void writeFile(const std::string& path, std::string_view bytes);

// The whole file, or nothing when it cannot be read.
std::string readFile(const std::string& path);

// Reads choices from the front of an input; past its end every byte is 0.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  bool flag() { return byte() & 1; }
  // One of `count` choices.
  std::size_t choice(std::size_t count) { return byte() % count; }
  // A number mostly small, sometimes at an edge of its type.
  std::int64_t length();
  // Up to `limit` bytes of text, taken as they are.
  std::string text(std::size_t limit);
  // Whatever is left.
  std::string_view rest() const { return {reinterpret_cast<const char*>(data_), size_}; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace kadro::fuzz
