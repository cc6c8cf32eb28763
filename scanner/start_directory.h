#pragma once

#include "store/handles.h"

// The directory the program was started in, kept so that the run can come back to it after the
// walk and resolve relative database names there.
struct StartDirectory {
  Fd fd;              // preferred: immune to renames and long paths
  char path[5000]{};  // fallback when the directory cannot be opened; empty when unusable
};

void RememberStartDirectory(StartDirectory& start);
// False when the start directory could not be re-entered.
bool ReturnToStartDirectory(const StartDirectory& start);
