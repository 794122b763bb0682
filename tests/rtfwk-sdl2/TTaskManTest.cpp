#include "TTaskMan.h"
#include "QuietLogTest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace rtfwk_sdl2;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

namespace
{
struct Line
{
	std::string Category;
	logs::EVerbosity Verbosity;
	std::string Message;
};

// Lines of the category "tasks" since the history was last emptied, oldest first.
std::vector<Line> TaskLines()
{
	std::vector<logs::LogEntry> newestFirst;
	logs::Logger::GetHistory(newestFirst);
	std::vector<Line> lines;
	for (auto it = newestFirst.rbegin(); it != newestFirst.rend(); ++it)
		if (it->Category.Name == "tasks")
			lines.push_back({it->Category.Name, it->Verbosity, it->Message});
	return lines;
}

size_t CountLines(logs::EVerbosity v, const std::string& message)
{
	size_t n = 0;
	for (const auto& line : TaskLines())
		if (line.Verbosity == v && line.Message == message)
			++n;
	return n;
}

// Polls pred every millisecond for at most timeout.
template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds timeout = 3000ms)
{
	const auto deadline = SteadyClock::now() + timeout;
	while (!pred())
	{
		if (SteadyClock::now() >= deadline)
			return false;
		std::this_thread::sleep_for(1ms);
	}
	return true;
}

long long MsSince(SteadyClock::time_point t)
{
	return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - t).count();
}

struct TestTaskMan : TTaskMan
{
	size_t Listed(TimedTaskType t) const { return TaskList[t].size(); }
	size_t AsyncListed() const
	{
		ScopedLock lock(AsyncTaskList);
		return AsyncTaskList->size();
	}
};

// Lets a test move the reference point back instead of waiting.
struct BackdatedLambda : TtthLambda
{
	using TtthLambda::TtthLambda;
	void Backdate(std::chrono::milliseconds d)
	{
		ScopedLock lock(this);
		LastExecuted -= d;
	}
};

struct ProbedAsyncHandler : TAsyncTimedTaskHandler
{
	using TAsyncTimedTaskHandler::TAsyncTimedTaskHandler;
	size_t CompletedCount() const { return mCompletedSemaphore.Count(); }
};

std::shared_ptr<TtthLambda> MakeLambda(std::function<void()> f, uint32_t interval, TTimedTaskHandler::TTaskType type,
                                       const std::string& name)
{
	return std::make_shared<TtthLambda>(f, interval, type, name);
}

class TTaskManTest : public QuietLogTest
{
protected:
	TestTaskMan mMan;
};
} // namespace

// ---- descriptions and registration ----

TEST_F(TTaskManTest, Descriptions)
{
	struct Case
	{
		uint32_t interval;
		TTimedTaskHandler::TTaskType type;
		std::string expected;
	};
	const Case cases[] = {
	    {15000, TTimedTaskHandler::ENDLESS, "15000ms, execute forever"},
	    {100, TTimedTaskHandler::EXECUTE_COUNT, "100ms, execute 0 times"},
	    {100, TTimedTaskHandler::EXECUTE_COUNT_NO_REMOVE, "100ms, execute 0 times without removing it"},
	    {500, TTimedTaskHandler::EXECUTE_ONCE, "500ms, execute  once"},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.expected);
		EXPECT_EQ(TTaskMan::getHandlerDescription(MakeLambda({}, c.interval, c.type, "d")), c.expected);
	}
	EXPECT_STREQ(TTaskMan::getTaskType(TASK_NORMAL), "normal");
	EXPECT_STREQ(TTaskMan::getTaskType(TASK_DRAW), "draw");
	EXPECT_STREQ(TTaskMan::getTaskType(TASK_THREAD_SAFE), "thread safe");
	EXPECT_STREQ(TTaskMan::getTaskType(TASK_ANY), "");
}

