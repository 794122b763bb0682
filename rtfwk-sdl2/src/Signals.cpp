#include "Signals.h"

#include "Platform.h"
#include "TApplication.h"

#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

extern char** environ;

namespace rtfwk_sdl2
{
namespace
{
constexpr int HandledSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGABRT, SIGFPE, SIGSEGV, SIGTERM};
constexpr size_t MaxCrashFrames = 16;

// Written by the handler, read by the signal thread after the wake-up byte.
std::atomic<int> gSignal{0};
std::atomic<bool> gShutdownInProgress{false};
void* gCrashFrames[MaxCrashFrames];
std::atomic<int> gCrashFrameCount{0};
int gWakePipe[2] = {-1, -1};
std::atomic<bool> gHaveSignalThread{false};
pthread_t gSignalThread;
std::once_flag gRegisterOnce;

static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free flag");

void SignalThreadMain()
{
	sigset_t blocked;
	sigemptyset(&blocked);
	for (int sig : HandledSignals)
		if (IsTerminationSignal(sig))
			sigaddset(&blocked, sig);
	pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

	char byte = 0;
	for (;;)
	{
		const ssize_t n = read(gWakePipe[0], &byte, 1);
		if (n == 1 && gSignal.load() != 0)
			break;
		if (n < 0 && errno != EINTR)
			return;
	}
	const int sig = gSignal.load();
	gShutdownInProgress = true;
	KEL_LOG(LogApp, logs::Critical, "Signal %d received. Exiting...", sig);
	int code = sig;
	if (pApp != nullptr)
		code = pApp->SignalHandler(sig);
	else
		Platform().Sync();
	ExitProcess(code);
}

bool IsPositionIndependent(const void* base)
{
	if (base == nullptr)
		return false;
	const auto* header = static_cast<const ElfW(Ehdr)*>(base);
	return header->e_type == ET_DYN;
}

std::string RunWithoutShell(const std::vector<std::string>& argv)
{
	int out[2];
	if (pipe2(out, O_CLOEXEC) != 0)
		return {};
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
	posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
	std::vector<char*> args;
	for (const std::string& a : argv)
		args.push_back(const_cast<char*>(a.c_str()));
	args.push_back(nullptr);
	pid_t child = -1;
	const int rc = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ);
	posix_spawn_file_actions_destroy(&actions);
	close(out[1]);
	std::string result;
	if (rc == 0)
	{
		char buffer[256];
		for (;;)
		{
			const ssize_t n = read(out[0], buffer, sizeof(buffer));
			if (n > 0)
				result.append(buffer, static_cast<size_t>(n));
			else if (n == 0 || errno != EINTR)
				break;
		}
		int status = 0;
		while (waitpid(child, &status, 0) < 0 && errno == EINTR)
		{
		}
	}
	close(out[0]);
	while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
		result.pop_back();
	return result;
}
} // namespace

bool IsTerminationSignal(int SigValue)
{
	return SigValue == SIGTERM || SigValue == SIGQUIT || SigValue == SIGINT || SigValue == SIGHUP;
}

void QuitSignalHandler(int SigValue)
{
	const int savedErrno = errno;
	const bool crash = !IsTerminationSignal(SigValue);
	if (crash && gHaveSignalThread.load() && pthread_equal(pthread_self(), gSignalThread))
	{
		// The thread that would report the crash is the one that crashed.
		static const char message[] = "Crash on the signal thread; exiting\n";
		ssize_t ignored = write(STDERR_FILENO, message, sizeof(message) - 1);
		(void)ignored;
		_exit(SigValue);
	}
	int expected = 0;
	if (gSignal.compare_exchange_strong(expected, SigValue))
	{
		if (crash)
			gCrashFrameCount = backtrace(gCrashFrames, static_cast<int>(MaxCrashFrames));
		const char byte = 1;
		ssize_t ignored = write(gWakePipe[1], &byte, 1);
		(void)ignored;
	}
	if (crash)
	{
		// Returning would re-run the faulting instruction; the signal thread ends the process.
		for (;;)
			pause();
	}
	errno = savedErrno;
}

void RegisterSignalHandlers()
{
	std::call_once(gRegisterOnce,
	               []
	               {
		               // Loads the unwinder now, so that the handler's backtrace() need not.
		               void* warmUp[2];
		               backtrace(warmUp, 2);
		               if (pipe2(gWakePipe, O_CLOEXEC) != 0)
			               return;
		               std::thread signalThread(SignalThreadMain);
		               gSignalThread = signalThread.native_handle();
		               gHaveSignalThread = true;
		               signalThread.detach();
		               for (int sig : HandledSignals)
		               {
			               struct sigaction action = {};
			               action.sa_handler = QuitSignalHandler;
			               sigemptyset(&action.sa_mask);
			               action.sa_flags = 0;
			               sigaction(sig, &action, nullptr);
		               }
	               });
}

