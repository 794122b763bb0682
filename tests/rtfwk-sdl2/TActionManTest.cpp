#include "TActionMan.h"
#include "QuietLogTest.h"

#include "TLogManager.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace rtfwk_sdl2;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace
{
size_t CountLines(logs::EVerbosity v, const std::string& message, const std::string& category = "actions")
{
	size_t n = 0;
	for (const auto& line : LinesOf(category))
		if (line.Verbosity == v && line.Message == message)
			++n;
	return n;
}

// What the handlers did, in order; shared by handlers on any thread.
struct Recorder
{
	void Add(const std::string& what)
	{
		std::lock_guard<std::mutex> lock(Mutex);
		Calls.push_back(what);
	}
	std::vector<std::string> Take()
	{
		std::lock_guard<std::mutex> lock(Mutex);
		std::vector<std::string> out;
		out.swap(Calls);
		return out;
	}
	size_t Count()
	{
		std::lock_guard<std::mutex> lock(Mutex);
		return Calls.size();
	}

	std::mutex Mutex;
	std::vector<std::string> Calls;
};

// Records "<tag>:<action name>" and, when given, runs a body; counts its own destruction.
class TestHandler : public TActionHandler
{
public:
	TestHandler(Recorder& recorder, std::string tag, std::atomic<int>* destroyed = nullptr,
	            TAHType type = ahtExecuteEndless, void* related = nullptr)
	    : TActionHandler(related, type), mRecorder(recorder), mTag(std::move(tag)), mDestroyed(destroyed)
	{
	}
	~TestHandler() override
	{
		if (mDestroyed != nullptr)
			++*mDestroyed;
	}

	void execute(std::string ActionName, void* hActionData) override
	{
		mLastData = hActionData;
		if (Body)
			Body();
		mRecorder.Add(mTag + ":" + ActionName);
	}

	std::function<void()> Body;
	std::atomic<void*> mLastData{nullptr};

private:
	Recorder& mRecorder;
	const std::string mTag;
	std::atomic<int>* mDestroyed;
};

class TestActionMan : public TActionMan
{
public:
	size_t Queued(ActionHandleType type)
	{
		ScopedLock lock(ToRunActionQueue[type]);
		return ToRunActionQueue[type]->size();
	}
	size_t Pending(size_t index)
	{
		ScopedLock lock(ActionCommands[index]);
		return ActionCommands[index]->size();
	}
	size_t ActionCount() const
	{
		SharedScopedLock lock(ActionList);
		return ActionList->size();
	}
	void ExecuteAll()
	{
		for (auto type : {ACTION_NORMAL, ACTION_DRAW, ACTION_THREAD_SAFE, ACTION_ASYNC})
			ExecuteActions(type);
	}
};

class TActionManTest : public QuietLogTest
{
protected:
	void TearDown() override
	{
		mRunner.ClearAllTasks();
		QuietLogTest::TearDown();
	}

	// Registers and applies at once.
	TestHandler* Listen(const std::string& name, ActionHandleType type, const std::string& tag,
	                    TActionHandler::TAHType htype = TActionHandler::ahtExecuteEndless, void* related = nullptr)
	{
		auto* handler = new TestHandler(mRecorder, tag, &mDestroyed, htype, related);
		mMan.AddActionListener(name, handler, type);
		mMan.ExecuteActions(type);
		return handler;
	}

	Recorder mRecorder;
	std::atomic<int> mDestroyed{0};
	AsyncTaskRunner mRunner;
	TestActionMan mMan;
};
} // namespace

// ---- matching ----

TEST_F(TActionManTest, PrefixMatchingRunsLongestNameFirst)
{
	Listen("Pow", ACTION_NORMAL, "Pow");
	Listen("PowerUP", ACTION_NORMAL, "PowerUP");
	Listen("PowerDownX", ACTION_NORMAL, "PowerDownX");
	Listen("Other", ACTION_NORMAL, "Other");
	mRecorder.Take();

	struct Case
	{
		const char* generated;
		size_t queued;
		std::vector<std::string> runs;
	};
	const Case cases[] = {
	    {"PowerUP", 2, {"PowerUP:PowerUP", "Pow:Pow"}},
	    {"PowerDown", 1, {"Pow:Pow"}},
	    {"Po", 0, {}},
	    {"PowerUPNow", 2, {"PowerUP:PowerUP", "Pow:Pow"}},
	    {"Pow", 1, {"Pow:Pow"}},
	    {"P", 0, {}},
	    {"Powder", 1, {"Pow:Pow"}},
	    {"Pa", 0, {}},
	    {"", 0, {}},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.generated);
		EXPECT_EQ(mMan.ActionGenerated(c.generated, nullptr, ACTION_ANY), c.queued);
		mMan.ExecuteAll();
		// Handlers are told the name of their own action, not the generated one.
		EXPECT_EQ(mRecorder.Take(), c.runs);
	}
}

