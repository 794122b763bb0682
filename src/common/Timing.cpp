#include "common/Timing.h"

#include <chrono>

uint64_t keltime::GetTimeUsec()
{
	using namespace std::chrono;
	return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

uint64_t keltime::GetTimeMsec()
{
	return GetTimeUsec() / 1000;
}

uint64_t keltime::GetSystemTimeMsec()
{
	using namespace std::chrono;
	return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

const uint64_t keltime::OnStartKel = keltime::GetTimeMsec();
const uint64_t keltime::OnStartEpoch = keltime::GetSystemTimeMsec();

uint64_t keltime::EpochToKel(uint64_t sys)
{
	return OnStartKel + sys - OnStartEpoch;
}

uint64_t keltime::KelToEpoch(uint64_t t)
{
	return OnStartEpoch + t - OnStartKel;
}