TEST_F(TTaskManTest, RegistrationLines)
{
	auto pinger = mMan.AddTimedTask<TAsyncTimedTaskHandler, TASK_NORMAL>([] {}, 15000, TTimedTaskHandler::ENDLESS,
	                                                                     "client-pinger");
	mMan.Delay([] {}, 500, "delayed", TASK_NORMAL);
	mMan.AddTimedTaskInternal(MakeLambda({}, 100, TTimedTaskHandler::EXECUTE_COUNT, "counted"), TASK_THREAD_SAFE);

	EXPECT_EQ(CountLines(logs::Debug, "Registered async task 'client-pinger': 15000ms, execute forever"), 1u);
	EXPECT_EQ(CountLines(logs::Debug, "Registered normal task 'delayed': 500ms, execute  once"), 1u);
	EXPECT_EQ(CountLines(logs::Debug, "Registered thread safe task 'counted': 100ms, execute 0 times"), 1u);

	// Dropping the waiting pinger must not wait for its 15 s interval.
	const auto start = SteadyClock::now();
	mMan.CleanupAllTasks();
	pinger.reset();
	EXPECT_LT(MsSince(start), 1000);
}

TEST_F(TTaskManTest, RefusedRegistrations)
{
	EXPECT_EQ(mMan.AddTimedTaskInternal(nullptr, TASK_NORMAL), nullptr);
	int runs = 0;
	auto task = MakeLambda([&] { ++runs; }, 0, TTimedTaskHandler::ENDLESS, "any");
	EXPECT_EQ(mMan.AddTimedTaskInternal(task, TASK_ANY), nullptr);
	EXPECT_EQ((mMan.AddTimedTask<TtthLambda, TASK_ANY>([&] { ++runs; }, 0u, TTimedTaskHandler::ENDLESS, "any2")),
	          nullptr);
	auto delayed = mMan.Delay([&] { ++runs; }, 0, "delay-any", TASK_ANY);
	ASSERT_NE(delayed, nullptr);
	mMan.ProcessTasks(TASK_ANY);
	EXPECT_EQ(runs, 0);
	EXPECT_TRUE(TaskLines().empty());
}

TEST_F(TTaskManTest, RegisteringTwiceGivesOneRegistration)
{
	int runs = 0;
	auto task = MakeLambda([&] { ++runs; }, 0, TTimedTaskHandler::ENDLESS, "twice");
	EXPECT_EQ(mMan.AddTimedTaskInternal(task, TASK_NORMAL), task);
	EXPECT_EQ(mMan.AddTimedTaskInternal(task, TASK_THREAD_SAFE), task);
	EXPECT_EQ(CountLines(logs::Debug, "Registered normal task 'twice': 0ms, execute forever"), 1u);
	EXPECT_EQ(TaskLines().size(), 1u);

	mMan.ProcessTasks(TASK_THREAD_SAFE);
	EXPECT_EQ(runs, 0);
	mMan.ProcessTasks(TASK_NORMAL);
	EXPECT_EQ(runs, 1);
	EXPECT_EQ(mMan.Listed(TASK_NORMAL), 1u);
}

// ---- synchronous passes ----

TEST_F(TTaskManTest, IntervalZeroRunsInEveryPass)
{
	int runs = 0;
	mMan.AddTimedTaskInternal(MakeLambda([&] { ++runs; }, 0, TTimedTaskHandler::ENDLESS, "every-pass"), TASK_NORMAL);
	for (int pass = 1; pass <= 3; ++pass)
	{
		mMan.ProcessTasks(TASK_NORMAL);
		EXPECT_EQ(runs, pass);
	}
}

TEST_F(TTaskManTest, DelayRunsOnceInTheFirstDuePassAndIsErased)
{
	std::atomic<int> runs{0};
	const auto before = SteadyClock::now();
	auto handler = mMan.Delay([&] { ++runs; }, 500, "delayed", TASK_NORMAL);
	const auto after = SteadyClock::now();

	SteadyClock::time_point previousPass{}, runPass{};
	size_t listedAfterRun = 99;
	for (int i = 0; i < 300 && runs == 0; ++i)
	{
		const auto passStart = SteadyClock::now();
		mMan.ProcessTasks(TASK_NORMAL);
		if (runs != 0)
		{
			runPass = SteadyClock::now();
			listedAfterRun = mMan.Listed(TASK_NORMAL);
			break;
		}
		previousPass = passStart;
		std::this_thread::sleep_for(10ms);
	}
	ASSERT_EQ(runs, 1);
	EXPECT_GE(runPass - before, 500ms);
	EXPECT_LT(previousPass - after, 500ms);
	EXPECT_EQ(listedAfterRun, 0u);
	EXPECT_EQ(handler->GetStatus(), ToRemove);
	EXPECT_EQ(handler.use_count(), 1);

	mMan.ProcessTasks(TASK_NORMAL);
	EXPECT_EQ(runs, 1);
}

