#include "tests/support/capture_stdout.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

CaptureStdout::CaptureStdout() {
  std::fflush(stdout);
  char name[] = "/tmp/krelby-stdout-XXXXXX";
  file_ = mkstemp(name);
  if (file_ < 0) {
    return;
  }
  unlink(name);
  saved_ = dup(1);
  dup2(file_, 1);
}

CaptureStdout::~CaptureStdout() { (void)Text(); }

std::string CaptureStdout::Text() {
  if (saved_ >= 0) {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    lseek(file_, 0, SEEK_SET);
    char chunk[4096];
    ssize_t n;
    while ((n = read(file_, chunk, sizeof chunk)) > 0) {
      text_.append(chunk, static_cast<std::size_t>(n));
    }
    close(file_);
    file_ = -1;
  }
  return text_;
}
