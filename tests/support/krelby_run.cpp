#include "tests/support/krelby_run.h"

#include <regex>
#include <sstream>

KrelbyRun RunKrelby(const std::vector<std::string>& args, const RunOptions& options) {
  return RunKrelby(KRELBY_PATH, args, options);
}

KrelbyRun RunKrelby(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
  KrelbyRun run;
  run.result = RunProgram(program, args, options, "krelby");
  const std::string& out = run.result.out;
  static const std::regex report("\n\n([0-9]+) bytes - ([0-9]+) entries - ([0-9]+) dupes - needed time: ");
  std::smatch match;
  std::size_t end = out.size();
  if (std::regex_search(out, match, report)) {
    run.reported = true;
    run.bytes = std::stoull(match[1]);
    run.entries = std::stoull(match[2]);
    run.dupes = std::stoull(match[3]);
    end = static_cast<std::size_t>(match.position(0));
  }
  std::size_t begin = 0;
  for (const char* blockEnd : {"DUPE List:\n", "Be Quiet              : YES\n\n"}) {
    const std::size_t at = out.find(blockEnd);
    if (at != std::string::npos) {
      begin = at + std::string(blockEnd).size();
    }
  }
  std::istringstream lines(out.substr(begin, end > begin ? end - begin : 0));
  for (std::string line; std::getline(lines, line);) {
    run.messages.push_back(line);
  }
  return run;
}
