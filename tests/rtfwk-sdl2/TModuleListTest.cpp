#include "TModuleList.h"
#include "QuietLogTest.h"

#include "TActionMan.h"
#include "TAppModule.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace rtfwk_sdl2;
using namespace std::chrono_literals;

namespace
{
size_t CountAppLines(logs::EVerbosity v, const std::string& message)
{
	size_t n = 0;
	for (const auto& line : LinesOf("app"))
		if (line.Verbosity == v && line.Message == message)
			++n;
	return n;
}

// What the modules did, in order, as "<name>:<what>".
using Journal = std::vector<std::string>;

class TestModule : public TAppModule
{
public:
	TestModule(Journal* journal, std::atomic<int>* destroyed) : mJournal(journal), mDestroyed(destroyed) {}
	~TestModule() override
	{
		if (mDestroyed != nullptr)
			++*mDestroyed;
	}

	void Poll() override
	{
		Note("poll");
		if (PollBody)
			PollBody();
		TAppModule::Poll();
	}
	bool ReadyToExit() const override
	{
		const_cast<TestModule*>(this)->Note("ready?");
		return Ready;
	}
	int Unload() override
	{
		Note("unload");
		if (ThrowOnUnload)
			throw std::runtime_error("unload failed");
		TAppModule::Unload();
		return UnloadCode;
	}
	void RequestClose() override { Note("close"); }
	void OnEnable() override { Note("on-enable"); }
	void OnDisable() override { Note("on-disable"); }

	void Note(const std::string& what)
	{
		if (mJournal != nullptr)
			mJournal->push_back(Name() + ":" + what);
	}

	bool Ready = true;
	int UnloadCode = 0;
	bool ThrowOnUnload = false;
	std::function<void()> PollBody;

private:
	Journal* mJournal;
	std::atomic<int>* mDestroyed;
};

class TestModuleList : public TModuleList
{
public:
	// Priority and state of each listed module, in list order.
	std::vector<std::tuple<int, std::string, EModuleState>> Entries() const
	{
		std::vector<std::tuple<int, std::string, EModuleState>> out;
		for (const auto& entry : ModuleList.getCopy())
			out.emplace_back(entry.first, entry.second.Module->Name(), entry.second.State);
		return out;
	}
	size_t Size() const { return ModuleList.getCopy().size(); }
};

class TModuleListTest : public QuietLogTest
{
protected:
	void SetUp() override
	{
		QuietLogTest::SetUp();
		pModuleHost = &mList;
	}
	void TearDown() override
	{
		mList.DestroyModules();
		pModuleHost = nullptr;
		QuietLogTest::TearDown();
	}

	// A module listed (and loaded) through InitAndLoad; the list owns it.
	TestModule* Listed(const std::string& name, int priority, bool load = true)
	{
		auto* module = new TestModule(&mJournal, &mDestroyed);
		if (load)
			EXPECT_EQ(module->InitAndLoad(name, nullptr, priority), 0);
		else
			EXPECT_EQ(module->InitOnly(name, priority), 0);
		return module;
	}
	Journal TakeJournal()
	{
		Journal out;
		out.swap(mJournal);
		return out;
	}

	Journal mJournal;
	std::atomic<int> mDestroyed{0};
	TestModuleList mList;
};
} // namespace

// ---- the list ----

TEST_F(TModuleListTest, AddModuleListsAndLogs)
{
	EXPECT_EQ(mList.AddModule(nullptr, 1), -1);
	TestModule* a = Listed("alpha", 3);
	EXPECT_EQ(CountAppLines(logs::Normal, "Module alpha added."), 1u);
	EXPECT_EQ(mList.GetModuleByName("alpha"), a);
	EXPECT_EQ(mList.GetModuleByName("beta"), nullptr);
	EXPECT_EQ(mList.GetModuleByName(""), nullptr);
	EXPECT_EQ(mList.Entries(), (std::vector<std::tuple<int, std::string, TModuleList::EModuleState>>{
	                               {3, "alpha", TModuleList::Running}}));
}

