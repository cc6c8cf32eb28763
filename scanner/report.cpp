#include "scanner/report.h"

#include <sys/time.h>

#include <cstdio>

ClockReading ReadClock() {
  timeval now{};
  (void)gettimeofday(&now, nullptr);  // cannot fail with a valid buffer and no time zone
  return ClockReading{static_cast<std::int64_t>(now.tv_sec), static_cast<std::int64_t>(now.tv_usec)};
}

float ElapsedSeconds(ClockReading start, ClockReading end) {
  const float fraction = static_cast<float>(end.microseconds - start.microseconds) / 1000000.0f;
  const float whole = static_cast<float>(end.seconds - start.seconds);
  return fraction + whole;
}

float ScanSpeed(std::uint64_t totalBytes, float elapsedSeconds) {
  if (totalBytes == 0 || !(elapsedSeconds > 0.0f)) {
    return 0.0f;
  }
  return static_cast<float>(totalBytes) / elapsedSeconds / 1000000.0f;
}

void PrintFinalReport(std::uint64_t totalBytes, std::uint64_t entries, std::uint64_t dupes, float elapsedSeconds) {
  std::printf("\n\n%llu bytes - %u entries - %llu dupes - needed time: %f seconds\n",
              static_cast<unsigned long long>(totalBytes), static_cast<unsigned>(entries),
              static_cast<unsigned long long>(dupes), static_cast<double>(elapsedSeconds));
  std::printf("Scanspeed: %f MB per second\n", static_cast<double>(ScanSpeed(totalBytes, elapsedSeconds)));
}
