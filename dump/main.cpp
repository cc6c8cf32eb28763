// vostrel: prints a krelby database file as a table, with the number of entries and duplicates.

#include <cstdio>

#include "dump/dump.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("usage: %s <zemlo.dat>\n", argc > 0 ? argv[0] : "vostrel");
    return 255;
  }
  DumpDatabaseFile(argv[1], stdout);  // further arguments are ignored
  return 0;
}
