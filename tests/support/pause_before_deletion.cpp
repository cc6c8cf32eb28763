// Built into a test copy of krelby only: the process stops itself (SIGSTOP) between confirming a
// duplicate and deleting it, so that a test can change the tree right there and let it go on.

#include <csignal>

#include "scanner/deletion.h"

namespace {

struct PauseBeforeDeletion {
  PauseBeforeDeletion() {
    BeforeDeletion = [] { (void)std::raise(SIGSTOP); };
  }
} pause;

}  // namespace
