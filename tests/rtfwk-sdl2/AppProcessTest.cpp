// Runs the demo application as a child process and checks what it logs and how it exits.
// Every child runs with DISABLE_REBOOT_ON_EXIT=1 and a recording platform; every wait is
// bounded, and only the child started here is ever signalled, by its PID.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#ifndef RTFWK_DEMO_APP_PATH
#error "RTFWK_DEMO_APP_PATH must name the demo application"
#endif

namespace
{
using Clock = std::chrono::steady_clock;

class Child
{
public:
	Child(const std::vector<std::string>& env, const std::vector<std::string>& args = {})
	{
		int out[2];
		if (pipe2(out, O_CLOEXEC) != 0)
			return;
		std::vector<std::string> envStrings = env;
		envStrings.push_back("DISABLE_REBOOT_ON_EXIT=1");
		envStrings.push_back("LOG_FILENAME=" + LogDir() + "/demo.log");
		if (const char* path = std::getenv("PATH"))
			envStrings.push_back(std::string("PATH=") + path);
		std::vector<std::string> argStrings{RTFWK_DEMO_APP_PATH};
		argStrings.insert(argStrings.end(), args.begin(), args.end());
		std::vector<char*> envp, argv;
		for (auto& e : envStrings)
			envp.push_back(e.data());
		envp.push_back(nullptr);
		for (auto& a : argStrings)
			argv.push_back(a.data());
		argv.push_back(nullptr);
		mPid = fork();
		if (mPid == 0)
		{
			dup2(out[1], STDOUT_FILENO);
			dup2(out[1], STDERR_FILENO);
			execve(argv[0], argv.data(), envp.data());
			_exit(127);
		}
		close(out[1]);
		mOut = out[0];
	}
	~Child()
	{
		if (mPid > 0 && !mReaped)
		{
			kill(mPid, SIGKILL);
			int status = 0;
			waitpid(mPid, &status, 0);
		}
		if (mOut >= 0)
			close(mOut);
	}

	static std::string LogDir()
	{
		static const std::string dir = []
		{
			std::string templ = (std::filesystem::temp_directory_path() / "rtfwk-app-XXXXXX").string();
			const char* made = mkdtemp(templ.data());
			return std::string(made != nullptr ? made : "/tmp");
		}();
		return dir;
	}

	pid_t Pid() const { return mPid; }
	const std::string& Output() const { return mOutput; }

	// Reads output until text appears or the time runs out.
	bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout)
	{
		const auto deadline = Clock::now() + timeout;
		while (mOutput.find(text) == std::string::npos)
		{
			const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
			if (left <= 0 || !ReadSome(static_cast<int>(left)))
				return mOutput.find(text) != std::string::npos;
		}
		return true;
	}

	// Reads all output and reaps the child; false (and the child killed) on timeout.
	bool WaitForExit(std::chrono::milliseconds timeout, int& status)
	{
		const auto deadline = Clock::now() + timeout;
		for (;;)
		{
			const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
			if (left <= 0)
				return false;
			if (!ReadSome(static_cast<int>(std::min<long long>(left, 100))) && mEof)
				break;
		}
		while (Clock::now() < deadline)
		{
			const pid_t r = waitpid(mPid, &status, WNOHANG);
			if (r == mPid)
			{
				mReaped = true;
				return true;
			}
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
		}
		return false;
	}

private:
	// False at end of file or when nothing came within timeoutMs.
	bool ReadSome(int timeoutMs)
	{
		if (mEof)
			return false;
		pollfd p{mOut, POLLIN, 0};
		if (poll(&p, 1, timeoutMs) <= 0)
			return false;
		char buffer[4096];
		const ssize_t n = read(mOut, buffer, sizeof(buffer));
		if (n <= 0)
		{
			mEof = true;
			return false;
		}
		mOutput.append(buffer, static_cast<size_t>(n));
		return true;
	}

	pid_t mPid = -1;
	int mOut = -1;
	bool mEof = false;
	bool mReaped = false;
	std::string mOutput;
};

constexpr std::chrono::milliseconds Timeout{30000};

bool UnderSanitizer()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
	return true;
#else
	return false;
#endif
}
} // namespace

