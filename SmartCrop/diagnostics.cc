#include "SmartCrop/diagnostics.h"

#include <atomic>
#include <iostream>
#include <mutex>

namespace kadro {
namespace {

std::atomic<std::ostream*> g_stream{nullptr};
std::mutex g_mutex;  // keeps lines of concurrent jobs whole

}  // namespace

std::ostream& diagnostics() {
  std::ostream* s = g_stream.load();
  return s ? *s : std::cout;
}

void setDiagnosticStream(std::ostream* stream) { g_stream.store(stream); }

void info(std::string_view message, std::string_view function) {
  std::lock_guard lock(g_mutex);
  diagnostics() << function << ": " << message << '\n' << std::flush;
}

void diagnosticLine(std::string_view line) {
  std::lock_guard lock(g_mutex);
  diagnostics() << line << '\n' << std::flush;
}

}  // namespace kadro