TEST_F(TActionManTest, NameShorterThanThreeCharactersOnlyMatchesItself)
{
	Listen("Po", ACTION_NORMAL, "Po");
	mRecorder.Take();
	EXPECT_EQ(mMan.ActionGenerated("Po", nullptr, ACTION_NORMAL), 1u);
	EXPECT_EQ(mMan.ActionGenerated("Pow", nullptr, ACTION_NORMAL), 0u);
	EXPECT_EQ(mMan.ActionGenerated("PowerUP", nullptr, ACTION_NORMAL), 0u);
	mMan.ExecuteActions(ACTION_NORMAL);
	EXPECT_EQ(mRecorder.Take(), std::vector<std::string>{"Po:Po"});
}

TEST_F(TActionManTest, GeneratedDataReachesTheHandlerAndGenerationIsLogged)
{
	auto* handler = Listen("Data", ACTION_NORMAL, "h");
	int payload = 7;
	mMan.GenerateAction("Data", &payload, ACTION_NORMAL);
	EXPECT_EQ(CountLines(logs::Verbose, "Generate action: Data."), 1u);
	mMan.ExecuteActions(ACTION_NORMAL);
	EXPECT_EQ(handler->mLastData.load(), static_cast<void*>(&payload));
	EXPECT_EQ(CountLines(logs::Verbose, "execute action: Data, (Enabled=1, Type=0)."), 1u);
}

// ---- deferred registration ----

TEST_F(TActionManTest, RegistrationTakesEffectInsideExecuteActions)
{
	mMan.AddActionListener("Late", new TestHandler(mRecorder, "late", &mDestroyed), ACTION_NORMAL);
	EXPECT_EQ(mMan.Pending(ACTION_NORMAL), 1u);
	EXPECT_EQ(mMan.GetAction("Late"), nullptr);
	// Generated in the same iteration, before the listener is applied: nothing to queue.
	EXPECT_EQ(mMan.ActionGenerated("Late", nullptr, ACTION_ANY), 0u);

	mMan.ExecuteActions(ACTION_THREAD_SAFE);
	EXPECT_EQ(mMan.GetAction("Late"), nullptr);
	mMan.ExecuteActions(ACTION_NORMAL);
	EXPECT_TRUE(mRecorder.Take().empty());
	ASSERT_NE(mMan.GetAction("Late"), nullptr);
	EXPECT_EQ(mMan.GetAction("Late")->GetHandlersCount(ACTION_NORMAL), 1u);
	EXPECT_EQ(CountLines(logs::Verbose, "New action with name \"Late\" created"), 1u);

	EXPECT_EQ(mMan.ActionGenerated("Late", nullptr, ACTION_ANY), 1u);
	mMan.ExecuteActions(ACTION_NORMAL);
	EXPECT_EQ(mRecorder.Take(), std::vector<std::string>{"late:Late"});
}

TEST_F(TActionManTest, SecondListenerJoinsTheExistingAction)
{
	Listen("Join", ACTION_NORMAL, "a");
	Listen("Join", ACTION_NORMAL, "b");
	EXPECT_EQ(mMan.ActionCount(), 1u);
	EXPECT_EQ(CountLines(logs::Verbose, "New action with name \"Join\" created"), 1u);
	mMan.ActionGenerated("Join", nullptr, ACTION_NORMAL);
	mMan.ExecuteActions(ACTION_NORMAL);
	EXPECT_EQ(mRecorder.Take(), (std::vector<std::string>{"a:Join", "b:Join"}));
}

// ---- run-once handlers ----