TEST(AppProcess, CleanRunExitsSuccessfully)
{
	Child child({"DEMO_RUN_MS=100"});
	int status = 0;
	ASSERT_TRUE(child.WaitForExit(Timeout, status)) << child.Output();
	ASSERT_TRUE(WIFEXITED(status)) << child.Output();
	EXPECT_EQ(WEXITSTATUS(status), 0) << child.Output();
	EXPECT_NE(child.Output().find("========== APP EXITED SUCCESSFULLY =========="), std::string::npos)
	    << child.Output();
	EXPECT_NE(child.Output().find("App state changed to 7"), std::string::npos) << child.Output();
	EXPECT_NE(child.Output().find("App state changed to 8"), std::string::npos) << child.Output();
	// Reboot-on-exit is off: no power command, and the scheduling request went to the recorder.
	EXPECT_EQ(child.Output().find("PowerCommand"), std::string::npos) << child.Output();
	EXPECT_NE(child.Output().find("DEMO PLATFORM SetScheduler(2, 8)"), std::string::npos) << child.Output();
}

TEST(AppProcess, SigtermShutsDownWithSignalNumber)
{
	Child child({"DEMO_RUN_MS=0"});
	ASSERT_TRUE(child.WaitForOutput("App state changed to 6", Timeout)) << child.Output();
	ASSERT_EQ(kill(child.Pid(), SIGTERM), 0);
	int status = 0;
	ASSERT_TRUE(child.WaitForExit(Timeout, status)) << child.Output();
	ASSERT_TRUE(WIFEXITED(status)) << child.Output();
	EXPECT_EQ(WEXITSTATUS(status), 15) << child.Output();
	EXPECT_NE(child.Output().find("Signal 15 received. Exiting..."), std::string::npos) << child.Output();
	EXPECT_NE(child.Output().find("App state changed to 7"), std::string::npos) << child.Output();
	EXPECT_NE(child.Output().find("Successfully destroyed all modules."), std::string::npos) << child.Output();
	EXPECT_EQ(child.Output().find("APP EXITED"), std::string::npos) << child.Output();
	EXPECT_EQ(child.Output().find("PowerCommand"), std::string::npos) << child.Output();
}

TEST(AppProcess, SigintAndSighupAlsoShutDown)
{
	for (int sig : {SIGINT, SIGHUP})
	{
		Child child({"DEMO_RUN_MS=0", "DEMO_REBOOT_ON_EXIT=1"});
		ASSERT_TRUE(child.WaitForOutput("App state changed to 6", Timeout)) << child.Output();
		ASSERT_EQ(kill(child.Pid(), sig), 0);
		int status = 0;
		ASSERT_TRUE(child.WaitForExit(Timeout, status)) << child.Output();
		ASSERT_TRUE(WIFEXITED(status)) << child.Output();
		EXPECT_EQ(WEXITSTATUS(status), sig) << child.Output();
		EXPECT_NE(child.Output().find("Signal " + std::to_string(sig) + " received. Exiting..."), std::string::npos)
		    << child.Output();
		// The signal path never runs the power command, even with reboot-on-exit on.
		EXPECT_EQ(child.Output().find("PowerCommand"), std::string::npos) << child.Output();
	}
}

TEST(AppProcess, FailingInitExitsMinusTwo)
{
	Child child({"DEMO_FAIL_INIT=1"});
	int status = 0;
	ASSERT_TRUE(child.WaitForExit(Timeout, status)) << child.Output();
	ASSERT_TRUE(WIFEXITED(status)) << child.Output();
	EXPECT_EQ(WEXITSTATUS(status), 254) << child.Output();
	EXPECT_NE(child.Output().find("========== APP EXITED WITH FAILURE (-2) =========="), std::string::npos)
	    << child.Output();
	EXPECT_EQ(child.Output().find("App state changed to 6"), std::string::npos) << child.Output();
}

TEST(AppProcess, RunOnceResultBecomesExitStatus)
{
	Child child({"DEMO_RUNONCE_RESULT=3"});
	int status = 0;
	ASSERT_TRUE(child.WaitForExit(Timeout, status)) << child.Output();
	ASSERT_TRUE(WIFEXITED(status)) << child.Output();
	EXPECT_EQ(WEXITSTATUS(status), 3) << child.Output();
	EXPECT_NE(child.Output().find("========== APP EXITED WITH FAILURE (3) =========="), std::string::npos)
	    << child.Output();
}

