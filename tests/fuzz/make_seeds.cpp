// Writes the fuzz targets' seed corpus into the directory given: a few small valid databases.

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/database_builder.h"

namespace {

bool WriteSeed(const std::string& path, const std::vector<std::byte>& image) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return false;
  }
  const bool written = image.empty() || std::fwrite(image.data(), image.size(), 1, file) == 1;
  return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("usage: %s <directory>\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const auto digest = DigestFromHex("0123456789abcdeffedcba9876543210");
  const TestRecord photo{0x1A2B3C4Du, digest, 0x11111111u, 0, 12, 1700000000, 1700000100, "/data/photos/a.jpg"};
  const TestRecord copy{0x1A2B3C4Du, digest, 0x22222222u, 0, 12, 0, -86400, "/data/backup/a.jpg"};
  const TestRecord empty{0, DigestFromHex("d41d8cd98f00b204e9800998ecf8427e"), 0x33333333u, 0, 0, 1, 2, "/e"};
  const TestRecord far{7, {}, 0x44444444u, 1, 4294967295u, 253402300800, -1, "/far/future"};
  const bool ok = WriteSeed(dir + "/empty_database", BuildDatabase({})) &&
                  WriteSeed(dir + "/one_record", BuildDatabase({photo})) &&
                  WriteSeed(dir + "/dupes", BuildDatabase({photo, empty, copy}, {1, 0, 2})) &&
                  WriteSeed(dir + "/content_subset", BuildDatabase({far, photo, copy}, {1, 2})) &&
                  WriteSeed(dir + "/all", BuildDatabase({empty, far, photo, copy}));
  return ok ? 0 : 1;
}
