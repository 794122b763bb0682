// In-process tests of the application core: construction from the environment, the state
// machine, frame times, deferred calls, the main loop's end conditions and the power requests
// (seen only by a recording platform).

#include "TApplication.h"
#include "Platform.h"
#include "QuietLogTest.h"
#include "Signals.h"

#include <sys/reboot.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace rtfwk_sdl2;
using namespace std::chrono_literals;

namespace
{
// Sets (or unsets, with nullopt) an environment variable for its scope.
class ScopedEnv
{
public:
	ScopedEnv(const char* name, std::optional<std::string> value) : mName(name)
	{
		if (const char* old = std::getenv(name))
			mOld = old;
		if (value)
			setenv(name, value->c_str(), 1);
		else
			unsetenv(name);
	}
	~ScopedEnv()
	{
		if (mOld)
			setenv(mName, mOld->c_str(), 1);
		else
			unsetenv(mName);
	}

private:
	const char* mName;
	std::optional<std::string> mOld;
};

class TestApp : public TApplication
{
public:
	TestApp() : TApplication("TEST APP") {}
	void OnAppStateChanged(EApplicationState s) override
	{
		Changes.push_back(s);
		TApplication::OnAppStateChanged(s);
	}
	int RunOnce() override
	{
		++RunOnceCalls;
		return OnRunOnce ? OnRunOnce(*this) : 0;
	}
	void PreRunOnce() override { ++Iterations; }
	using TApplication::MainLoop;
	using TApplication::SleepMicros;

	std::vector<EApplicationState> Changes;
	std::function<int(TestApp&)> OnRunOnce;
	std::atomic<int> RunOnceCalls{0};
	std::atomic<int> Iterations{0};
};

class TApplicationTest : public QuietLogTest
{
protected:
	void SetUp() override
	{
		QuietLogTest::SetUp();
		mScoped.emplace(mPlatform);
	}
	void TearDown() override
	{
		mScoped.reset();
		QuietLogTest::TearDown();
	}
	bool Logged(const std::string& text)
	{
		for (const auto& line : LinesOf("app"))
			if (line.Message == text)
				return true;
		return false;
	}

	RecordingPlatform mPlatform;
	std::optional<ScopedPlatform> mScoped;
};
} // namespace

TEST(TApplicationParse, CpuFpsTable)
{
	struct Case
	{
		const char* text;
		unsigned expected;
		bool ok;
	};
	const Case cases[] = {{nullptr, 1000, false},
	                      {"", 1000, false},
	                      {"0", 1000, false},
	                      {"-5", 1000, false},
	                      {"abc", 1000, false},
	                      {"100abc", 1000, false},
	                      {"1.5", 1000, false},
	                      {"100", 100, true},
	                      {" 250 ", 250, true},
	                      {"1", 1, true},
	                      {"100000", 100000, true},
	                      {"100001", 1000, false},
	                      {"99999999999999999999", 1000, false}};
	for (const Case& c : cases)
	{
		bool ok = !c.ok;
		EXPECT_EQ(TApplication::ParseTargetFrequency(c.text, ok), c.expected) << (c.text ? c.text : "(null)");
		EXPECT_EQ(ok, c.ok) << (c.text ? c.text : "(null)");
	}
}

TEST_F(TApplicationTest, CpuFpsFromEnvironment)
{
	{
		ScopedEnv env("CPU_FPS", std::nullopt);
		TestApp app;
		EXPECT_EQ(app.GetTargetFrequency(), 1000u);
	}
	{
		ScopedEnv env("CPU_FPS", std::string("100"));
		TestApp app;
		EXPECT_EQ(app.GetTargetFrequency(), 100u);
	}
	{
		ScopedEnv env("CPU_FPS", std::string("-3"));
		TestApp app;
		EXPECT_EQ(app.GetTargetFrequency(), 1000u);
		EXPECT_TRUE(Logged("Invalid CPU_FPS '-3'; using 1000 iterations per second"));
	}
}

TEST_F(TApplicationTest, RebootOnExitOnlyWhenAskedFor)
{
	struct Case
	{
		std::optional<std::string> value;
		bool reboot;
	};
	const Case cases[] = {{std::nullopt, false},
	                      {std::string(""), true},
	                      {std::string("0"), true},
	                      {std::string("1"), false},
	                      {std::string("yes"), false}};
	for (const Case& c : cases)
	{
		logs::Logger::SetCachedHistorySize(0);
		logs::Logger::SetCachedHistorySize(1000);
		ScopedEnv env("DISABLE_REBOOT_ON_EXIT", c.value);
		{
			TestApp app;
			EXPECT_EQ(app.RebootOnExit(), c.reboot) << c.value.value_or("(unset)");
			EXPECT_EQ(Logged("Will reboot system after close!"), c.reboot) << c.value.value_or("(unset)");
			app.SetRebootOnExit(false);
		}
	}
	EXPECT_TRUE(mPlatform.PowerCommands().empty());
}

