#include "Platform.h"

#include "common/Logger.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <sys/reboot.h>
#include <unistd.h>

namespace rtfwk_sdl2
{
namespace
{
std::atomic<IPlatform*> gInstalled{nullptr};

SystemPlatform& RealMachine()
{
	// Never destroyed: background commands may still reach it during static destruction.
	static auto* real = new SystemPlatform();
	return *real;
}
} // namespace

IPlatform& Platform()
{
	IPlatform* installed = gInstalled.load();
	return installed != nullptr ? *installed : RealMachine();
}

IPlatform* SetPlatform(IPlatform* p)
{
	return gInstalled.exchange(p);
}

bool RebootDisabledByEnvironment()
{
	const char* value = std::getenv("DISABLE_REBOOT_ON_EXIT");
	return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

// ---- the real machine ----

int SystemPlatform::System(const std::string& command)
{
	return std::system(command.c_str());
}

std::FILE* SystemPlatform::OpenReadPipe(const std::string& command)
{
	return ::popen(command.c_str(), "r");
}

int SystemPlatform::ClosePipe(std::FILE* pipe)
{
	return pipe != nullptr ? ::pclose(pipe) : -1;
}

void SystemPlatform::Sync()
{
	::sync();
}

int SystemPlatform::Reboot(int how)
{
	if (RebootDisabledByEnvironment())
	{
		KEL_LOG(LogApp, logs::Warning, "Reboot refused: DISABLE_REBOOT_ON_EXIT is set");
		errno = EPERM;
		return -1;
	}
	return RawReboot(how);
}

int SystemPlatform::PowerCommand(const std::string& command)
{
	if (RebootDisabledByEnvironment())
	{
		KEL_LOG(LogApp, logs::Warning, "Power command refused: DISABLE_REBOOT_ON_EXIT is set (%s)", command.c_str());
		errno = EPERM;
		return -1;
	}
	return RawPowerCommand(command);
}

int SystemPlatform::SetScheduler(int policy, int priority)
{
	sched_param param{};
	param.sched_priority = priority;
	return ::sched_setscheduler(0, policy, &param);
}

int SystemPlatform::RawReboot(int how)
{
	return ::reboot(how);
}

int SystemPlatform::RawPowerCommand(const std::string& command)
{
	return std::system(command.c_str());
}

// ---- the recording double ----

int RecordingPlatform::System(const std::string& command)
{
	int result = 0;
	{
		std::lock_guard<std::mutex> lock(mMutex);
		mCommands.push_back(command);
		result = mSystemResult;
	}
	mChanged.notify_all();
	return result;
}

std::FILE* RecordingPlatform::OpenReadPipe(const std::string& command)
{
	std::string output;
	{
		std::lock_guard<std::mutex> lock(mMutex);
		mPipeCommands.push_back(command);
		if (!bPipeAvailable)
			return nullptr;
		output = mPipeOutput;
	}
	// A temporary file owns its contents, so the caller can read it like a pipe.
	std::FILE* file = std::tmpfile();
	if (file == nullptr)
		return nullptr;
	if (!output.empty() && std::fwrite(output.data(), 1, output.size(), file) != output.size())
	{
		std::fclose(file);
		return nullptr;
	}
	std::rewind(file);
	return file;
}

int RecordingPlatform::ClosePipe(std::FILE* pipe)
{
	return pipe != nullptr ? std::fclose(pipe) : -1;
}

void RecordingPlatform::Sync()
{
	std::lock_guard<std::mutex> lock(mMutex);
	++mSyncs;
}

int RecordingPlatform::Reboot(int how)
{
	std::lock_guard<std::mutex> lock(mMutex);
	mReboots.push_back(how);
	return 0;
}

int RecordingPlatform::PowerCommand(const std::string& command)
{
	std::lock_guard<std::mutex> lock(mMutex);
	mPowerCommands.push_back(command);
	return 0;
}

int RecordingPlatform::SetScheduler(int policy, int priority)
{
	std::lock_guard<std::mutex> lock(mMutex);
	mSchedulerRequests.emplace_back(policy, priority);
	return 0;
}

void RecordingPlatform::SetSystemResult(int result)
{
	std::lock_guard<std::mutex> lock(mMutex);
	mSystemResult = result;
}

void RecordingPlatform::SetPipeOutput(const std::string& output)
{
	std::lock_guard<std::mutex> lock(mMutex);
	mPipeOutput = output;
}

void RecordingPlatform::SetPipeAvailable(bool available)
{
	std::lock_guard<std::mutex> lock(mMutex);
	bPipeAvailable = available;
}

std::vector<std::string> RecordingPlatform::Commands() const
{
	std::lock_guard<std::mutex> lock(mMutex);
	return mCommands;
}

std::vector<std::string> RecordingPlatform::PipeCommands() const
{
	std::lock_guard<std::mutex> lock(mMutex);
	return mPipeCommands;
}

std::vector<std::string> RecordingPlatform::PowerCommands() const
{
	std::lock_guard<std::mutex> lock(mMutex);
	return mPowerCommands;
}

std::vector<int> RecordingPlatform::Reboots() const
{
	std::lock_guard<std::mutex> lock(mMutex);
	return mReboots;
}

std::vector<std::pair<int, int>> RecordingPlatform::SchedulerRequests() const
{
	std::lock_guard<std::mutex> lock(mMutex);
	return mSchedulerRequests;
}

size_t RecordingPlatform::Syncs() const
{
	std::lock_guard<std::mutex> lock(mMutex);
	return mSyncs;
}

bool RecordingPlatform::WaitForCommands(size_t n, unsigned timeoutMs) const
{
	std::unique_lock<std::mutex> lock(mMutex);
	return mChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return mCommands.size() >= n; });
}
} // namespace rtfwk_sdl2
