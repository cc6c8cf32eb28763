#pragma once

#include <cstdint>

// A reading of the time-of-day clock.
struct ClockReading {
  std::int64_t seconds = 0;
  std::int64_t microseconds = 0;
};
ClockReading ReadClock();

// Elapsed seconds in single precision: the microsecond difference (possibly negative) over 10^6,
// plus the whole-second difference, added in single precision.
float ElapsedSeconds(ClockReading start, ClockReading end);

// Megabytes (10^6 bytes) per second; 0 when nothing was read or no time has passed, never nan or inf.
float ScanSpeed(std::uint64_t totalBytes, float elapsedSeconds);

void PrintFinalReport(std::uint64_t totalBytes, std::uint64_t entries, std::uint64_t dupes, float elapsedSeconds);