TEST_F(TApplicationTest, DestructorRunsRestartCommandOnlyWithRebootOnExit)
{
	{
		TestApp app;
		app.SetParam("SHELL_CMD_RESTART", std::string("restart-cmd"));
		app.SetParam("SHELL_CMD_SHUTDOWN", std::string("shutdown-cmd"));
		app.terminate(SHUTDOWN, true);
	}
	EXPECT_TRUE(mPlatform.PowerCommands().empty());
	{
		TestApp app;
		app.SetRebootOnExit(true);
		app.SetParam("SHELL_CMD_RESTART", std::string("restart-cmd"));
	}
	EXPECT_EQ(mPlatform.PowerCommands(), std::vector<std::string>{"restart-cmd"});
	{
		TestApp app;
		app.SetRebootOnExit(true);
		app.SetParam("SHELL_CMD_SHUTDOWN", std::string("shutdown-cmd"));
		app.terminate(SHUTDOWN, true);
	}
	EXPECT_EQ(mPlatform.PowerCommands(), (std::vector<std::string>{"restart-cmd", "shutdown-cmd"}));
	EXPECT_TRUE(mPlatform.Commands().empty());
	EXPECT_TRUE(mPlatform.Reboots().empty());
}

TEST_F(TApplicationTest, StateMovesOnlyForward)
{
	TestApp app;
	EXPECT_EQ(app.status(), TApplication::APP_INITIALIZING);
	app.setStatus(TApplication::APP_STARTUP);
	app.advanceStatus();
	EXPECT_EQ(app.status(), TApplication::APP_RUNNING);
	EXPECT_FALSE(app.shuttingDown());
	app.terminate(SHUTDOWN, true);
	EXPECT_EQ(app.status(), TApplication::APP_SHUTTING_DOWN);
	EXPECT_EQ(app.GetTerminationType(), SHUTDOWN);
	EXPECT_TRUE(app.shuttingDown());
	app.setStatus(TApplication::APP_RUNNING);
	EXPECT_EQ(app.status(), TApplication::APP_SHUTTING_DOWN);
	app.advanceStatus();
	EXPECT_EQ(app.status(), TApplication::APP_TERMINATE);
	EXPECT_TRUE(app.shouldTerminate());
	app.advanceStatus();
	EXPECT_EQ(app.status(), TApplication::APP_TERMINATE);
	app.setStatus(TApplication::APP_QUIT);
	app.advanceStatus();
	EXPECT_EQ(app.status(), TApplication::APP_QUIT);
	EXPECT_TRUE(app.shouldTerminate());
	const std::vector<TApplication::EApplicationState> expected{TApplication::APP_STARTUP, TApplication::APP_RUNNING,
	                                                            TApplication::APP_SHUTTING_DOWN,
	                                                            TApplication::APP_TERMINATE, TApplication::APP_QUIT};
	EXPECT_EQ(app.Changes, expected);
	EXPECT_TRUE(Logged("App state changed to 6"));
}

TEST_F(TApplicationTest, WaitForStatusFromAnotherThread)
{
	TestApp app;
	EXPECT_FALSE(app.waitForStatus(TApplication::APP_RUNNING, 10ms));
	std::thread t([&] { app.setStatus(TApplication::APP_QUIT); });
	EXPECT_TRUE(app.waitForStatus(TApplication::APP_TERMINATE, 10s));
	t.join();
}

TEST_F(TApplicationTest, LanguageValidation)
{
	TestApp app;
	EXPECT_THROW(app.SetLanguage(None), std::runtime_error);
	app.SetLanguage(German);
	EXPECT_EQ(app.Language(), German);
}