TEST_F(TTaskManTest, CountTasksRunOnce)
{
	int counted = 0, kept = 0;
	auto countTask = MakeLambda([&] { ++counted; }, 0, TTimedTaskHandler::EXECUTE_COUNT, "count");
	auto keptTask = MakeLambda([&] { ++kept; }, 0, TTimedTaskHandler::EXECUTE_COUNT_NO_REMOVE, "kept");
	mMan.AddTimedTaskInternal(countTask, TASK_NORMAL);
	mMan.AddTimedTaskInternal(keptTask, TASK_NORMAL);

	mMan.ProcessTasks(TASK_NORMAL);
	EXPECT_EQ(counted, 1);
	EXPECT_EQ(kept, 1);
	EXPECT_EQ(countTask->GetStatus(), ToRemove);
	EXPECT_EQ(keptTask->GetStatus(), Finished);
	EXPECT_EQ(mMan.Listed(TASK_NORMAL), 1u);

	keptTask->Enable();
	keptTask->EnableAndExecuteImmediate();
	keptTask->Disable();
	EXPECT_EQ(keptTask->GetStatus(), Finished);
	mMan.ProcessTasks(TASK_NORMAL);
	EXPECT_EQ(kept, 1);
	EXPECT_EQ(mMan.Listed(TASK_NORMAL), 1u);
	EXPECT_EQ(keptTask->GetExecutionCount(), 1u);

	keptTask->Remove();
	mMan.ProcessTasks(TASK_NORMAL);
	EXPECT_EQ(mMan.Listed(TASK_NORMAL), 0u);
}

TEST_F(TTaskManTest, TaskRegisteredDuringAPassWaitsForTheNext)
{
	int inner = 0;
	auto outer = MakeLambda(
	    [&] {
		    mMan.AddTimedTaskInternal(MakeLambda([&] { ++inner; }, 0, TTimedTaskHandler::ENDLESS, "inner"),
		                              TASK_NORMAL);
	    },
	    0, TTimedTaskHandler::EXECUTE_ONCE, "outer");
	mMan.AddTimedTaskInternal(outer, TASK_NORMAL);

	mMan.ProcessTasks(TASK_NORMAL);
	EXPECT_EQ(outer->GetExecutionCount(), 1u);
	EXPECT_EQ(inner, 0);
	mMan.ProcessTasks(TASK_NORMAL);
	EXPECT_EQ(inner, 1);
}

TEST_F(TTaskManTest, EnableAndExecuteImmediateRunsAtTheNextPass)
{
	int runs = 0;
	auto task = MakeLambda([&] { ++runs; }, 10000, TTimedTaskHandler::ENDLESS, "immediate");
	mMan.AddTimedTaskInternal(task, TASK_NORMAL);
	task->Disable();
	mMan.ProcessTasks(TASK_NORMAL);
	EXPECT_EQ(runs, 0);
	EXPECT_EQ(task->GetStatus(), Disabled);

	task->EnableAndExecuteImmediate();
	EXPECT_EQ(task->GetTimeRemainigToExecute(), 0u);
	mMan.ProcessTasks(TASK_NORMAL);
	EXPECT_EQ(runs, 1);
	mMan.ProcessTasks(TASK_NORMAL);
	EXPECT_EQ(runs, 1);
	EXPECT_GT(task->GetTimeRemainigToExecute(), 9000u);
	EXPECT_LE(task->GetTimeRemainigToExecute(), 10000u);
}