TEST(AppProcess, RebootOnExitReachesOnlyTheRecorder)
{
	Child child({"DEMO_RUN_MS=50", "DEMO_REBOOT_ON_EXIT=1"});
	int status = 0;
	ASSERT_TRUE(child.WaitForExit(Timeout, status)) << child.Output();
	ASSERT_TRUE(WIFEXITED(status)) << child.Output();
	EXPECT_EQ(WEXITSTATUS(status), 0) << child.Output();
	EXPECT_NE(child.Output().find("DEMO PLATFORM PowerCommand(/sbin/init 6)"), std::string::npos) << child.Output();
}

TEST(AppProcess, CrashSignalWritesBacktraceAndExitsWithSignalNumber)
{
	for (int sig : {SIGSEGV, SIGABRT, SIGFPE})
	{
		std::vector<std::string> env{"DEMO_RUN_MS=0", "DEMO_CRASH_SIGNAL=" + std::to_string(sig),
		                             "DEMO_REBOOT_ON_EXIT=1",
		                             "ASAN_OPTIONS=handle_segv=0:handle_abort=0:handle_sigfpe=0:detect_leaks=0",
		                             "TSAN_OPTIONS=handle_segv=0:handle_sigfpe=0:report_signal_unsafe=0"};
		Child child(env);
		int status = 0;
		ASSERT_TRUE(child.WaitForExit(Timeout, status)) << child.Output();
		const std::string& out = child.Output();
		ASSERT_TRUE(WIFEXITED(status)) << out;
		EXPECT_EQ(WEXITSTATUS(status), sig) << out;
		EXPECT_NE(out.find("Signal " + std::to_string(sig) + " received. Exiting..."), std::string::npos) << out;
		EXPECT_NE(out.find("================== BACKTRACE =================="), std::string::npos) << out;
		EXPECT_NE(out.find("================ BACKTRACE END ================"), std::string::npos) << out;
		EXPECT_NE(out.find("================ WILL REBOOT ON EXIT!!!!! ================"), std::string::npos) << out;
		// The reboot request reached the recording platform only; no power command ran.
		EXPECT_NE(out.find("DEMO PLATFORM Reboot("), std::string::npos) << out;
		EXPECT_EQ(out.find("PowerCommand"), std::string::npos) << out;
		// addr2line got module-relative addresses: the demo's own function is named.
		EXPECT_NE(out.find("DemoApp::RunOnce"), std::string::npos) << out;
	}
}

TEST(AppProcess, CpuFps100GivesAbout100IterationsPerSecond)
{
	if (UnderSanitizer())
		GTEST_SKIP() << "loop rate is not measured under sanitizers";
	Child child({"DEMO_RUN_MS=1000", "CPU_FPS=100"});
	int status = 0;
	ASSERT_TRUE(child.WaitForExit(Timeout, status)) << child.Output();
	std::smatch m;
	const std::string out = child.Output();
	ASSERT_TRUE(std::regex_search(out, m, std::regex("DEMO ITERATIONS (\\d+) IN (\\d+) MS"))) << out;
	const double iterations = std::stod(m[1]);
	const double ms = std::stod(m[2]);
	ASSERT_GT(ms, 0);
	const double perSecond = iterations * 1000.0 / ms;
	EXPECT_GT(perSecond, 50) << out;
	EXPECT_LT(perSecond, 130) << out;
}

TEST(AppProcess, InvalidCpuFpsFallsBackWithWarning)
{
	Child child({"DEMO_RUN_MS=50", "CPU_FPS=0"});
	int status = 0;
	ASSERT_TRUE(child.WaitForExit(Timeout, status)) << child.Output();
	ASSERT_TRUE(WIFEXITED(status)) << child.Output();
	EXPECT_EQ(WEXITSTATUS(status), 0) << child.Output();
	EXPECT_NE(child.Output().find("Invalid CPU_FPS '0'; using 1000 iterations per second"), std::string::npos)
	    << child.Output();
}

TEST(AppProcess, ProfilingReportsAtItsInterval)
{
	Child child({"DEMO_RUN_MS=700", "CPU_FPS=200"}, {"profiling=200"});
	int status = 0;
	ASSERT_TRUE(child.WaitForExit(Timeout, status)) << child.Output();
	const std::string& out = child.Output();
	size_t reports = 0;
	for (size_t at = out.find("======================= PROFILING ======================="); at != std::string::npos;
	     at = out.find("======================= PROFILING =======================", at + 1))
		++reports;
	EXPECT_GE(reports, 2u) << out;
	EXPECT_LE(reports, 5u) << out;
	EXPECT_NE(out.find("Main loop runnning at "), std::string::npos) << out;
	EXPECT_NE(out.find("Frame type 1: total "), std::string::npos) << out;
}