TEST_F(TApplicationTest, FrameTimes)
{
	TestApp app;
	app.PushNewFrame(LOGIC, 2.5f);
	app.PushNewFrame(LOGIC, 1.5f);
	const auto logic = app.FrameDurationSnapshot(LOGIC);
	EXPECT_FLOAT_EQ(logic.Total, 4.0f);
	EXPECT_FLOAT_EQ(logic.Max, 2.5f);
	EXPECT_EQ(logic.NumFramesElapsed, 2u);
	EXPECT_FLOAT_EQ(logic.Last, 1.5f);
	app.PushNewFrame(ACTION, 1.0f);
	EXPECT_FLOAT_EQ(app.TotalFrameDuration(static_cast<EFrameType>(LOGIC | ACTION)), 5.0f);
	EXPECT_FLOAT_EQ(app.FrameDurationSnapshot(static_cast<EFrameType>(LOGIC | ACTION)).Total, 1.0f);
	EXPECT_FLOAT_EQ(app.MaxFrameDuration(ALL), 3.5f);
	EXPECT_FLOAT_EQ(app.AvgFrameDuration(ALL), 3.0f);
	app.ResetFrameTimes();
	EXPECT_FLOAT_EQ(app.AvgFrameDuration(ALL), 0.0f);
	EXPECT_EQ(FrameRecordIndex(ALL), 9u);
	EXPECT_EQ(FrameRecordIndex(0), 0u);
	EXPECT_EQ(FrameRecordIndex(DB_TRANSACTIONS), 8u);
}

TEST_F(TApplicationTest, DeferOnMainThreadRunsAtOnce)
{
	TestApp app;
	int calls = 0;
	app.Defer([&] { ++calls; }, false, false);
	EXPECT_EQ(calls, 1);
	app.Defer([&] { ++calls; }, true, false);
	EXPECT_EQ(calls, 1);
	app.ExecuteDeferredMethods();
	EXPECT_EQ(calls, 2);
}

TEST_F(TApplicationTest, DeferFromAnotherThreadWaitsForTheMainThread)
{
	TestApp app;
	std::atomic<bool> ran{false};
	std::atomic<bool> returned{false};
	std::thread worker(
	    [&]
	    {
		    app.Defer(
		        [&]
		        {
			        ran = true;
			        throw std::runtime_error("deferred failure");
		        },
		        false, true);
		    returned = true;
	    });
	// The call runs only when the main thread executes the queue; the throw still releases the caller.
	const auto deadline = std::chrono::steady_clock::now() + 10s;
	while (!returned && std::chrono::steady_clock::now() < deadline)
	{
		app.ExecuteDeferredMethods();
		std::this_thread::sleep_for(1ms);
	}
	worker.join();
	EXPECT_TRUE(ran);
	EXPECT_TRUE(returned);
}