TEST_F(TTaskManTest, RealTimeCatchesUpOneRunPerPass)
{
	struct Case
	{
		bool realTime;
		int expectedRuns;
	};
	// Two and a half intervals late: drift-free scheduling owes two runs, plain scheduling one.
	for (const Case c : {Case{true, 2}, Case{false, 1}})
	{
		SCOPED_TRACE(c.realTime ? "real time" : "plain");
		TestTaskMan man;
		int runs = 0;
		auto task = std::make_shared<BackdatedLambda>([&] { ++runs; }, 10000, TTimedTaskHandler::ENDLESS, "late");
		task->SetRealTime(c.realTime);
		task->Backdate(25000ms);
		man.AddTimedTaskInternal(task, TASK_NORMAL);
		for (int pass = 0; pass < 4; ++pass)
			man.ProcessTasks(TASK_NORMAL);
		EXPECT_EQ(runs, c.expectedRuns);
	}
}

TEST_F(TTaskManTest, RealTimeAfterExecuteImmediateRunsOnce)
{
	int runs = 0;
	auto task = MakeLambda([&] { ++runs; }, 10000, TTimedTaskHandler::ENDLESS, "rt-immediate");
	task->SetRealTime(true);
	task->EnableAndExecuteImmediate();
	mMan.AddTimedTaskInternal(task, TASK_NORMAL);
	for (int pass = 0; pass < 3; ++pass)
		mMan.ProcessTasks(TASK_NORMAL);
	EXPECT_EQ(runs, 1);
}

TEST_F(TTaskManTest, SlowRunGivesOneWarning)
{
	mMan.AddTimedTaskInternal(
	    MakeLambda([] { std::this_thread::sleep_for(3ms); }, 0, TTimedTaskHandler::EXECUTE_ONCE, "slow"), TASK_NORMAL);
	mMan.AddTimedTaskInternal(MakeLambda([] {}, 0, TTimedTaskHandler::EXECUTE_ONCE, "quick"), TASK_NORMAL);
	mMan.ProcessTasks(TASK_NORMAL);
	mMan.ProcessTasks(TASK_NORMAL);

	const std::regex slow(R"(TTaskMan:: task slow took very long! \((\d+) ms\))");
	int warnings = 0;
	for (const auto& line : TaskLines())
	{
		if (line.Verbosity != logs::Warning)
			continue;
		++warnings;
		std::smatch m;
		ASSERT_TRUE(std::regex_match(line.Message, m, slow)) << line.Message;
		EXPECT_GE(std::stoi(m[1]), 3);
	}
	EXPECT_EQ(warnings, 1);
}

TEST_F(TTaskManTest, ThrowingTaskIsLoggedAndKeepsItsSchedule)
{
	int runs = 0;
	auto thrower = MakeLambda(
	    [&]
	    {
		    ++runs;
		    if (runs == 1)
			    throw std::runtime_error("boom");
		    throw 42;
	    },
	    0, TTimedTaskHandler::ENDLESS, "thrower");
	mMan.AddTimedTaskInternal(thrower, TASK_NORMAL);
	mMan.ProcessTasks(TASK_NORMAL);
	mMan.ProcessTasks(TASK_NORMAL);
	EXPECT_EQ(runs, 2);
	EXPECT_EQ(CountLines(logs::Error, "ExecuteConditional unhandled exception...thrower"), 2u);
	EXPECT_EQ(thrower->GetStatus(), Enabled);
	EXPECT_EQ(mMan.Listed(TASK_NORMAL), 1u);
}

TEST_F(TTaskManTest, TaskMayRemoveItselfAndUnregisterAllWhileRunning)
{
	int selfRuns = 0, cleanerRuns = 0;
	std::shared_ptr<TtthLambda> self;
	self = MakeLambda(
	    [&]
	    {
		    ++selfRuns;
		    self->Remove();
	    },
	    0, TTimedTaskHandler::ENDLESS, "self-removing");
	mMan.AddTimedTaskInternal(self, TASK_NORMAL);
	mMan.ProcessTasks(TASK_NORMAL);
	EXPECT_EQ(selfRuns, 1);
	EXPECT_EQ(mMan.Listed(TASK_NORMAL), 0u);

	mMan.AddTimedTaskInternal(
	    MakeLambda([&] { ++cleanerRuns, mMan.CleanupAllTasks(); }, 0, TTimedTaskHandler::ENDLESS, "cleaner"),
	    TASK_NORMAL);
	mMan.AddTimedTaskInternal(
	    MakeLambda([&] { ++cleanerRuns, mMan.CleanupAllTasks(); }, 0, TTimedTaskHandler::ENDLESS, "cleaner2"),
	    TASK_NORMAL);
	mMan.ProcessTasks(TASK_NORMAL);
	// Whichever runs first unregisters the other before its turn.
	EXPECT_EQ(cleanerRuns, 1);
	EXPECT_EQ(mMan.Listed(TASK_NORMAL), 0u);
	self.reset();
}

