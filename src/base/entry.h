#pragma once

// The process entry, kept here so that the platform's own form of main stays
// inside the base services. src/cli/main.cc only names the function to run.

#include <vector>

#include "base/text.h"

namespace wavtally {

/// The program proper: takes the arguments after the program name and
/// returns the exit status.
using EntryFunction = int (*)(const std::vector<CStdStr>& args);

/// Prepares the console and runs fn on the arguments decoded without loss;
/// returns fn's exit status.
int RunEntry(int argc, char** argv, EntryFunction fn);

/// Prepares the console and runs fn on the UTF-16 arguments of wmain; returns
/// fn's exit status. Defined on Windows only.
int RunEntry(int argc, wchar_t** argv, EntryFunction fn);

}  // namespace wavtally

// Windows hands wmain the arguments as UTF-16, which no code page can spoil.
#ifdef _WIN32
#define WAVTALLY_ENTRY(fn) \
  int wmain(int argc, wchar_t** argv) { return ::wavtally::RunEntry(argc, argv, fn); }
#else
#define WAVTALLY_ENTRY(fn) \
  int main(int argc, char** argv) { return ::wavtally::RunEntry(argc, argv, fn); }
#endif
