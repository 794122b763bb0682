#pragma once

#include <cstdint>

namespace keltime
{
// Monotonic milliseconds: for intervals and deadlines.
uint64_t GetTimeMsec();
// Wall-clock milliseconds since the Unix epoch: for time stamps.
uint64_t GetSystemTimeMsec();
} // namespace keltime
