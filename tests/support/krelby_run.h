#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/run_program.h"

// One run of the built krelby, with its output taken apart.
struct KrelbyRun {
  ProgramResult result;
  std::vector<std::string> messages;  // the per-file lines between the settings block and the report
  std::uint64_t bytes = 0;
  std::uint64_t entries = 0;
  std::uint64_t dupes = 0;
  bool reported = false;  // the final report was found
};

KrelbyRun RunKrelby(const std::vector<std::string>& args, const RunOptions& options = {});
// The same with another build of the program.
KrelbyRun RunKrelby(const std::string& program, const std::vector<std::string>& args, const RunOptions& options = {});
