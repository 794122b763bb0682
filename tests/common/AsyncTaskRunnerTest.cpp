#include "common/AsyncTaskRunner.h"
#include "QuietLogTest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace
{
size_t CountTaskLines(logs::EVerbosity v, const std::string& message)
{
	std::vector<logs::LogEntry> entries;
	logs::Logger::GetHistory(entries);
	size_t n = 0;
	for (const auto& e : entries)
		if (e.Category.Name == "tasks" && e.Verbosity == v && e.Message == message)
			++n;
	return n;
}

template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds timeout = 3000ms)
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	while (!pred())
	{
		if (std::chrono::steady_clock::now() >= deadline)
			return false;
		std::this_thread::sleep_for(1ms);
	}
	return true;
}

struct TestRunner : AsyncTaskRunner
{
	size_t OneOffs()
	{
		ScopedLock lock(mAsyncTasks);
		return mAsyncTasks->size();
	}
	size_t Queues()
	{
		ScopedLock lock(mTaskQueues);
		return mTaskQueues->size();
	}
	// Polls like the main loop until every queue and one-off task is reaped.
	bool Drain()
	{
		return WaitUntil(
		    [this]
		    {
			    CheckAsyncTasks();
			    return OneOffs() == 0 && Queues() == 0;
		    });
	}
};

// Holds functions until opened.
struct Gate
{
	std::promise<void> Opener;
	std::shared_future<void> Opened = Opener.get_future().share();
	void Open() { Opener.set_value(); }
	void Wait() const { Opened.wait_for(5s); }
};

class AsyncTaskRunnerTest : public QuietLogTest
{
};
} // namespace

TEST_F(AsyncTaskRunnerTest, OneOffRunsOnItsOwnThreadAndIsReaped)
{
	TestRunner runner;
	runner.DoAsyncTask({});
	EXPECT_EQ(runner.OneOffs(), 0u);

	std::promise<std::thread::id> ranOn;
	auto thread = ranOn.get_future();
	runner.DoAsyncTask([&] { ranOn.set_value(std::this_thread::get_id()); });
	ASSERT_EQ(thread.wait_for(3s), std::future_status::ready);
	EXPECT_NE(thread.get(), std::this_thread::get_id());
	EXPECT_TRUE(runner.Drain());
}

TEST_F(AsyncTaskRunnerTest, UnfinishedOneOffStaysListed)
{
	TestRunner runner;
	Gate gate;
	runner.DoAsyncTask([&] { gate.Wait(); });
	runner.CheckAsyncTasks();
	EXPECT_EQ(runner.OneOffs(), 1u);
	gate.Open();
	EXPECT_TRUE(runner.Drain());
}

TEST_F(AsyncTaskRunnerTest, FailedOneOffIsLoggedAndTheRunnerGoesOn)
{
	TestRunner runner;
	runner.DoAsyncTask([] { throw std::runtime_error("one-off boom"); });
	runner.DoAsyncTask([] { throw 7; });
	EXPECT_NO_THROW(EXPECT_TRUE(runner.Drain()));
	EXPECT_EQ(CountTaskLines(logs::Error, "Async task unhandled exception...one-off boom"), 1u);
	EXPECT_EQ(CountTaskLines(logs::Error, "Async task unhandled exception...unknown exception"), 1u);

	// The list lock was released: the runner still takes work.
	std::atomic<bool> ran{false};
	runner.DoAsyncTask([&] { ran = true; });
	EXPECT_TRUE(runner.Drain());
	EXPECT_TRUE(ran);
}

TEST_F(AsyncTaskRunnerTest, QueueRunsItsFunctionsOneAfterAnother)
{
	TestRunner runner;
	std::mutex mutex;
	std::vector<int> order;
	std::atomic<int> running{0};
	std::atomic<bool> overlapped{false};
	for (int i = 0; i < 4; ++i)
		runner.QueueAsyncTask(
		    [&, i]
		    {
			    if (running.fetch_add(1) != 0)
				    overlapped = true;
			    std::this_thread::sleep_for(2ms);
			    {
				    std::lock_guard<std::mutex> lock(mutex);
				    order.push_back(i);
			    }
			    running.fetch_sub(1);
		    },
		    "serial", 0);
	EXPECT_TRUE(runner.Drain());
	EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
	EXPECT_FALSE(overlapped);
}

TEST_F(AsyncTaskRunnerTest, NextQueuedFunctionStartsOnlyWhenPolled)
{
	TestRunner runner;
	std::atomic<bool> first{false}, second{false};
	runner.QueueAsyncTask([&] { first = true; }, "q", 0);
	runner.QueueAsyncTask([&] { second = true; }, "q", 0);
	ASSERT_TRUE(WaitUntil([&] { return first.load(); }));
	std::this_thread::sleep_for(20ms);
	EXPECT_FALSE(second);
	EXPECT_TRUE(runner.Drain());
	EXPECT_TRUE(second);
}