TEST_F(TActionManTest, RunOnceHandlerRunsOnceAndIsDeleted)
{
	Listen("Once", ACTION_NORMAL, "once", TActionHandler::ahtExecuteOnce);
	EXPECT_EQ(mMan.ActionGenerated("Once", nullptr, ACTION_ANY), 1u);
	mMan.ExecuteActions(ACTION_NORMAL);
	EXPECT_EQ(mRecorder.Take(), std::vector<std::string>{"once:Once"});
	EXPECT_EQ(mDestroyed.load(), 1);
	EXPECT_EQ(CountLines(logs::Verbose, "Action handler of Once was erased"), 1u);
	EXPECT_EQ(mMan.GetAction("Once")->GetHandlersCount(ACTION_ANY), 0u);
	EXPECT_EQ(mMan.ActionGenerated("Once", nullptr, ACTION_ANY), 0u);
}

TEST_F(TActionManTest, RunOnceGeneratedTwiceBeforeExecutionRunsOnce)
{
	Listen("Twice", ACTION_NORMAL, "once", TActionHandler::ahtExecuteOnce);
	mMan.ActionGenerated("Twice", nullptr, ACTION_NORMAL);
	mMan.ActionGenerated("Twice", nullptr, ACTION_NORMAL);
	mMan.ExecuteActions(ACTION_NORMAL);
	EXPECT_EQ(mRecorder.Take(), std::vector<std::string>{"once:Twice"});
	// The second entry found the list empty: no execution line for it.
	EXPECT_EQ(CountLines(logs::Verbose, "execute action: Twice, (Enabled=1, Type=0)."), 1u);
}

TEST_F(TActionManTest, AsyncHandlerRunsOnTheRunnersThread)
{
	mMan.SetAsyncRunner(&mRunner);
	auto* handler = new TestHandler(mRecorder, "bg", &mDestroyed);
	std::promise<std::thread::id> ranOn;
	handler->Body = [&] { ranOn.set_value(std::this_thread::get_id()); };
	mMan.AddActionListener("Bg", handler, ACTION_ASYNC);
	mMan.ExecuteActions(ACTION_ASYNC);
	EXPECT_EQ(mMan.GetAction("Bg")->GetHandlersCount(ACTION_ASYNC), 1u);

	mMan.ActionGenerated("Bg", nullptr, ACTION_ANY);
	mMan.ExecuteActions(ACTION_ASYNC);
	auto ran = ranOn.get_future();
	ASSERT_EQ(ran.wait_for(5s), std::future_status::ready);
	EXPECT_NE(ran.get(), std::this_thread::get_id());
	mRunner.ClearAllTasks();
	EXPECT_EQ(mRecorder.Take(), std::vector<std::string>{"bg:Bg"});
	EXPECT_EQ(mDestroyed.load(), 0);
}

TEST_F(TActionManTest, AsyncHandlerWithoutRunnerRunsOnTheCallingThread)
{
	auto* handler = new TestHandler(mRecorder, "inline", &mDestroyed);
	std::thread::id ranOn;
	handler->Body = [&] { ranOn = std::this_thread::get_id(); };
	mMan.AddActionListener("Inline", handler, ACTION_ASYNC);
	mMan.ExecuteActions(ACTION_ASYNC);
	mMan.ActionGenerated("Inline", nullptr, ACTION_ASYNC);
	mMan.ExecuteActions(ACTION_ASYNC);
	EXPECT_EQ(ranOn, std::this_thread::get_id());
	EXPECT_EQ(mRecorder.Take(), std::vector<std::string>{"inline:Inline"});
}

