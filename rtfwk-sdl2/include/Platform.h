#pragma once
// The one place where the framework reaches the machine: shell commands, command output pipes,
// sync, reboot, the power (shutdown/restart) command and the scheduling request.
//
// Production code calls Platform() and gets the real machine (SystemPlatform) unless another
// implementation is installed. Tests install a RecordingPlatform with ScopedPlatform, so that no
// test can start a power command, reboot or re-schedule the process. The real reboot and power
// paths also refuse on their own while DISABLE_REBOOT_ON_EXIT is set to anything but "" or "0"
// (tests run with 1). An installed implementation must outlive every call that may reach it,
// including background shell commands already queued.

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace rtfwk_sdl2
{
class IPlatform
{
public:
	virtual ~IPlatform() = default;

	// system(): the shell's status.
	virtual int System(const std::string& command) = 0;
	// popen(command, "r"); null when no pipe could be opened. Close it with ClosePipe.
	virtual std::FILE* OpenReadPipe(const std::string& command) = 0;
	virtual int ClosePipe(std::FILE* pipe) = 0;
	virtual void Sync() = 0;
	// reboot(how); -1 with errno set when refused or failed.
	virtual int Reboot(int how) = 0;
	// The configured shutdown or restart command, run through the shell; -1 when refused.
	virtual int PowerCommand(const std::string& command) = 0;
	// sched_setscheduler for the whole process: 0 on success, -1 with errno set.
	virtual int SetScheduler(int policy, int priority) = 0;
};

// The implementation in use: the installed one, else the real machine.
IPlatform& Platform();
// Installs p (null: back to the real machine) and returns the one installed before (null for
// the real machine).
IPlatform* SetPlatform(IPlatform* p);

// True when DISABLE_REBOOT_ON_EXIT is set to anything but "" or "0".
bool RebootDisabledByEnvironment();

// The real machine. The raw calls are virtual so that a test can prove the guards without
// ever reaching the kernel.
class SystemPlatform : public IPlatform
{
public:
	int System(const std::string& command) override;
	std::FILE* OpenReadPipe(const std::string& command) override;
	int ClosePipe(std::FILE* pipe) override;
	void Sync() override;
	int Reboot(int how) override;
	int PowerCommand(const std::string& command) override;
	int SetScheduler(int policy, int priority) override;

protected:
	virtual int RawReboot(int how);
	virtual int RawPowerCommand(const std::string& command);
};

// A double that records every request and touches nothing. Pipes serve PipeOutput.
class RecordingPlatform : public IPlatform
{
public:
	int System(const std::string& command) override;
	std::FILE* OpenReadPipe(const std::string& command) override;
	int ClosePipe(std::FILE* pipe) override;
	void Sync() override;
	int Reboot(int how) override;
	int PowerCommand(const std::string& command) override;
	int SetScheduler(int policy, int priority) override;

	void SetSystemResult(int result);
	void SetPipeOutput(const std::string& output);
	// false makes OpenReadPipe return null, as when popen fails.
	void SetPipeAvailable(bool available);

	std::vector<std::string> Commands() const;
	std::vector<std::string> PipeCommands() const;
	std::vector<std::string> PowerCommands() const;
	std::vector<int> Reboots() const;
	std::vector<std::pair<int, int>> SchedulerRequests() const;
	size_t Syncs() const;

	// Waits until at least n commands went through System(); false on timeout.
	bool WaitForCommands(size_t n, unsigned timeoutMs) const;

private:
	mutable std::mutex mMutex;
	mutable std::condition_variable mChanged;
	int mSystemResult = 0;
	std::string mPipeOutput;
	bool bPipeAvailable = true;
	std::vector<std::string> mCommands;
	std::vector<std::string> mPipeCommands;
	std::vector<std::string> mPowerCommands;
	std::vector<int> mReboots;
	std::vector<std::pair<int, int>> mSchedulerRequests;
	size_t mSyncs = 0;
};

// Installs an implementation for its scope and puts the previous one back.
class ScopedPlatform
{
public:
	explicit ScopedPlatform(IPlatform& p) : mPrevious(SetPlatform(&p)) {}
	ScopedPlatform(const ScopedPlatform&) = delete;
	ScopedPlatform& operator=(const ScopedPlatform&) = delete;
	~ScopedPlatform() { SetPlatform(mPrevious); }

private:
	IPlatform* mPrevious;
};
} // namespace rtfwk_sdl2
