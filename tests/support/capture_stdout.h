#pragma once

#include <string>

// Collects what this process writes to standard output between construction and Text().
class CaptureStdout {
 public:
  CaptureStdout();
  ~CaptureStdout();
  CaptureStdout(const CaptureStdout&) = delete;
  CaptureStdout& operator=(const CaptureStdout&) = delete;

  // Ends the capture (once) and returns everything written meanwhile.
  std::string Text();

 private:
  int saved_ = -1;
  int file_ = -1;
  std::string text_;
};
