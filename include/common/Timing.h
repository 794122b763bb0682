#pragma once

#include <cstdint>

namespace keltime
{
// Monotonic clock: for intervals, deadlines and message time stamps.
uint64_t GetTimeUsec();
uint64_t GetTimeMsec();
// Wall-clock milliseconds since the Unix epoch: for log time stamps.
uint64_t GetSystemTimeMsec();

// Both clocks read once at program start, to convert between the two time bases.
extern const uint64_t OnStartKel;
extern const uint64_t OnStartEpoch;
uint64_t EpochToKel(uint64_t sys);
uint64_t KelToEpoch(uint64_t t);
} // namespace keltime