// The wrapper and the action are deleted while the background run is still inside the handler.
TEST_F(TActionManTest, AsyncRunOnceHandlerOutlivesItsDeletionWhileRunning)
{
	mMan.SetAsyncRunner(&mRunner);
	std::promise<void> started;
	std::promise<void> release;
	std::shared_future<void> released = release.get_future().share();
	std::atomic<bool> finished{false};

	auto* handler = new TestHandler(mRecorder, "once-bg", &mDestroyed, TActionHandler::ahtExecuteOnce);
	handler->Body = [&, handler, released]
	{
		started.set_value();
		const bool go = released.wait_for(5s) == std::future_status::ready;
		// Touches the handler itself after its owner has let go of it.
		handler->mLastData = &finished;
		finished = go;
	};
	mMan.AddActionListener("OnceBg", handler, ACTION_ASYNC);
	mMan.ExecuteActions(ACTION_ASYNC);
	EXPECT_EQ(mMan.ActionGenerated("OnceBg", nullptr, ACTION_ANY), 1u);
	mMan.ExecuteActions(ACTION_ASYNC);

	ASSERT_EQ(started.get_future().wait_for(5s), std::future_status::ready);
	EXPECT_EQ(mMan.GetAction("OnceBg")->GetHandlersCount(ACTION_ANY), 0u);
	mMan.UnregisterAction("OnceBg");
	mMan.ExecuteActions(ACTION_ASYNC);
	EXPECT_EQ(mMan.GetAction("OnceBg"), nullptr);
	EXPECT_EQ(mDestroyed.load(), 0);

	release.set_value();
	mRunner.ClearAllTasks();
	EXPECT_TRUE(finished.load());
	EXPECT_EQ(mDestroyed.load(), 1);
	EXPECT_EQ(mRecorder.Take(), std::vector<std::string>{"once-bg:OnceBg"});
	EXPECT_EQ(mMan.ActionGenerated("OnceBg", nullptr, ACTION_ANY), 0u);
}

TEST_F(TActionManTest, AsyncHandlerExceptionSurfacesWhenTheRunnerReaps)
{
	mMan.SetAsyncRunner(&mRunner);
	auto* handler = new TestHandler(mRecorder, "bad", &mDestroyed);
	handler->Body = [] { throw std::runtime_error("async broke"); };
	mMan.AddActionListener("BadBg", handler, ACTION_ASYNC);
	mMan.ExecuteActions(ACTION_ASYNC);
	mMan.ActionGenerated("BadBg", nullptr, ACTION_ASYNC);
	mMan.ExecuteActions(ACTION_ASYNC);
	EXPECT_EQ(CountLines(logs::Error, "handler of 'BadBg' threw exception: async broke"), 0u);
	mRunner.ClearAllTasks();
	EXPECT_EQ(CountLines(logs::Error, "Async task unhandled exception...async broke", "tasks"), 1u);
}

// ---- enabled flag ----

TEST_F(TActionManTest, DisabledActionIsQueuedButDoesNotRun)
{
	Listen("Off", ACTION_NORMAL, "off");
	mMan.GetAction("Off")->Disable();
	EXPECT_EQ(mMan.ActionGenerated("Off", nullptr, ACTION_ANY), 1u);
	EXPECT_EQ(mMan.Queued(ACTION_NORMAL), 1u);
	mMan.ExecuteActions(ACTION_NORMAL);
	EXPECT_TRUE(mRecorder.Take().empty());
	EXPECT_EQ(mMan.Queued(ACTION_NORMAL), 0u);
	EXPECT_EQ(CountLines(logs::Verbose, "execute action: Off, (Enabled=0, Type=0)."), 1u);

	mMan.GetAction("Off")->Enable();
	mMan.ActionGenerated("Off", nullptr, ACTION_ANY);
	mMan.ExecuteActions(ACTION_NORMAL);
	EXPECT_EQ(mRecorder.Take(), std::vector<std::string>{"off:Off"});
}

// ---- misuse of ACTION_ANY ----

TEST_F(TActionManTest, AddActionListenerWithAnyDoesNothing)
{
	mMan.AddActionListener("Any", new TestHandler(mRecorder, "any", &mDestroyed), ACTION_ANY);
	// Refused handlers are ours to delete.
	EXPECT_EQ(mDestroyed.load(), 1);
	for (size_t i = 0; i < 5; ++i)
		EXPECT_EQ(mMan.Pending(i), 0u);
	mMan.ExecuteAll();
	EXPECT_EQ(mMan.GetAction("Any"), nullptr);
	mMan.AddActionListener("Null", nullptr, ACTION_NORMAL);
	EXPECT_EQ(mMan.Pending(ACTION_NORMAL), 0u);
}

TEST_F(TActionManTest, ExecuteAsAnyWarns)
{
	Listen("Exec", ACTION_NORMAL, "x");
	mMan.ActionGenerated("Exec", nullptr, ACTION_ANY);
	mMan.ExecuteActions(ACTION_ANY);
	EXPECT_EQ(CountLines(logs::Warning,
	                     "Tried to execute actions as ANY, which is not allowed! Execution type must be specified."),
	          1u);
	EXPECT_EQ(mMan.Queued(ACTION_NORMAL), 1u);
	EXPECT_TRUE(mRecorder.Take().empty());

	mMan.GetAction("Exec")->Execute(nullptr, ACTION_ANY);
	EXPECT_EQ(
	    CountLines(logs::Warning,
	               "Tried to execute action Exec as ANY, which is not allowed! Execution type must be specified."),
	    1u);
	EXPECT_TRUE(mRecorder.Take().empty());
}