TEST_F(TApplicationTest, DeferredCallsQueuedDuringThePassRunInOrder)
{
	TestApp app;
	std::vector<int> order;
	app.Defer(
	    [&]
	    {
		    order.push_back(1);
		    app.Defer([&] { order.push_back(3); }, false, false);
		    order.push_back(2);
	    },
	    true, false);
	app.ExecuteDeferredMethods();
	EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(TApplicationTest, MainLoopEndsAtTerminateOrBeyond)
{
	for (auto target : {TApplication::APP_TERMINATE, TApplication::APP_QUIT})
	{
		TestApp app;
		app.setStatus(TApplication::APP_RUNNING);
		app.SetLogicInterval(0);
		app.OnRunOnce = [target](TestApp& a)
		{
			if (a.RunOnceCalls == 3)
				a.setStatus(target);
			return 0;
		};
		EXPECT_EQ(app.MainLoop(), 0);
		EXPECT_EQ(app.RunOnceCalls, 3);
	}
}

TEST_F(TApplicationTest, GracefulTerminationEndsTheLoopInTheNextIteration)
{
	TestApp app;
	app.setStatus(TApplication::APP_RUNNING);
	app.SetLogicInterval(0);
	app.OnRunOnce = [](TestApp& a)
	{
		if (a.RunOnceCalls == 2)
			a.terminate(DEFAULT, true);
		return 0;
	};
	EXPECT_EQ(app.MainLoop(), 0);
	EXPECT_EQ(app.status(), TApplication::APP_TERMINATE);
	EXPECT_EQ(app.RunOnceCalls, 3);
}

TEST_F(TApplicationTest, RunOnceResultEndsTheLoop)
{
	TestApp app;
	app.setStatus(TApplication::APP_RUNNING);
	app.SetLogicInterval(0);
	app.OnRunOnce = [](TestApp&) { return 3; };
	EXPECT_EQ(app.MainLoop(), 3);
}

TEST_F(TApplicationTest, RunGoesThroughTheWholeLifeWithTheRecordingPlatform)
{
	TestApp app;
	app.setStatus(TApplication::APP_STARTUP);
	app.OnRunOnce = [](TestApp& a)
	{
		if (a.RunOnceCalls == 5)
			a.terminate(DEFAULT, true);
		return 0;
	};
	EXPECT_EQ(app.Run(), 0);
	EXPECT_EQ(app.status(), TApplication::APP_QUIT);
	EXPECT_TRUE(app.Destroyed());
	ASSERT_EQ(mPlatform.SchedulerRequests().size(), 1u);
	EXPECT_EQ(mPlatform.SchedulerRequests()[0], std::make_pair(SCHED_RR, 8));
}

TEST_F(TApplicationTest, SdlQuitEventNeverAsksForPowerOff)
{
	SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
	ASSERT_EQ(SDL_Init(SDL_INIT_EVENTS), 0) << SDL_GetError();
	{
		TestApp app;
		app.SetRebootOnExit(false);
		app.setStatus(TApplication::APP_RUNNING);
		SDL_Event e{};
		e.type = SDL_QUIT;
		ASSERT_EQ(SDL_PushEvent(&e), 1);
		EXPECT_FALSE(app.ProcessNextEvent());
		EXPECT_EQ(app.status(), TApplication::APP_SHUTTING_DOWN);
		EXPECT_EQ(app.GetTerminationType(), DEFAULT);
		app.SetParam("SHELL_CMD_SHUTDOWN", std::string("shutdown-cmd"));
	}
	SDL_Quit();
	EXPECT_TRUE(mPlatform.PowerCommands().empty());
}

TEST_F(TApplicationTest, CrashSignalWritesBacktraceAndReachesOnlyTheRecorder)
{
	TestApp app;
	app.SetRebootOnExit(true);
	app.setStatus(TApplication::APP_RUNNING);
	EXPECT_EQ(app.SignalHandler(SIGSEGV), SIGSEGV);
	EXPECT_EQ(app.status(), TApplication::APP_QUIT);
	EXPECT_TRUE(app.Destroyed());
	EXPECT_TRUE(Logged("================== BACKTRACE =================="));
	EXPECT_TRUE(Logged("================ BACKTRACE END ================"));
	EXPECT_TRUE(Logged("================ WILL REBOOT ON EXIT!!!!! ================"));
	EXPECT_EQ(mPlatform.Reboots(), std::vector<int>{RB_AUTOBOOT});
	EXPECT_GE(mPlatform.Syncs(), 1u);
	// addr2line runs without a shell: nothing went through the platform's pipes.
	EXPECT_TRUE(mPlatform.PipeCommands().empty());
	app.SetRebootOnExit(false);
}

TEST_F(TApplicationTest, SignalAfterTerminateDoesNothingMore)
{
	TestApp app;
	app.SetRebootOnExit(true);
	app.terminate(DEFAULT, false);
	EXPECT_EQ(app.SignalHandler(SIGTERM), SIGTERM);
	EXPECT_EQ(app.SignalHandler(SIGSEGV), SIGSEGV);
	EXPECT_TRUE(mPlatform.Reboots().empty());
	app.SetRebootOnExit(false);
}

TEST(TApplicationSignals, ModuleOfSymbolLine)
{
	EXPECT_EQ(signals_detail::ModuleOfSymbolLine("/usr/bin/app(main+0x1e) [0x55]"), "/usr/bin/app");
	EXPECT_EQ(signals_detail::ModuleOfSymbolLine("/lib/libc.so.6 [0x7f]"), "/lib/libc.so.6 ");
	EXPECT_EQ(signals_detail::ModuleOfSymbolLine("no brackets"), "no brackets");
}

TEST_F(TApplicationTest, SystemCmdResultGoesThroughThePlatform)
{
	mPlatform.SetPipeOutput("line one\nline two\n");
	EXPECT_EQ(SystemCmdResult("echo hi"), "line one\nline two\n");
	EXPECT_EQ(mPlatform.PipeCommands(), std::vector<std::string>{"echo hi"});
	mPlatform.SetPipeAvailable(false);
	EXPECT_THROW(SystemCmdResult("echo hi"), std::runtime_error);
}

TEST_F(TApplicationTest, RandomCycleThreadStopsWithTheApplication)
{
	TestApp app;
	app.SetParam("RANDOM_CYCLE", std::string("20"));
	app.Startup();
	std::this_thread::sleep_for(20ms);
	const auto start = std::chrono::steady_clock::now();
	app.terminate(DEFAULT, false);
	app.Destroy();
	// The thread wakes on the state change instead of finishing its (at least 100 ms) cycle.
	EXPECT_LT(std::chrono::steady_clock::now() - start, 90ms);
	EXPECT_TRUE(app.Destroyed());
}

TEST(TApplicationSleep, SleepsOfASecondOrMoreAreSplit)
{
	// One nanosleep call with 1.05 s in its nanosecond field would fail at once (EINVAL).
	const auto start = std::chrono::steady_clock::now();
	TestApp::SleepMicros(1050000);
	const auto slept = std::chrono::steady_clock::now() - start;
	EXPECT_GE(slept, 1040ms);
	EXPECT_LT(slept, 5s);
}