int ReceivedSignal()
{
	return gSignal.load();
}

bool SignalShutdownInProgress()
{
	return gShutdownInProgress.load();
}

size_t CapturedCrashFrames(void** out, size_t max)
{
	const size_t count = static_cast<size_t>(std::max(0, gCrashFrameCount.load()));
	const size_t n = count < max ? count : max;
	for (size_t i = 0; i < n; ++i)
		out[i] = gCrashFrames[i];
	return n;
}

void ExitProcess(int code)
{
	std::fflush(stdout);
	std::fflush(stderr);
	_exit(code);
}

void WaitForSignalExit()
{
	// The signal thread ends the process; this only bounds the wait if it cannot.
	const auto deadline =
	    std::chrono::steady_clock::now() + TApplication::SignalShutdownTimeout + std::chrono::seconds(5);
	while (std::chrono::steady_clock::now() < deadline)
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

namespace signals_detail
{
std::string ModuleOfSymbolLine(const std::string& line)
{
	const size_t end = line.find_first_of("([");
	return end == std::string::npos ? line : line.substr(0, end);
}

std::string Symbolise(void* address, const std::string& fallbackModule)
{
	std::string module = fallbackModule;
	uintptr_t relative = reinterpret_cast<uintptr_t>(address);
	Dl_info info{};
	if (dladdr(address, &info) != 0)
	{
		if (info.dli_fname != nullptr && info.dli_fname[0] != '\0' && access(info.dli_fname, R_OK) == 0)
			module = info.dli_fname;
		// Position-independent modules load anywhere: addr2line wants the offset in the file.
		if (IsPositionIndependent(info.dli_fbase))
			relative -= reinterpret_cast<uintptr_t>(info.dli_fbase);
	}
	if (module.empty() || access(module.c_str(), R_OK) != 0)
		module = pApp != nullptr ? pApp->GetBinaryPath() : std::string();
	if (module.empty())
		return {};
	// A return address points past the call; one byte back stays inside the calling line.
	if (relative > 0)
		--relative;
	char hex[32];
	std::snprintf(hex, sizeof(hex), "0x%" PRIxPTR, relative);
	return RunWithoutShell({"addr2line", hex, "-e", module, "-f", "-C", "-s", "-p", "-r"});
}
} // namespace signals_detail

void TApplication::WriteCrashBacktrace(int)
{
	void* frames[MaxCrashFrames];
	size_t count = CapturedCrashFrames(frames, MaxCrashFrames);
	if (count == 0)
		count = static_cast<size_t>(backtrace(frames, static_cast<int>(MaxCrashFrames)));
	char** symbols = backtrace_symbols(frames, static_cast<int>(count));
	Platform().Sync();
	if (count < 2 || symbols == nullptr)
		KEL_LOG(LogApp, logs::Critical, "================ EMPTY BACKTRACE ================");
	else
	{
		std::vector<std::pair<std::string, std::string>> lines;
		for (size_t i = 1; i < count; ++i)
		{
			const std::string line = symbols[i];
			lines.emplace_back(line, signals_detail::Symbolise(frames[i], signals_detail::ModuleOfSymbolLine(line)));
		}
		KEL_LOG(LogApp, logs::Critical, "================== BACKTRACE ==================");
		int number = 1;
		for (const auto& pair : lines)
		{
			KEL_LOG(LogApp, logs::Critical, "(%d) %s", number, pair.first.c_str());
			KEL_LOG(LogApp, logs::Critical, "(%d) \t\t%s", number, pair.second.c_str());
			++number;
		}
		KEL_LOG(LogApp, logs::Critical, "================ BACKTRACE END ================");
	}
	std::free(symbols);
}

int TApplication::SignalHandler(int SigValue)
{
	if (status() >= APP_TERMINATE)
		return SigValue;
	if (IsTerminationSignal(SigValue))
	{
		// The main thread's own loop runs the shutdown pass and Destroy; this thread waits.
		terminate(DEFAULT, true);
		std::unique_lock<std::mutex> lock(mAppStatus.native());
		mAppStatusChanged.wait_for(lock, SignalShutdownTimeout, [this] { return bDestroyed.load(); });
		return SigValue;
	}
	WriteCrashBacktrace(SigValue);
	if (mRebootOnExit)
		KEL_LOG(LogApp, logs::Critical, "================ WILL REBOOT ON EXIT!!!!! ================");
	Platform().Sync();
	terminate(DEFAULT, false);
	OnExitMainLoop();
	if (mRebootOnExit)
		Platform().Reboot(RB_AUTOBOOT);
	return SigValue;
}
} // namespace rtfwk_sdl2