TEST(TActionLogManagerTest, RegisterWithAnyWritesTheWarningThroughTheLogManager)
{
	const fs::path dir = fs::temp_directory_path() / ("actions-" + std::to_string(getpid()));
	fs::create_directories(dir);
	{
		TLogManager manager;
		manager.Init((dir / "actions.log").string());
		ASSERT_EQ(logman::pDefInst.load(), &manager);

		std::atomic<int> destroyed{0};
		Recorder recorder;
		TAction action("Trigger");
		action.RegisterActionHandler(new TestHandler(recorder, "t", &destroyed), ACTION_ANY);
		EXPECT_EQ(manager.GetLastLog(),
		          "Tried to use handle type ANY for action Trigger will effectively trigger it 3 times and is not "
		          "allowed!");
		EXPECT_EQ(action.GetHandlersCount(ACTION_ANY), 0u);
		EXPECT_EQ(destroyed.load(), 1);
		manager.Close();
	}
	fs::remove_all(dir);
}

TEST_F(TActionManTest, FilterAnyQueuesOncePerTypeWithHandlers)
{
	mMan.SetAsyncRunner(&mRunner);
	Listen("Multi", ACTION_NORMAL, "normal");
	Listen("Multi", ACTION_THREAD_SAFE, "safe");
	Listen("Multi", ACTION_ASYNC, "async");
	EXPECT_EQ(mMan.GetAction("Multi")->GetHandlersCount(ACTION_ANY), 3u);

	EXPECT_EQ(mMan.ActionGenerated("Multi", nullptr, ACTION_ANY), 3u);
	EXPECT_EQ(mMan.Queued(ACTION_NORMAL), 1u);
	EXPECT_EQ(mMan.Queued(ACTION_DRAW), 0u);
	EXPECT_EQ(mMan.Queued(ACTION_THREAD_SAFE), 1u);
	EXPECT_EQ(mMan.Queued(ACTION_ASYNC), 1u);

	mMan.ExecuteActions(ACTION_NORMAL);
	EXPECT_EQ(mRecorder.Take(), std::vector<std::string>{"normal:Multi"});
	mMan.ExecuteActions(ACTION_THREAD_SAFE);
	EXPECT_EQ(mRecorder.Take(), std::vector<std::string>{"safe:Multi"});
	mMan.ExecuteActions(ACTION_ASYNC);
	mRunner.ClearAllTasks();
	EXPECT_EQ(mRecorder.Take(), std::vector<std::string>{"async:Multi"});

	EXPECT_EQ(mMan.ActionGenerated("Multi", nullptr, ACTION_THREAD_SAFE), 1u);
	EXPECT_EQ(mMan.Queued(ACTION_NORMAL), 0u);
	EXPECT_EQ(mMan.Queued(ACTION_THREAD_SAFE), 1u);
}

// ---- failures ----

TEST_F(TActionManTest, HandlerExceptionsAreLoggedAndTheNextEntryRuns)
{
	Listen("Boom", ACTION_NORMAL, "boom")->Body = [] { throw std::runtime_error("bad thing"); };
	Listen("Unknown", ACTION_NORMAL, "unknown")->Body = [] { throw 42; };
	Listen("After", ACTION_NORMAL, "after");
	mMan.ActionGenerated("Boom", nullptr, ACTION_NORMAL);
	mMan.ActionGenerated("Unknown", nullptr, ACTION_NORMAL);
	mMan.ActionGenerated("After", nullptr, ACTION_NORMAL);
	mMan.ExecuteActions(ACTION_NORMAL);

	EXPECT_EQ(CountLines(logs::Error, "handler of 'Boom' threw exception: bad thing"), 1u);
	EXPECT_EQ(CountLines(logs::Error, "handler of 'Unknown' threw unknown exception"), 1u);
	EXPECT_EQ(mRecorder.Take(), std::vector<std::string>{"after:After"});
}

// ---- removal ----