TEST_F(TModuleListTest, DuplicateNameIsRefusedAndTheListUnchanged)
{
	TestModule* first = Listed("dup", 1);
	auto second = std::make_unique<TestModule>(&mJournal, &mDestroyed);
	second->SetName("dup");
	EXPECT_EQ(mList.AddModule(second.get(), 0), -2);
	EXPECT_EQ(CountAppLines(logs::Warning, "Module dup already exists in this application."), 1u);
	EXPECT_EQ(mList.Entries(),
	          (std::vector<std::tuple<int, std::string, TModuleList::EModuleState>>{{1, "dup", TModuleList::Running}}));
	EXPECT_EQ(mList.GetModuleByName("dup"), first);

	// InitOnly does not pass the refusal on: the module stays with its creator.
	auto third = std::make_unique<TestModule>(&mJournal, &mDestroyed);
	EXPECT_EQ(third->InitOnly("dup", 5), 0);
	EXPECT_EQ(mList.Size(), 1u);
	EXPECT_EQ(mList.GetModuleByName("dup"), first);
}

TEST_F(TModuleListTest, NegativePriorityIsRaisedToZero)
{
	Listed("late", 2);
	Listed("negative", -5);
	EXPECT_EQ(mList.Entries(), (std::vector<std::tuple<int, std::string, TModuleList::EModuleState>>{
	                               {0, "negative", TModuleList::Running}, {2, "late", TModuleList::Running}}));
}

TEST_F(TModuleListTest, EqualPrioritiesKeepInsertionOrder)
{
	Listed("b", 1);
	Listed("a", 1);
	Listed("c", 0);
	EXPECT_EQ(mList.Entries(),
	          (std::vector<std::tuple<int, std::string, TModuleList::EModuleState>>{
	              {0, "c", TModuleList::Running}, {1, "b", TModuleList::Running}, {1, "a", TModuleList::Running}}));
}

TEST_F(TModuleListTest, DropModule)
{
	TestModule* direct = Listed("direct", 0);
	TestModule* named = Listed("named", 0);
	auto stranger = std::make_unique<TestModule>(&mJournal, &mDestroyed);
	stranger->SetName("stranger");

	EXPECT_EQ(mList.DropModule(static_cast<TAppModule*>(nullptr)), -1);
	EXPECT_EQ(mList.DropModule(std::string()), -1);
	EXPECT_EQ(mList.DropModule(stranger.get()), -2);
	EXPECT_EQ(mList.DropModule("stranger"), -2);
	EXPECT_EQ(mList.Size(), 2u);

	// Dropped modules are not deleted: they belong to the caller again.
	std::unique_ptr<TAppModule> ownDirect(direct);
	EXPECT_EQ(mList.DropModule(direct), 0);
	EXPECT_EQ(CountAppLines(logs::Important, "Dropping module direct directly"), 1u);
	std::unique_ptr<TAppModule> ownNamed(named);
	EXPECT_EQ(mList.DropModule("named"), 0);
	EXPECT_EQ(CountAppLines(logs::Important, "Dropping module named"), 1u);
	EXPECT_EQ(mList.Size(), 0u);
	EXPECT_EQ(mDestroyed.load(), 0);
	EXPECT_EQ(mList.DropModule(direct), -2);
}

// ---- destruction ----

TEST_F(TModuleListTest, DestroyModulesOnAnEmptyListLogsNothing)
{
	const size_t before = LinesOf("").size();
	EXPECT_EQ(mList.DestroyModules(), 0);
	EXPECT_EQ(LinesOf("").size(), before);
}