TEST_F(AsyncTaskRunnerTest, FullQueueDropsTheNewFunction)
{
	TestRunner runner;
	Gate gate;
	std::atomic<int> runs{0};
	std::atomic<bool> droppedRan{false};
	runner.QueueAsyncTask(
	    [&]
	    {
		    gate.Wait();
		    ++runs;
	    },
	    "limited", 2);
	runner.QueueAsyncTask([&] { ++runs; }, "limited", 2);
	runner.QueueAsyncTask([&] { ++runs; }, "limited", 2);
	// A running one and two pending ones: a third pending one is over the limit.
	runner.QueueAsyncTask([&] { droppedRan = true; }, "limited", 2);
	// No limit: accepted.
	runner.QueueAsyncTask([&] { ++runs; }, "limited", 0);
	gate.Open();
	EXPECT_TRUE(runner.Drain());
	EXPECT_EQ(runs, 4);
	EXPECT_FALSE(droppedRan);
}

TEST_F(AsyncTaskRunnerTest, FailedQueuedFunctionIsLoggedAndTheQueueGoesOn)
{
	TestRunner runner;
	std::atomic<bool> after{false};
	runner.QueueAsyncTask([] { throw std::runtime_error("queued boom"); }, "q", 0);
	runner.QueueAsyncTask([&] { after = true; }, "q", 0);
	EXPECT_NO_THROW(EXPECT_TRUE(runner.Drain()));
	EXPECT_TRUE(after);
	EXPECT_EQ(CountTaskLines(logs::Error, "Async queue task unhandled exception...queued boom"), 1u);
}

TEST_F(AsyncTaskRunnerTest, ClearingAQueueRunsItsPendingFunctionsHere)
{
	TestRunner runner;
	Gate gate;
	std::atomic<bool> firstDone{false};
	std::vector<int> order;
	std::vector<std::thread::id> threads;
	runner.QueueAsyncTask(
	    [&]
	    {
		    gate.Wait();
		    firstDone = true;
	    },
	    "q", 0);
	for (int i = 1; i <= 2; ++i)
		runner.QueueAsyncTask(
		    [&, i]
		    {
			    order.push_back(i);
			    threads.push_back(std::this_thread::get_id());
		    },
		    "q", 0);
	runner.ClearAsyncTaskQueue("q");
	runner.ClearAsyncTaskQueue("no-such-queue");
	EXPECT_EQ(order, (std::vector<int>{1, 2}));
	EXPECT_EQ(threads, (std::vector<std::thread::id>(2, std::this_thread::get_id())));
	// The running one is left alone and the queue stays until it is reaped.
	EXPECT_FALSE(firstDone);
	EXPECT_EQ(runner.Queues(), 1u);
	gate.Open();
	EXPECT_TRUE(runner.Drain());
	EXPECT_TRUE(firstDone);
}

TEST_F(AsyncTaskRunnerTest, ClearAllTasksWaitsForAllWork)
{
	TestRunner runner;
	std::atomic<int> done{0};
	auto slow = [&]
	{
		std::this_thread::sleep_for(30ms);
		++done;
	};
	runner.DoAsyncTask(slow);
	runner.DoAsyncTask(slow);
	runner.QueueAsyncTask(slow, "a", 0);
	runner.QueueAsyncTask(slow, "a", 0);
	runner.QueueAsyncTask(slow, "b", 0);
	runner.ClearAllTasks();
	EXPECT_EQ(done, 5);
	EXPECT_EQ(runner.OneOffs(), 0u);
	EXPECT_EQ(runner.Queues(), 0u);
}

TEST_F(AsyncTaskRunnerTest, FailuresMetWhileClearingAreLogged)
{
	TestRunner runner;
	std::atomic<bool> last{false};
	runner.DoAsyncTask([] { throw std::runtime_error("cleared one-off"); });
	runner.QueueAsyncTask([] { throw std::runtime_error("cleared running"); }, "q", 0);
	runner.QueueAsyncTask([] { throw std::runtime_error("cleared pending"); }, "q", 0);
	runner.QueueAsyncTask([&] { last = true; }, "q", 0);
	EXPECT_NO_THROW(runner.ClearAllTasks());
	EXPECT_TRUE(last);
	EXPECT_EQ(CountTaskLines(logs::Error, "Async task unhandled exception...cleared one-off"), 1u);
	EXPECT_EQ(CountTaskLines(logs::Error, "Async queue task unhandled exception...cleared running"), 1u);
	EXPECT_EQ(CountTaskLines(logs::Error, "Async queue task unhandled exception...cleared pending"), 1u);
}

TEST_F(AsyncTaskRunnerTest, DestructorWaitsForWork)
{
	std::atomic<int> done{0};
	{
		AsyncTaskRunner runner;
		runner.DoAsyncTask(
		    [&]
		    {
			    std::this_thread::sleep_for(20ms);
			    ++done;
		    });
		runner.QueueAsyncTask([&] { ++done; }, "q", 0);
		runner.QueueAsyncTask([&] { ++done; }, "q", 0);
	}
	EXPECT_EQ(done, 3);
}
