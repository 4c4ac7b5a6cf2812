// Diagnostic lines of the pipeline and the plug-in. They go to standard
// output; a program that keeps standard output for data (kadro inspect
// --json) sends them elsewhere with setDiagnosticStream.
#pragma once

#include <ostream>
#include <string_view>

namespace kadro {

// Where diagnostic lines go; standard output unless redirected.
std::ostream& diagnostics();

// Redirects the diagnostic lines (nullptr restores standard output). The
// stream must outlive its use.
void setDiagnosticStream(std::ostream* stream);

// Writes one line: the function name, ": ", the message.
void info(std::string_view message, std::string_view function);

// Writes one line as it is.
void diagnosticLine(std::string_view line);

}  // namespace kadro
