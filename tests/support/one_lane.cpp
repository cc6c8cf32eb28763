// Built into a test copy of krelby only: it hashes one file at a time, so that tests can compare
// its output and database with those of the lanes.

#include "scanner/hash_lanes.h"

namespace {

struct OneLane {
  OneLane() { LimitHashLanes(1); }
} oneLane;

}  // namespace
