#include "Platform.h"
#include "TApplication.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace rtfwk_sdl2
{
std::vector<std::string> mCommandLineArguments;

namespace
{
using Clock = std::chrono::steady_clock;

size_t Msb64(uint64_t v)
{
	return v == 0 ? 0 : 64 - static_cast<size_t>(__builtin_clzll(v));
}

// Visits the single-bit records named by mask, highest bit first.
template <class F>
void ForEachBit(uint64_t mask, F&& f)
{
	while (mask != 0)
	{
		const size_t m = Msb64(mask);
		const uint64_t bit = uint64_t(1) << (m - 1);
		f(m - 1);
		mask &= ~bit;
	}
}
} // namespace

size_t FrameRecordIndex(uint64_t type)
{
	if (type == ALL)
		return 9;
	const size_t m = Msb64(type);
	if (m == 0)
		return 0;
	return m - 1 < 9 ? m - 1 : 9;
}

void TApplication::PushNewFrame(EFrameType type, float durationMs)
{
	FrameDurationDataInternal& record = FrameDurations[FrameRecordIndex(type)];
	std::lock_guard<std::shared_mutex> lock(record.native());
	record.Total += durationMs;
	if (durationMs > record.Max)
		record.Max = durationMs;
	++record.NumFramesElapsed;
	record.Last = durationMs;
}

void TApplication::ResetFrameTimes()
{
	const Clock::time_point now = Clock::now();
	for (FrameDurationDataInternal& record : FrameDurations)
	{
		std::lock_guard<std::shared_mutex> lock(record.native());
		record.Max = 0;
		record.Total = 0;
		record.NumFramesElapsed = 0;
		record.LastResetTS = now;
		record.Last = 0;
	}
}

TApplication::FrameDurationData TApplication::FrameDurationSnapshot(EFrameType type) const
{
	const FrameDurationDataInternal& record = FrameDurations[FrameRecordIndex(type)];
	std::shared_lock<std::shared_mutex> lock(record.native());
	return static_cast<const FrameDurationData&>(record);
}

float TApplication::ElapsedSinceReset(EFrameType type) const
{
	const FrameDurationDataInternal& record = FrameDurations[FrameRecordIndex(type)];
	std::shared_lock<std::shared_mutex> lock(record.native());
	return static_cast<float>(
	           std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - record.LastResetTS).count()) *
	       0.001f;
}

#define RTFWK_MASK_SUM(expr)                                                                                           \
	float sum = 0.f;                                                                                                   \
	ForEachBit(static_cast<uint64_t>(mask) & ALL,                                                                      \
	           [&](size_t index)                                                                                       \
	           {                                                                                                       \
		           const FrameDurationDataInternal& r = FrameDurations[index];                                         \
		           std::shared_lock<std::shared_mutex> lock(r.native());                                               \
		           sum += (expr);                                                                                      \
	           });                                                                                                     \
	return sum

float TApplication::LastFrameDuration(EFrameType mask) const
{
	RTFWK_MASK_SUM(r.Last);
}
float TApplication::TotalFrameDuration(EFrameType mask) const
{
	RTFWK_MASK_SUM(r.Total);
}
float TApplication::MaxFrameDuration(EFrameType mask) const
{
	RTFWK_MASK_SUM(r.Max);
}
float TApplication::AvgFrameDuration(EFrameType mask) const
{
	RTFWK_MASK_SUM(r.NumFramesElapsed != 0 ? r.Total / static_cast<float>(r.NumFramesElapsed) : 0.f);
}
#undef RTFWK_MASK_SUM

void TApplication::WriteProfilingReport(Clock::time_point reportTime)
{
	KEL_LOG(LogApp, logs::Info, "======================= PROFILING =======================");
	const FrameDurationData all = FrameDurationSnapshot(ALL);
	const float elapsed =
	    static_cast<float>(
	        std::chrono::duration_cast<std::chrono::microseconds>(reportTime - all.LastResetTS).count()) *
	    0.001f;
	const float frames = static_cast<float>(all.NumFramesElapsed);
	KEL_LOG(LogApp, logs::Info,
	        "Main loop runnning at %.0f LPS with an average loop duration of %.03fms (time loss is %.01f%%)",
	        elapsed > 0.f ? frames * 1000.f / elapsed : 0.f, frames > 0.f ? all.Total / frames : 0.f,
	        elapsed > 0.f ? (elapsed - all.Total) * 100.f / elapsed : 0.f);
	for (size_t bit = 0; bit < 9; ++bit)
	{
		const FrameDurationData d = FrameDurationSnapshot(static_cast<EFrameType>(uint64_t(1) << bit));
		if (d.NumFramesElapsed == 0)
			continue;
		KEL_LOG(LogApp, logs::Info, "Frame type %d: total %.02fms | avg %.02fms | max %.02fms | relative %.02f%%",
		        static_cast<int>(bit + 1), d.Total, d.Total / static_cast<float>(d.NumFramesElapsed), d.Max,
		        all.Total > 0.f ? d.Total * 100.f / all.Total : 0.f);
	}
	ResetFrameTimes();
	KEL_LOG(LogApp, logs::Info, "=========================================================");
}

void TApplication::Defer(const DeferredType& method, bool evenIfAlreadyInMain, bool waitForExecution)
{
	if (!evenIfAlreadyInMain && IsInMainThread() && !mIsExecutingMainDeferredMethods)
	{
		method();
		return;
	}
	auto member = std::make_shared<DeferredQueueMember>(method);
	{
		ScopedLock lock(mDeferredQueue);
		mDeferredQueue->push(member);
	}
	if (waitForExecution)
		member->semaphore.Acquire();
}

void TApplication::ExecuteDeferredMethods()
{
	mIsExecutingMainDeferredMethods = true;
	mDeferredQueue.Lock();
	while (!mDeferredQueue->empty())
	{
		std::shared_ptr<DeferredQueueMember> member = mDeferredQueue->front();
		mDeferredQueue->pop();
		mDeferredQueue.Unlock();
		if (member->handler)
		{
			try
			{
				member->handler();
			}
			catch (...)
			{
				logman::WriteLog(0, "TApplication: ExecuteDefreredMethods unhandled exception");
			}
		}
		mDeferredQueue.Lock();
		member->semaphore.Release();
	}
	mDeferredQueue.Unlock();
	mIsExecutingMainDeferredMethods = false;
}

std::string TApplication::GetBinaryPath() const
{
	char buffer[256] = {};
	const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
	if (n <= 0)
		return {};
	return std::string(buffer, static_cast<size_t>(n));
}

std::string SystemCmdResult(const std::string& command)
{
	IPlatform& platform = Platform();
	std::FILE* pipe = platform.OpenReadPipe(command);
	if (pipe == nullptr)
		throw std::runtime_error("popen() failed!");
	std::string result;
	char buffer[128];
	while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr)
		result += buffer;
	platform.ClosePipe(pipe);
	return result;
}

int InitCommandLineArguments(int argc, const char** argv)
{
	for (int i = 0; i < argc; ++i)
		mCommandLineArguments.emplace_back(argv[i]);
	return argc;
}

const std::vector<std::string>& CommandLineArguments()
{
	return mCommandLineArguments;
}
} // namespace rtfwk_sdl2