TEST_F(TActionManTest, RemovalByNameDropsQueuedEntriesOfEveryType)
{
	Listen("Gone", ACTION_NORMAL, "normal");
	Listen("Gone", ACTION_THREAD_SAFE, "safe");
	Listen("Kept", ACTION_THREAD_SAFE, "kept");
	int payload = 0;
	EXPECT_EQ(mMan.ActionGenerated("Gone", &payload, ACTION_ANY), 2u);
	EXPECT_EQ(mMan.ActionGenerated("Kept", &payload, ACTION_ANY), 1u);

	mMan.UnregisterAction("Gone");
	mMan.UnregisterAction("");
	EXPECT_EQ(mMan.Pending(4), 1u);
	// The removal is applied by whichever type runs first; the other queue keeps its entry.
	mMan.ExecuteActions(ACTION_NORMAL);
	EXPECT_EQ(mMan.GetAction("Gone"), nullptr);
	EXPECT_EQ(mDestroyed.load(), 2);
	EXPECT_EQ(mMan.Queued(ACTION_THREAD_SAFE), 2u);
	mMan.ExecuteActions(ACTION_THREAD_SAFE);
	EXPECT_EQ(mRecorder.Take(), std::vector<std::string>{"kept:Kept"});
	EXPECT_EQ(mMan.Queued(ACTION_THREAD_SAFE), 0u);
}

TEST_F(TActionManTest, RemovalAndNewListenerOfTheSameNameInOneCall)
{
	Listen("Again", ACTION_NORMAL, "old");
	mMan.ActionGenerated("Again", nullptr, ACTION_NORMAL);
	mMan.UnregisterAction("Again");
	mMan.AddActionListener("Again", new TestHandler(mRecorder, "new", &mDestroyed), ACTION_NORMAL);
	mMan.ExecuteActions(ACTION_NORMAL);
	// The queued entry belonged to the removed action.
	EXPECT_TRUE(mRecorder.Take().empty());
	EXPECT_EQ(mDestroyed.load(), 1);
	mMan.ActionGenerated("Again", nullptr, ACTION_NORMAL);
	mMan.ExecuteActions(ACTION_NORMAL);
	EXPECT_EQ(mRecorder.Take(), std::vector<std::string>{"new:Again"});
}

TEST_F(TActionManTest, RemovalByRelatedObjectTakesItsHandlersFromEveryAction)
{
	mMan.SetAsyncRunner(&mRunner);
	int ownerA = 0;
	int ownerB = 0;
	Listen("First", ACTION_NORMAL, "a1", TActionHandler::ahtExecuteEndless, &ownerA);
	Listen("First", ACTION_NORMAL, "b1", TActionHandler::ahtExecuteEndless, &ownerB);
	Listen("Second", ACTION_THREAD_SAFE, "a2", TActionHandler::ahtExecuteEndless, &ownerA);
	Listen("Second", ACTION_ASYNC, "a3", TActionHandler::ahtExecuteEndless, &ownerA);

	mMan.UnregisterAllActionHandlersByRelatedObject(&ownerA);
	mMan.ExecuteActions(ACTION_DRAW);
	EXPECT_EQ(mDestroyed.load(), 3);
	EXPECT_EQ(mMan.GetAction("First")->GetHandlersCount(ACTION_ANY), 1u);
	EXPECT_EQ(mMan.GetAction("Second")->GetHandlersCount(ACTION_ANY), 0u);
	// Actions stay, with or without handlers.
	EXPECT_EQ(mMan.ActionCount(), 2u);

	mMan.ActionGenerated("First", nullptr, ACTION_ANY);
	EXPECT_EQ(mMan.ActionGenerated("Second", nullptr, ACTION_ANY), 0u);
	mMan.ExecuteAll();
	mRunner.ClearAllTasks();
	EXPECT_EQ(mRecorder.Take(), std::vector<std::string>{"b1:First"});
}

