// The stored preset document and the store's database file from arbitrary
// bytes. The first byte chooses which: 'd' reads the bytes as the document,
// anything else as the whole database file.
//
// A document either fails to decode or re-encodes (compact and indented) to
// a document that decodes to the same presets. A database file is read by a
// store: opening it never replaces a stored document, reading never changes
// a byte of it, a file the store cannot use is renamed aside with every byte
// kept, a read that fails says why, and the presets are never empty.
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "Plugin/settings.h"
#include "fuzz/fuzz_support.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "preset store: %s\n", what);
  std::abort();
}

void document(std::string_view bytes) {
  kadro::PresetMap presets;
  try {
    presets = kadro::decodePresets(bytes);
  } catch (const nlohmann::json::exception&) {
    return;
  } catch (const kadro::ActionDecodeError&) {
    return;
  }
  for (int indent : {-1, 2})
    if (kadro::decodePresets(kadro::encodePresets(presets, indent)) != presets)
      fail("a decoded document does not survive its own encoding");
}

// The stored document's bytes, read past the store; nothing when the file
// holds none or cannot be read.
std::optional<std::string> storedDocument(const std::string& path) {
  std::optional<std::string> document;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT value FROM defaults WHERE key = 'presets'", -1, &s,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW &&
        (sqlite3_column_type(s, 0) == SQLITE_BLOB || sqlite3_column_type(s, 0) == SQLITE_TEXT)) {
      const auto* data = static_cast<const char*>(sqlite3_column_blob(s, 0));
      document = std::string(data ? data : "", sqlite3_column_bytes(s, 0));
    }
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return document;
}

void databaseFile(std::string_view bytes) {
  const std::filesystem::path folder =
      std::filesystem::path(kadro::fuzz::scratchFolder()) / "store";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::string path = (folder / "store.sqlite").string();
  kadro::fuzz::writeFile(path, bytes);
  const std::optional<std::string> before = storedDocument(path);
  kadro::Settings store(path);
  // The first read opens the file (and seeds one that holds no document).
  const kadro::PresetRead first = store.read();
  // A file set aside keeps every byte under its new name; one kept in
  // place keeps its document.
  bool setAside = false;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename().string().rfind("store.unusable-", 0) != 0 ||
        entry.path().extension() != ".sqlite")
      continue;
    setAside = true;
    if (kadro::fuzz::readFile(entry.path().string()) != bytes) fail("a file set aside was changed");
  }
  if (!setAside && before && storedDocument(path) != before)
    fail("opening the store replaced its presets");
  if (first.presets.empty()) fail("the store gave no presets");
  if (first.failure && first.failure->cause().empty()) fail("a failed read gave no reason");
  const std::string opened = kadro::fuzz::readFile(path);
  if (store.presets() != first.presets) fail("two reads gave different presets");
  if (kadro::fuzz::readFile(path) != opened) fail("reading the presets changed the file");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kadro::fuzz::silenceDiagnostics();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return -1;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] == 'd')
    document(bytes);
  else
    databaseFile(bytes);
  return 0;
}