TEST_F(TTaskManTest, CleanupLeavesHandlersThatWaitForTheirFirstPass)
{
	int runs = 0;
	auto task = MakeLambda([&] { ++runs; }, 0, TTimedTaskHandler::ENDLESS, "waiting");
	mMan.AddTimedTaskInternal(task, TASK_NORMAL);
	mMan.CleanupAllTasks();
	mMan.ProcessTasks(TASK_NORMAL);
	EXPECT_EQ(runs, 1);
	mMan.CleanupAllTasks();
	EXPECT_EQ(mMan.Listed(TASK_NORMAL), 0u);
	// Unregistered now: it can be registered again.
	EXPECT_EQ(mMan.AddTimedTaskInternal(task, TASK_NORMAL), task);
	mMan.ProcessTasks(TASK_NORMAL);
	EXPECT_EQ(runs, 2);
}

// ---- asynchronous handlers ----

TEST_F(TTaskManTest, BackgroundTaskFirstRunsOneIntervalAfterRegistration)
{
	std::promise<SteadyClock::time_point> firstRun;
	auto firstRunTime = firstRun.get_future();
	std::atomic<bool> ran{false};
	const auto registered = SteadyClock::now();
	auto handler = mMan.AddTimedTask<TAsyncTimedTaskHandler, TASK_NORMAL>(
	    [&]
	    {
		    if (!ran.exchange(true))
			    firstRun.set_value(SteadyClock::now());
	    },
	    200, TTimedTaskHandler::ENDLESS, "bg");
	ASSERT_EQ(firstRunTime.wait_for(3s), std::future_status::ready);
	const auto delay = firstRunTime.get() - registered;
	EXPECT_GE(delay, 195ms);
	EXPECT_LT(delay, 1500ms);

	mMan.CleanupAllTasks();
	handler.reset();
}

TEST_F(TTaskManTest, DroppingAWaitingBackgroundTaskReturnsPromptly)
{
	std::atomic<int> runs{0};
	auto handler = mMan.AddTimedTask<TAsyncTimedTaskHandler, TASK_THREAD_SAFE>([&] { ++runs; }, 10000,
	                                                                           TTimedTaskHandler::ENDLESS, "sleeper");
	std::this_thread::sleep_for(20ms);
	const auto start = SteadyClock::now();
	mMan.CleanupAllTasks();
	handler.reset();
	EXPECT_LT(MsSince(start), 1000);
	EXPECT_EQ(runs, 0);
}

TEST_F(TTaskManTest, DestroyingTheManagerStopsAWaitingWorker)
{
	std::atomic<int> runs{0};
	auto man = std::make_unique<TestTaskMan>();
	man->AddTimedTask<TAsyncTimedTaskHandler, TASK_NORMAL>([&] { ++runs; }, 10000, TTimedTaskHandler::ENDLESS, "owned");
	std::this_thread::sleep_for(10ms);
	const auto start = SteadyClock::now();
	man.reset();
	EXPECT_LT(MsSince(start), 1000);
	EXPECT_EQ(runs, 0);
}