TEST_F(TModuleListTest, DestroyModulesUnloadsAndDeletesLowestPriorityFirst)
{
	TActionMan actions;
	mList.SetActionManager(&actions);
	TestModule* second = Listed("second", 4);
	TestModule* failing = Listed("failing", 2);
	failing->UnloadCode = 3;
	TestModule* first = Listed("first", 1);
	struct Handler : TActionHandler
	{
		using TActionHandler::TActionHandler;
		void execute(std::string, void*) override {}
	};
	actions.AddActionListener("Owned", new Handler(first, TActionHandler::ahtExecuteEndless), ACTION_NORMAL);
	actions.AddActionListener("Owned", new Handler(second, TActionHandler::ahtExecuteEndless), ACTION_NORMAL);
	actions.AddActionListener("Owned", new Handler(&actions, TActionHandler::ahtExecuteEndless), ACTION_NORMAL);
	actions.ExecuteActions(ACTION_NORMAL);
	ASSERT_EQ(actions.GetAction("Owned")->GetHandlersCount(ACTION_NORMAL), 3u);
	TakeJournal();

	EXPECT_EQ(mList.DestroyModules(), 0);
	EXPECT_EQ(TakeJournal(), (Journal{"first:unload", "failing:unload", "second:unload"}));
	EXPECT_EQ(mDestroyed.load(), 3);
	EXPECT_EQ(mList.Size(), 0u);
	EXPECT_EQ(CountAppLines(logs::Info, "Module first shut down successfully!"), 1u);
	EXPECT_EQ(CountAppLines(logs::Warning, "Module failing closed with non-zero exit code 3!"), 1u);
	EXPECT_EQ(CountAppLines(logs::Info, "Module second shut down successfully!"), 1u);

	// The handlers related to the modules go at the next pass of the actions.
	actions.ExecuteActions(ACTION_DRAW);
	EXPECT_EQ(actions.GetAction("Owned")->GetHandlersCount(ACTION_NORMAL), 1u);
}

TEST_F(TModuleListTest, ModuleThatThrowsOnUnloadCountsAsFailedAndIsNotDeleted)
{
	TestModule* broken = Listed("broken", 0);
	broken->ThrowOnUnload = true;
	Listed("fine", 1);
	std::unique_ptr<TestModule> keep(broken);

	EXPECT_EQ(mList.DestroyModules(), 1);
	EXPECT_EQ(mDestroyed.load(), 1);
	EXPECT_EQ(mList.Size(), 0u);
	EXPECT_EQ(CountAppLines(logs::Info, "Module fine shut down successfully!"), 1u);
	for (const auto& line : LinesOf("app"))
		EXPECT_EQ(line.Message.find("broken shut down"), std::string::npos);
	broken->ThrowOnUnload = false;
}

TEST_F(TModuleListTest, ListDestructionDeletesModulesLeftInIt)
{
	std::atomic<int> destroyed{0};
	{
		TModuleList list;
		pModuleHost = &list;
		auto* module = new TestModule(nullptr, &destroyed);
		EXPECT_EQ(module->InitOnly("left", 0), 0);
	}
	EXPECT_EQ(destroyed.load(), 1);
	// The dying host stopped being the host.
	EXPECT_EQ(pModuleHost.load(), nullptr);
}

// ---- shutdown pass ----

TEST_F(TModuleListTest, ShutdownPassStopsAtTheFirstPriorityThatIsNotReady)
{
	using S = TModuleList::EModuleState;
	using Entries = std::vector<std::tuple<int, std::string, S>>;
	Listed("a", 0);
	TestModule* b = Listed("b", 0);
	b->Ready = false;
	TestModule* c = Listed("c", 1);
	c->Ready = false;
	Listed("d", 2);
	TakeJournal();

	EXPECT_FALSE(mList.ModulesShutdownPass());
	// Everything of priority 0 is asked; nothing beyond it.
	EXPECT_EQ(TakeJournal(), (Journal{"a:close", "a:ready?", "b:close", "b:ready?"}));
	EXPECT_EQ(mList.Entries(), (Entries{{0, "a", TModuleList::ReadyToUnload},
	                                    {0, "b", TModuleList::ShutdownRequested},
	                                    {1, "c", TModuleList::Running},
	                                    {2, "d", TModuleList::Running}}));

	// Not asked to close twice; ready ones are left alone.
	EXPECT_FALSE(mList.ModulesShutdownPass());
	EXPECT_EQ(TakeJournal(), (Journal{"b:ready?"}));

	b->Ready = true;
	EXPECT_FALSE(mList.ModulesShutdownPass());
	EXPECT_EQ(TakeJournal(), (Journal{"b:ready?", "c:close", "c:ready?"}));

	c->Ready = true;
	EXPECT_TRUE(mList.ModulesShutdownPass());
	EXPECT_EQ(TakeJournal(), (Journal{"c:ready?", "d:close", "d:ready?"}));
	EXPECT_EQ(mList.Entries(), (Entries{{0, "a", TModuleList::ReadyToUnload},
	                                    {0, "b", TModuleList::ReadyToUnload},
	                                    {1, "c", TModuleList::ReadyToUnload},
	                                    {2, "d", TModuleList::ReadyToUnload}}));
	EXPECT_TRUE(mList.ModulesShutdownPass());
	EXPECT_TRUE(TakeJournal().empty());
}

