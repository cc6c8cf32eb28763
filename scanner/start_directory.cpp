#include "scanner/start_directory.h"

#include <fcntl.h>
#include <unistd.h>

void RememberStartDirectory(StartDirectory& start) {
  start.fd.Reset(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
#ifdef O_PATH
  if (!start.fd.Valid()) {  // a directory we may search but not read
    start.fd.Reset(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
#endif
  if (!start.fd.Valid() && getcwd(start.path, sizeof start.path) == nullptr) {
    start.path[0] = '\0';  // too long or unreachable: never used to change directory
  }
}

bool ReturnToStartDirectory(const StartDirectory& start) {
  if (start.fd.Valid()) {
    return fchdir(start.fd.Get()) == 0;
  }
  return start.path[0] != '\0' && chdir(start.path) == 0;
}
