// Arbitrary bytes as the image of a database file, through the dump's whole check-and-print path.
// The rows go to /dev/null; ASan and UBSan report any read outside the image.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "dump/dump.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "UTC", 1);  // a fixed zone: ctime then never rereads the zone file
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* const sink = std::fopen("/dev/null", "w");
  if (sink == nullptr) {
    std::abort();
  }
  PrintDatabase(std::as_bytes(std::span(data, size)), sink);
  return 0;
}
