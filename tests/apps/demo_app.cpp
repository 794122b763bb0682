// A minimal framework application that the process tests run as a child. Its behaviour comes
// from the environment:
//   DEMO_RUN_MS=<n>          ask for a graceful quit n ms after reaching APP_RUNNING (0: never)
//   DEMO_FAIL_INIT=1         make Init fail
//   DEMO_CRASH_SIGNAL=<sig>  raise sig from RunOnce once DEMO_CRASH_AFTER_MS (default 50) passed
//   DEMO_REBOOT_ON_EXIT=1    turn reboot-on-exit on (the recording platform sees the request)
//   DEMO_RUNONCE_RESULT=<n>  RunOnce returns n once running
// It always installs a recording platform that prints each machine request instead of doing it,
// so no power command, reboot or real-time scheduling ever reaches the host.

#include "Application.h"
#include "Platform.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{
int EnvInt(const char* name, int fallback)
{
	const char* value = std::getenv(name);
	return value != nullptr && value[0] != '\0' ? std::atoi(value) : fallback;
}

class PrintingPlatform : public rtfwk_sdl2::RecordingPlatform
{
public:
	int Reboot(int how) override
	{
		std::printf("DEMO PLATFORM Reboot(%d)\n", how);
		std::fflush(stdout);
		return RecordingPlatform::Reboot(how);
	}
	int PowerCommand(const std::string& command) override
	{
		std::printf("DEMO PLATFORM PowerCommand(%s)\n", command.c_str());
		std::fflush(stdout);
		return RecordingPlatform::PowerCommand(command);
	}
	int SetScheduler(int policy, int priority) override
	{
		std::printf("DEMO PLATFORM SetScheduler(%d, %d)\n", policy, priority);
		std::fflush(stdout);
		return RecordingPlatform::SetScheduler(policy, priority);
	}
};

std::atomic<long> gIterations{0};
std::atomic<long> gRunningMs{0};

class DemoApp : public rtfwk_sdl2::TApplication
{
public:
	DemoApp() : TApplication("DEMO APP") {}

	int Init(const std::vector<std::string>& args) override
	{
		const int result = TApplication::Init(args);
		if (result != 0)
			return result;
		if (EnvInt("DEMO_FAIL_INIT", 0) != 0)
		{
			KEL_LOG(LogApp, logs::Critical, "Demo Init failure requested");
			return -1;
		}
		if (EnvInt("DEMO_REBOOT_ON_EXIT", 0) != 0)
			SetRebootOnExit(true);
		setStatus(APP_STARTUP);
		return 0;
	}

	void PreRunOnce() override
	{
		if (status() == APP_RUNNING)
		{
			if (gIterations++ == 0)
				mRunningSince = std::chrono::steady_clock::now();
			gRunningMs = static_cast<long>(
			    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - mRunningSince)
			        .count());
		}
	}

	int RunOnce() override
	{
		if (status() != APP_RUNNING || gIterations.load() == 0)
			return 0;
		const long runningMs = gRunningMs.load();
		const int crashSignal = EnvInt("DEMO_CRASH_SIGNAL", 0);
		if (crashSignal != 0 && runningMs >= EnvInt("DEMO_CRASH_AFTER_MS", 50))
			std::raise(crashSignal);
		const int runOnceResult = EnvInt("DEMO_RUNONCE_RESULT", 0);
		if (runOnceResult != 0)
			return runOnceResult;
		const int runMs = EnvInt("DEMO_RUN_MS", 0);
		if (runMs > 0 && runningMs >= runMs)
		{
			std::printf("DEMO ITERATIONS %ld IN %ld MS\n", gIterations.load(), runningMs);
			std::fflush(stdout);
			terminate(rtfwk_sdl2::DEFAULT, true);
		}
		return 0;
	}

private:
	std::chrono::steady_clock::time_point mRunningSince;
};
} // namespace

int main(int argc, const char** argv)
{
	static PrintingPlatform platform;
	rtfwk_sdl2::SetPlatform(&platform);
	return rtfwk_sdl2::mainMethod<DemoApp>(argc, argv);
}
