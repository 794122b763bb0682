#include "common/Timing.h"

#include <chrono>

namespace
{
template <class Clock>
uint64_t MillisecondsOf()
{
	using namespace std::chrono;
	return static_cast<uint64_t>(duration_cast<milliseconds>(Clock::now().time_since_epoch()).count());
}
} // namespace

uint64_t keltime::GetTimeMsec()
{
	return MillisecondsOf<std::chrono::steady_clock>();
}

uint64_t keltime::GetSystemTimeMsec()
{
	return MillisecondsOf<std::chrono::system_clock>();
}