TEST_F(TModuleListTest, ShutdownPassWithoutModulesIsReady)
{
	EXPECT_TRUE(mList.ModulesShutdownPass());
}

// ---- polling ----

TEST_F(TModuleListTest, PollingFollowsPriorityAndSkipsUnloadedModules)
{
	Listed("third", 9);
	Listed("unloaded", 0, false);
	Listed("first", 1);
	Listed("second", 1);
	TakeJournal();
	mList.PollModules(1000);
	EXPECT_EQ(TakeJournal(), (Journal{"first:poll", "second:poll", "third:poll"}));
}

TEST_F(TModuleListTest, PollingWaitsForEachModulesInterval)
{
	TestModule* every = Listed("every", 0);
	TestModule* tenth = Listed("tenth", 1);
	EXPECT_EQ(every->PollInterval(), 0u);
	tenth->SetPollInterval(10);
	TakeJournal();

	struct Case
	{
		uint32_t now;
		Journal polled;
	};
	const Case cases[] = {
	    {1000, {"every:poll", "tenth:poll"}}, // never polled: due at once
	    {1002, {"every:poll"}},
	    {1010, {"every:poll"}}, // exactly the interval is not enough
	    {1011, {"every:poll", "tenth:poll"}},
	    {1011, {}}, // same tick: nothing has passed
	    {1015, {"every:poll"}},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.now);
		mList.PollModules(c.now);
		EXPECT_EQ(TakeJournal(), c.polled);
	}
}

TEST_F(TModuleListTest, SlowPollIsReported)
{
	TestModule* slow = Listed("slow", 0);
	slow->PollBody = [] { std::this_thread::sleep_for(5ms); };
	mList.PollModules(1000);

	const std::regex expected(R"(Polling of module 'slow' took pretty long! \([0-9]+\.[0-9]{2}ms\))");
	size_t warnings = 0;
	for (const auto& line : LinesOf("app"))
		if (line.Verbosity == logs::Warning)
		{
			++warnings;
			EXPECT_TRUE(std::regex_match(line.Message, expected)) << line.Message;
		}
	EXPECT_EQ(warnings, 1u);
}

TEST_F(TModuleListTest, ModuleDroppedDuringAPassIsNotPolled)
{
	TestModule* dropper = Listed("dropper", 0);
	TestModule* victim = Listed("victim", 1);
	std::unique_ptr<TAppModule> ownVictim;
	dropper->PollBody = [&]
	{
		mList.DropModule(victim);
		ownVictim.reset(victim);
	};
	TakeJournal();
	mList.PollModules(1000);
	EXPECT_EQ(TakeJournal(), (Journal{"dropper:poll"}));
	dropper->PollBody = nullptr;
}

// ---- modules ----