TEST_F(TTaskManTest, BackgroundOnceRunsOnceAndIsReaped)
{
	std::atomic<int> runs{0};
	auto handler =
	    std::dynamic_pointer_cast<TAsyncTimedTaskHandler>(mMan.AddTimedTask<TAsyncTimedTaskHandler, TASK_NORMAL>(
	        [&] { ++runs; }, 1, TTimedTaskHandler::EXECUTE_ONCE, "bg-once"));
	ASSERT_NE(handler, nullptr);
	ASSERT_TRUE(WaitUntil([&] { return handler->completed(); }));
	EXPECT_EQ(runs, 1);
	EXPECT_EQ(handler->GetExecutionCount(), 1u);
	EXPECT_EQ(handler->GetStatus(), ToRemove);

	mMan.ProcessTasks(TASK_NORMAL);
	EXPECT_EQ(mMan.AsyncListed(), 1u);
	mMan.ProcessTasks(TASK_THREAD_SAFE);
	EXPECT_EQ(mMan.AsyncListed(), 0u);
	EXPECT_EQ(CountLines(logs::Verbose, "Removing task: bg-once"), 1u);
}

TEST_F(TTaskManTest, BackgroundExceptionIsLoggedNotFatal)
{
	auto handler =
	    std::dynamic_pointer_cast<TAsyncTimedTaskHandler>(mMan.AddTimedTask<TAsyncTimedTaskHandler, TASK_NORMAL>(
	        [] { throw std::runtime_error("worker boom"); }, 1, TTimedTaskHandler::EXECUTE_ONCE, "bg-thrower"));
	ASSERT_NE(handler, nullptr);
	ASSERT_TRUE(WaitUntil([&] { return handler->completed(); }));
	EXPECT_EQ(CountLines(logs::Error, "ExecuteConditional unhandled exception...bg-thrower"), 1u);
	mMan.ProcessTasks(TASK_ANY);
	EXPECT_EQ(mMan.AsyncListed(), 0u);
}

TEST_F(TTaskManTest, CompletionSignalSaturates)
{
	std::atomic<int> runs{0};
	auto handler = std::make_shared<ProbedAsyncHandler>([&] { ++runs; }, 1, TTimedTaskHandler::ENDLESS, "signaller");
	mMan.AddTimedTaskInternal(handler, TASK_NORMAL);
	ASSERT_TRUE(WaitUntil([&] { return runs >= 5; }));
	EXPECT_EQ(handler->CompletedCount(), 1u);
	mMan.CleanupAllTasks();
	ASSERT_TRUE(WaitUntil([&] { return handler->completed(); }));
	handler.reset();
}

TEST_F(TTaskManTest, BackgroundTaskRemovedDuringItsWaitDoesNotRunAgain)
{
	struct Case
	{
		const char* name;
		std::function<void(TTimedTaskHandler&)> stop;
	};
	const Case cases[] = {
	    {"removed", [](TTimedTaskHandler& h) { h.Remove(); }},
	    {"disabled", [](TTimedTaskHandler& h) { h.Disable(); }},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.name);
		std::atomic<int> runs{0};
		auto handler =
		    std::dynamic_pointer_cast<TAsyncTimedTaskHandler>(mMan.AddTimedTask<TAsyncTimedTaskHandler, TASK_NORMAL>(
		        [&] { ++runs; }, 50, TTimedTaskHandler::ENDLESS, c.name));
		ASSERT_NE(handler, nullptr);
		c.stop(*handler);
		ASSERT_TRUE(WaitUntil([&] { return handler->completed(); }));
		EXPECT_EQ(runs, 0);
		EXPECT_EQ(handler->GetStatus(), ToRemove);
		// Final: it cannot be enabled again.
		handler->Enable();
		EXPECT_EQ(handler->GetStatus(), ToRemove);
		mMan.ProcessTasks(TASK_THREAD_SAFE);
	}
	EXPECT_EQ(mMan.AsyncListed(), 0u);
}

TEST_F(TTaskManTest, BackgroundTaskWithoutAutoStartWaitsForStart)
{
	std::atomic<int> runs{0};
	auto handler =
	    std::make_shared<TAsyncTimedTaskHandler>([&] { ++runs; }, 1, TTimedTaskHandler::EXECUTE_ONCE, "manual", false);
	mMan.AddTimedTaskInternal(handler, TASK_NORMAL);
	std::this_thread::sleep_for(20ms);
	EXPECT_EQ(runs, 0);
	handler->start();
	handler->start();
	ASSERT_TRUE(WaitUntil([&] { return handler->completed(); }));
	EXPECT_EQ(runs, 1);
}
