#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ProgramResult {
  std::string out;      // everything written to standard output
  std::string err;      // everything written to standard error
  int status = -1;      // exit status, or -1 when killed by a signal
  int signal = 0;       // the signal that ended it, if any
};

struct RunOptions {
  std::string directory{};           // working directory; empty: the test's own
  std::vector<std::string> env{};    // extra NAME=value settings
  uid_t uid = 0;                     // non-zero: drop to this user (and its group) before exec
  unsigned timeoutSeconds = 120;     // a program still running then is killed (SIGALRM)
  long fileSizeLimit = -1;           // >= 0: RLIMIT_FSIZE in bytes, with SIGXFSZ ignored
};

// Runs program with arguments (argv[0] is program unless arg0 is given) and collects its output.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const RunOptions& options = {}, const char* arg0 = nullptr);

// The unprivileged user tests run programs as, when permissions must mean something.
inline constexpr uid_t kNobody = 65534;
