#include "scanner/purge.h"

#include <cstdio>

#include "scanner/run_state.h"

void PurgeRecordedDupes() {
  if (PathList.count == 0 || ContentList.count == 0) {
    std::puts("ERROR: No Files in Database");  // printed even when quiet
    return;
  }
}
