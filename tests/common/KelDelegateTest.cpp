#include "common/KelDelegate.h"
#include <gtest/gtest.h>

#include <tbb/task_arena.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace
{
using namespace std::chrono_literals;

using FSyncEvent = SimpleSyncDelegate<int>;
using FParallelEvent = SimpleDelegate<int>;

void Nothing(int)
{
}

TEST(DelegateHandle, IdentifiersStartAtOneAndGrowAcrossBothKindsOfBinding)
{
	FSyncEvent twoBinds;
	const auto first = twoBinds.bind(Nothing);
	const auto second = twoBinds.bind(Nothing);
	EXPECT_EQ(first->ID(), 1u);
	EXPECT_EQ(second->ID(), 2u);

	FSyncEvent localThenBind;
	localThenBind.bindLocal(Nothing);
	const auto afterLocal = localThenBind.bind(Nothing);
	EXPECT_EQ(afterLocal->ID(), 2u);

	// A freed identifier is not handed out again.
	FSyncEvent reuse;
	auto dropped = reuse.bind(Nothing);
	dropped.reset();
	const auto next = reuse.bind(Nothing);
	EXPECT_EQ(next->ID(), 2u);
}

TEST(DelegateHandle, DroppingTheOnlyHandleDetachesTheHandler)
{
	FSyncEvent event;
	int calls = 0;
	event += Nothing;
	auto handle = event.bind([&](int) { ++calls; });
	ASSERT_EQ(event.num(), 2u);

	handle.reset();
	EXPECT_EQ(event.num(), 1u);
	EXPECT_EQ(event(0), 1u);
	EXPECT_EQ(calls, 0);
}

TEST(DelegateHandle, ACopyKeepsTheHandlerAttached)
{
	FSyncEvent event;
	int calls = 0;
	auto handle = event.bind([&](int) { ++calls; });
	auto copy = handle;

	handle.reset();
	EXPECT_EQ(event.num(), 1u);
	EXPECT_TRUE(copy->Valid());
	event(0);
	EXPECT_EQ(calls, 1);
}

TEST(DelegateHandle, HandlesOutlivingTheirDelegateAreDetachedAndHarmless)
{
	auto event = std::make_unique<FParallelEvent>();
	auto handle = event->bind(Nothing);
	auto copy = handle;
	auto other = event->bind(Nothing);
	event->bindLocal(Nothing);

	event.reset();
	EXPECT_EQ(handle->ID(), 0u);
	EXPECT_FALSE(other->Valid());

	// ASan catches any touch of the dead delegate here.
	handle.reset();
	copy->Invalidate();
	copy.reset();
	other.reset();
}

TEST(DelegateHandle, RemoveAndClearDetachRecordsButKeepCountingIdentifiers)
{
	FSyncEvent event;
	auto removed = event.bind(Nothing);
	auto kept = event.bind(Nothing);
	event -= removed;
	EXPECT_EQ(removed->ID(), 0u);
	EXPECT_EQ(event.num(), 1u);

	// A record of another delegate is not ours to remove.
	FSyncEvent other;
	auto foreign = other.bind(Nothing);
	event -= foreign;
	EXPECT_EQ(foreign->ID(), 1u);
	EXPECT_EQ(other.num(), 1u);

	event += Nothing;
	event.clear();
	EXPECT_EQ(event.num(), 0u);
	EXPECT_EQ(kept->ID(), 0u);
	EXPECT_EQ(event.bind(Nothing)->ID(), 4u);
}

TEST(SyncDelegate, CallsHandlersInAttachmentOrder)
{
	FSyncEvent event;
	std::vector<int> order;
	auto first = event.bind([&](int v) { order.push_back(v + 1); });
	event += [&](int v) { order.push_back(v + 2); };
	auto third = event.bind([&](int v) { order.push_back(v + 3); });
	event += [&](int v) { order.push_back(v + 4); };

	EXPECT_EQ(event(10), 4u);
	EXPECT_EQ(order, (std::vector<int>{11, 12, 13, 14}));
}

TEST(SyncDelegate, SkipsAHandlerDroppedEarlierInTheSameDispatch)
{
	FSyncEvent event;
	int laterCalls = 0;
	DelegateHandle later;
	event += [&](int) { later.reset(); };
	later = event.bind([&](int) { ++laterCalls; });

	EXPECT_EQ(event(0), 2u);
	EXPECT_EQ(laterCalls, 0);
}

TEST(ParallelDelegate, WaitsForEveryHandler)
{
	FParallelEvent event;
	constexpr int kHandlers = 4;
	std::atomic<bool> done[kHandlers] = {};
	std::vector<DelegateHandle> handles;
	for (int i = 0; i < kHandlers; ++i)
		handles.push_back(event.bind(
		    [&done, i](int)
		    {
			    std::this_thread::sleep_for(50ms);
			    done[i] = true;
		    }));

	EXPECT_EQ(event(0), static_cast<uint64_t>(kHandlers));
	for (int i = 0; i < kHandlers; ++i)
		EXPECT_TRUE(done[i]) << "handler " << i;
}

TEST(ParallelDelegate, RunsHandlersConcurrently)
{
	// Each handler waits, bounded, until both have arrived: only possible if they overlap.
	FParallelEvent event;
	std::atomic<int> arrived{0};
	std::atomic<int> metPartner{0};
	std::atomic<bool> singleThreaded{false};
	const auto meet = [&](int)
	{
		if (tbb::this_task_arena::max_concurrency() < 2)
		{
			singleThreaded = true;
			return;
		}
		++arrived;
		const auto deadline = std::chrono::steady_clock::now() + 5s;
		while (arrived < 2 && std::chrono::steady_clock::now() < deadline)
			std::this_thread::sleep_for(1ms);
		if (arrived >= 2)
			++metPartner;
	};
	event += meet;
	event += meet;

	EXPECT_EQ(event(0), 2u);
	if (singleThreaded)
		GTEST_SKIP() << "handlers run in an arena of one thread";
	EXPECT_EQ(metPartner, 2);
}

template <class D>
class DelegateDispatch : public ::testing::Test
{
};
using Flavours = ::testing::Types<FSyncEvent, FParallelEvent>;
TYPED_TEST_SUITE(DelegateDispatch, Flavours);

TYPED_TEST(DelegateDispatch, EmptyDelegateReturnsZero)
{
	TypeParam event;
	EXPECT_FALSE(event.isBound());
	EXPECT_EQ(event(1), 0u);
}

TYPED_TEST(DelegateDispatch, EveryHandlerGetsTheArguments)
{
	TypeParam event;
	std::atomic<int> sum{0};
	auto handle = event.bind([&](int v) { sum += v; });
	event += [&](int v) { sum += v; };
	EXPECT_TRUE(event.isBound());
	EXPECT_EQ(event(21), 2u);
	EXPECT_EQ(sum, 42);
}

TYPED_TEST(DelegateDispatch, FailingHandlersDoNotStopTheOthers)
{
	TypeParam event;
	std::atomic<int> calls{0};
	event += [&](int) { ++calls; };
	event += [](int) { throw std::runtime_error("handler failed"); };
	event += typename TypeParam::handler_function(); // calling it throws std::bad_function_call
	auto throwing = event.bind([](int) { throw 7; });
	event += [&](int) { ++calls; };

	EXPECT_EQ(event(0), 5u);
	EXPECT_EQ(calls, 2);
}

TYPED_TEST(DelegateDispatch, HandlerAttachedDuringDispatchRunsFromTheNextOne)
{
	TypeParam event;
	std::atomic<int> lateCalls{0};
	std::atomic<bool> attached{false};
	DelegateHandle late;
	event += [&](int)
	{
		if (!attached.exchange(true))
			late = event.bind([&](int) { ++lateCalls; });
	};

	EXPECT_EQ(event(0), 1u);
	EXPECT_EQ(lateCalls, 0);
	EXPECT_EQ(event(0), 2u);
	EXPECT_EQ(lateCalls, 1);
}

TYPED_TEST(DelegateDispatch, HandlerCanDropItsOwnHandle)
{
	TypeParam event;
	std::atomic<int> calls{0};
	DelegateHandle self;
	self = event.bind(
	    [&](int)
	    {
		    ++calls;
		    self.reset();
	    });

	EXPECT_EQ(event(0), 1u);
	EXPECT_EQ(event.num(), 0u);
	EXPECT_EQ(event(0), 0u);
	EXPECT_EQ(calls, 1);
}

TYPED_TEST(DelegateDispatch, ConcurrentBindDropAndDispatch)
{
	constexpr int kThreads = 4;
	constexpr int kRounds = 200;
	TypeParam event;
	std::atomic<int> calls{0};
	std::vector<std::thread> threads;
	for (int t = 0; t < kThreads; ++t)
		threads.emplace_back(
		    [&, t]
		    {
			    for (int round = 0; round < kRounds; ++round)
			    {
				    auto handle = event.bind([&](int) { ++calls; });
				    auto copy = handle;
				    if (round % 50 == 0)
					    event += [&](int) { ++calls; };
				    EXPECT_GE(event(t), 1u);
				    handle.reset();
				    if (round % 2 == 0)
					    event -= copy;
			    }
		    });
	for (auto& thread : threads)
		thread.join();

	EXPECT_EQ(event.num(), static_cast<uint64_t>(kThreads * kRounds / 50));
	EXPECT_GE(calls, kThreads * kRounds);
}

TYPED_TEST(DelegateDispatch, HandlesDroppedWhileTheDelegateDies)
{
	constexpr int kHandles = 16;
	for (int round = 0; round < 200; ++round)
	{
		auto event = std::make_unique<TypeParam>();
		std::vector<DelegateHandle> handles;
		for (int i = 0; i < kHandles; ++i)
			handles.push_back(event->bind(Nothing));
		const auto watched = handles.front();

		// Both threads spin until the other is there, so drops and destruction overlap; a yield
		// here lets them drift apart and hides the race this test is for.
		std::atomic<int> ready{0};
		const auto startTogether = [&ready]
		{
			++ready;
			while (ready < 2)
			{
			}
		};
		std::thread dropper(
		    [&]
		    {
			    startTogether();
			    handles[1]->Invalidate();
			    handles.clear();
		    });
		startTogether();
		event.reset();
		dropper.join();
		EXPECT_EQ(watched->ID(), 0u);
	}
}

} // namespace