TEST_F(TActionManTest, ActionUnregistersHandlersDirectly)
{
	AsyncTaskRunner runner;
	TAction action("Direct", &runner);
	std::atomic<int> destroyed{0};
	int owner = 0;
	auto* normal = new TestHandler(mRecorder, "n", &destroyed);
	auto* safe = new TestHandler(mRecorder, "s", &destroyed, TActionHandler::ahtExecuteEndless, &owner);
	auto* async = new TestHandler(mRecorder, "a", &destroyed, TActionHandler::ahtExecuteEndless, &owner);
	action.RegisterActionHandler(normal, ACTION_NORMAL);
	action.RegisterActionHandler(normal, ACTION_THREAD_SAFE); // one object, one registration
	action.RegisterActionHandler(safe, ACTION_THREAD_SAFE);
	action.RegisterActionHandler(async, ACTION_ASYNC);
	action.RegisterActionHandler(nullptr, ACTION_NORMAL);
	EXPECT_EQ(action.GetHandlersCount(ACTION_NORMAL), 1u);
	EXPECT_EQ(action.GetHandlersCount(ACTION_THREAD_SAFE), 1u);
	EXPECT_EQ(action.GetHandlersCount(ACTION_ASYNC), 1u);
	EXPECT_EQ(action.GetHandlersCount(ACTION_ANY), 3u);

	// Wrong list: nothing happens.
	EXPECT_EQ(action.UnregisterActionHandler(normal, true, ACTION_THREAD_SAFE), 0);
	EXPECT_EQ(action.GetHandlersCount(ACTION_NORMAL), 1u);
	// Given back without deletion; the wrapped handler is found by its own pointer.
	action.UnregisterActionHandler(normal, false, ACTION_ANY);
	action.UnregisterActionHandler(async, false, ACTION_ASYNC);
	EXPECT_EQ(action.GetHandlersCount(ACTION_ANY), 1u);
	EXPECT_EQ(destroyed.load(), 0);
	delete normal;
	delete async;
	EXPECT_EQ(destroyed.load(), 2);

	EXPECT_EQ(action.UnregisterActionHandlersByRelatedObject(&owner, true), 1);
	EXPECT_EQ(destroyed.load(), 3);
	EXPECT_EQ(action.GetHandlersCount(ACTION_ANY), 0u);
}

TEST_F(TActionManTest, DestroyingTheManagerDeletesActionsAndPendingHandlers)
{
	std::atomic<int> destroyed{0};
	{
		TestActionMan man;
		man.AddActionListener("Applied", new TestHandler(mRecorder, "a", &destroyed), ACTION_NORMAL);
		man.ExecuteActions(ACTION_NORMAL);
		man.AddActionListener("Pending", new TestHandler(mRecorder, "p", &destroyed), ACTION_THREAD_SAFE);
		man.ActionGenerated("Applied", nullptr, ACTION_ANY);
	}
	EXPECT_EQ(destroyed.load(), 2);
	EXPECT_TRUE(mRecorder.Take().empty());
}

// ---- threads ----

// Generators, registrations and removals from other threads while the owner executes.
TEST_F(TActionManTest, OtherThreadsGenerateAndRegisterWhileTheOwnerExecutes)
{
	mMan.SetAsyncRunner(&mRunner);
	Listen("Tick", ACTION_NORMAL, "tick");
	Listen("Tick", ACTION_THREAD_SAFE, "tick-safe");
	constexpr int kPerThread = 200;
	std::atomic<int> done{0};
	std::vector<std::thread> threads;
	for (int t = 0; t < 2; ++t)
		threads.emplace_back(
		    [&]
		    {
			    for (int i = 0; i < kPerThread; ++i)
				    mMan.GenerateAction("Tick", nullptr, ACTION_NORMAL);
			    ++done;
		    });
	threads.emplace_back(
	    [&]
	    {
		    for (int i = 0; i < 50; ++i)
		    {
			    const std::string name = "Temp" + std::to_string(i % 5);
			    mMan.AddActionListener(name, new TestHandler(mRecorder, "temp", &mDestroyed), ACTION_ASYNC);
			    mMan.GenerateAction(name, nullptr, ACTION_ANY);
			    mMan.GetAction(name);
			    if (i % 3 == 0)
				    mMan.UnregisterAction(name);
		    }
		    ++done;
	    });

	const auto deadline = std::chrono::steady_clock::now() + 10s;
	while (done.load() < 3 && std::chrono::steady_clock::now() < deadline)
	{
		mMan.ExecuteAll();
		std::this_thread::sleep_for(1ms);
	}
	for (auto& t : threads)
		t.join();
	mMan.ExecuteAll();
	mRunner.ClearAllTasks();

	size_t ticks = 0;
	for (const auto& call : mRecorder.Take())
		if (call == "tick:Tick")
			++ticks;
	EXPECT_EQ(ticks, 2u * kPerThread);
}