TEST_F(TModuleListTest, InitNeedsAHostAndAName)
{
	auto module = std::make_unique<TestModule>(&mJournal, &mDestroyed);
	EXPECT_EQ(module->InitOnly("", 0), -1);
	pModuleHost = nullptr;
	EXPECT_EQ(module->InitOnly("orphan", 0), -1);
	EXPECT_EQ(module->InitAndLoad("orphan", nullptr, 0), -1);
	EXPECT_FALSE(module->IsLoaded());
	EXPECT_FALSE(module->IsEnabled());
	pModuleHost = &mList;
	EXPECT_EQ(mList.Size(), 0u);
}

TEST_F(TModuleListTest, InitAndLoadNamesEnablesListsAndLoads)
{
	auto* module = new TestModule(&mJournal, &mDestroyed);
	EXPECT_EQ(module->InitAndLoad("loaded", nullptr, 2), 0);
	EXPECT_EQ(module->Name(), "loaded");
	EXPECT_EQ(module->LogComponentName, "loaded");
	EXPECT_TRUE(module->IsEnabled());
	EXPECT_TRUE(module->IsLoaded());
	EXPECT_EQ(mList.GetModuleByName("loaded"), module);
	EXPECT_EQ(module->GetLogCategory().Name, "app-module");
	EXPECT_TRUE(module->TAppModule::ReadyToExit());
	SDL_Event e{};
	EXPECT_FALSE(module->OnSDLEvent(e));
}

TEST_F(TModuleListTest, EnableAndDisableNotifyOnlyOnChange)
{
	TestModule* module = Listed("toggle", 0);
	TakeJournal();
	module->Enable();
	module->Disable();
	module->Disable();
	module->Enable();
	EXPECT_EQ(TakeJournal(), (Journal{"toggle:on-disable", "toggle:on-enable"}));
	EXPECT_TRUE(module->IsEnabled());
}

TEST_F(TModuleListTest, UnloadWaitsForTheModulesTasksAndFiresOnUnload)
{
	TestModule* module = Listed("tasks", 0);
	std::atomic<bool> taskDone{false};
	// The teardown unloads the module again.
	auto unloadEvents = std::make_shared<std::atomic<int>>(0);
	module->OnUnload += [unloadEvents] { ++*unloadEvents; };
	module->DoAsyncTask(
	    [&]
	    {
		    std::this_thread::sleep_for(20ms);
		    taskDone = true;
	    });
	EXPECT_EQ(module->TAppModule::Unload(), 0);
	EXPECT_TRUE(taskDone.load());
	EXPECT_EQ(unloadEvents->load(), 1);
}

TEST_F(TModuleListTest, DestroyUnloadsDropsAndDeletesAfterThePass)
{
	TestModule* self = Listed("self", 0);
	Listed("other", 1);
	std::atomic<int> unloadEvents{0};
	self->OnUnload += [&] { ++unloadEvents; };
	self->PollBody = [self]
	{
		EXPECT_EQ(self->Destroy(), 0);
		// A second call must not hand it over twice.
		EXPECT_EQ(self->Destroy(), 0);
	};
	TakeJournal();

	mList.PollModules(1000);
	EXPECT_EQ(TakeJournal(), (Journal{"self:poll", "self:unload", "self:unload", "other:poll"}));
	EXPECT_EQ(unloadEvents.load(), 2);
	EXPECT_EQ(mList.GetModuleByName("self"), nullptr);
	EXPECT_EQ(CountAppLines(logs::Important, "Dropping module self directly"), 1u);
	EXPECT_EQ(mDestroyed.load(), 0);

	mList.PollModules(1002);
	EXPECT_EQ(mDestroyed.load(), 1);
	EXPECT_EQ(TakeJournal(), (Journal{"other:poll"}));
}

TEST_F(TModuleListTest, DestroyWithoutAHostUnloadsAndLeavesTheModuleToItsOwner)
{
	auto module = std::make_unique<TestModule>(&mJournal, &mDestroyed);
	module->SetName("hostless");
	pModuleHost = nullptr;
	EXPECT_EQ(module->Destroy(), -1);
	EXPECT_EQ(TakeJournal(), (Journal{"hostless:unload"}));
	EXPECT_EQ(mDestroyed.load(), 0);
	pModuleHost = &mList;
}
