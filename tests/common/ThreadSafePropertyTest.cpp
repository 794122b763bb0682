#include "common/ThreadSafeProperty.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace
{
// Whether another thread could take the mutex right now.
template <class M>
bool LockableByOtherThread(M& mutex)
{
	return std::async(std::launch::async,
	                  [&]
	                  {
		                  if (!mutex.try_lock())
			                  return false;
		                  mutex.unlock();
		                  return true;
	                  })
	    .get();
}

// A future that stays pending proves the other thread is blocked (never a false pass).
template <class F>
bool StillPendingAfter(std::future<F>& f, std::chrono::milliseconds d)
{
	return f.wait_for(d) == std::future_status::timeout;
}
} // namespace

TEST(LockableTest, LockMarksOwnerAndUnlockClearsIt)
{
	Lockable<std::mutex> obj;
	EXPECT_FALSE(obj.IsLocked());
	obj.Lock();
	EXPECT_TRUE(obj.IsLocked());
	EXPECT_FALSE(std::async(std::launch::async, [&] { return obj.IsLocked(); }).get())
	    << "IsLocked answers for the calling thread only";
	obj.Unlock();
	EXPECT_FALSE(obj.IsLocked());
	EXPECT_TRUE(LockableByOtherThread(obj.native()));
}

TEST(LockableTest, CheckedLockAndUnlockOnlyActWhenNeeded)
{
	Lockable<std::mutex> obj;
	EXPECT_FALSE(obj.UnlockChecked());
	EXPECT_TRUE(obj.LockChecked());
	EXPECT_FALSE(obj.LockChecked()) << "a second checked lock must not self-deadlock";
	EXPECT_TRUE(obj.UnlockChecked());
	EXPECT_FALSE(obj.UnlockChecked());
	EXPECT_TRUE(LockableByOtherThread(obj.native()));
}

TEST(LockableTest, InnerUnlockOfRecursiveMutexClearsTheSingleMark)
{
	Lockable<std::recursive_mutex> obj;
	obj.Lock();
	obj.Lock();
	obj.Unlock();
	EXPECT_FALSE(obj.IsLocked()) << "the mark is one value, not a count";
	EXPECT_FALSE(LockableByOtherThread(obj.native())) << "the mutex is still held once";
	obj.native().unlock();
}

TEST(LockableTest, SharedHoldersNeverSetTheMark)
{
	SharedLockable obj;
	obj.LockShared();
	EXPECT_FALSE(obj.IsLocked());
	EXPECT_TRUE(std::async(std::launch::async,
	                       [&]
	                       {
		                       if (!obj.native().try_lock_shared())
			                       return false;
		                       obj.native().unlock_shared();
		                       return true;
	                       })
	                .get());
	EXPECT_FALSE(LockableByOtherThread(obj.native()));
	obj.UnlockShared();
}

TEST(ScopedLockTest, HoldsForItsScopeAndReleasesOnce)
{
	Lockable<std::mutex> obj;
	{
		ScopedLock lock(obj);
		EXPECT_FALSE(lock.Expired());
		EXPECT_TRUE(obj.IsLocked());
		EXPECT_FALSE(LockableByOtherThread(obj.native()));
		lock.Release();
		EXPECT_TRUE(lock.Expired());
		EXPECT_TRUE(LockableByOtherThread(obj.native()));
		// Somebody else's lock must survive the second Release and the destructor.
		obj.Lock();
		lock.Release();
	}
	EXPECT_TRUE(obj.IsLocked());
	obj.Unlock();
}

TEST(ScopedLockTest, NullGuardsHoldNothing)
{
	const ILockable* none = nullptr;
	ScopedLock a(none);
	CheckedScopedLock b(none);
	InverseScopedLock c(none);
	SharedScopedLock d(static_cast<const Lockable<std::shared_mutex>*>(nullptr));
	ScopedLock e;
	EXPECT_TRUE(a.Expired() && b.Expired() && c.Expired() && d.Expired() && e.Expired());
	a.Release();
	b.Release();
	c.Release();
	d.Release();
}

TEST(CheckedScopedLockTest, NestedOnPlainMutexLocksOnce)
{
	Lockable<std::mutex> obj;
	{
		CheckedScopedLock outer(obj);
		EXPECT_FALSE(outer.Expired());
		{
			CheckedScopedLock inner(obj);
			EXPECT_TRUE(inner.Expired());
		}
		EXPECT_TRUE(obj.IsLocked()) << "the inner guard must not unlock what it did not lock";
		EXPECT_FALSE(LockableByOtherThread(obj.native()));
	}
	EXPECT_FALSE(obj.IsLocked());
	EXPECT_TRUE(LockableByOtherThread(obj.native()));
}

TEST(InverseScopedLockTest, OnAnUnheldObjectDoesNothing)
{
	Lockable<std::mutex> obj;
	{
		InverseScopedLock inverse(obj);
		EXPECT_TRUE(inverse.Expired());
	}
	EXPECT_FALSE(obj.IsLocked());
	EXPECT_TRUE(LockableByOtherThread(obj.native())) << "release must not lock";
}

TEST(InverseScopedLockTest, LetsAnotherThreadInForTheScope)
{
	Lockable<std::mutex> obj;
	ScopedLock held(obj);
	{
		InverseScopedLock inverse(obj);
		EXPECT_FALSE(inverse.Expired());
		auto other = std::async(std::launch::async,
		                        [&]
		                        {
			                        ScopedLock lock(obj);
			                        return obj.IsLocked();
		                        });
		ASSERT_EQ(other.wait_for(10s), std::future_status::ready);
		EXPECT_TRUE(other.get());
	}
	EXPECT_TRUE(obj.IsLocked());
	EXPECT_FALSE(LockableByOtherThread(obj.native()));
}

TEST(SharedScopedLockTest, TakesNothingWhenHeldExclusively)
{
	Lockable<std::shared_mutex> obj;
	ScopedLock exclusive(obj);
	SharedScopedLock shared(obj);
	EXPECT_TRUE(shared.Expired());
}

TEST(SharedScopedLockTest, SharesWithReadersAndExcludesWriters)
{
	Lockable<std::shared_mutex> obj;
	SharedScopedLock shared(obj);
	EXPECT_FALSE(shared.Expired());
	EXPECT_FALSE(obj.IsLocked());
	SharedScopedLock second(obj);
	EXPECT_FALSE(second.Expired());
	EXPECT_FALSE(LockableByOtherThread(obj.native()));
	shared.Release();
	second.Release();
	EXPECT_TRUE(LockableByOtherThread(obj.native()));
}

namespace
{
std::atomic<int> gDestroyedWhileLocked{0};
void CountDestroyedWhileLocked()
{
	++gDestroyedWhileLocked;
}
} // namespace

TEST(LockableTest, DestroyedWhileMarkedReportsOnceAndCompletes)
{
	gDestroyedWhileLocked = 0;
	lockdiag::SetDestroyedWhileLockedHook(&CountDestroyedWhileLocked);
	{
		Lockable<std::mutex> quiet;
		quiet.Lock();
		quiet.Unlock();
	}
	EXPECT_EQ(gDestroyedWhileLocked, 0);
	{
		// Only the mark is set: destroying a held std::mutex would be undefined.
		ThreadSafeProperty<int> marked;
		marked.SoftLock();
	}
	EXPECT_EQ(gDestroyedWhileLocked, 1);
	lockdiag::SetDestroyedWhileLockedHook(nullptr);
}

TEST(ThreadSafePropertyTest, WholeValueCopiesAndAssignments)
{
	ThreadSafeProperty<std::string> a("alpha");
	ThreadSafeProperty<std::string> b(a);
	EXPECT_EQ(b.getCopy(), "alpha");
	b = std::string("beta");
	a = b;
	EXPECT_EQ(static_cast<std::string>(a), "beta");
	a = a;
	EXPECT_EQ(a.getCopy(), "beta") << "self-assignment must neither deadlock nor change the value";
	std::string out;
	a.copyInto(out);
	EXPECT_EQ(out, "beta");
	a.copyInto(nullptr);
	EXPECT_FALSE(a.IsLocked());
	EXPECT_FALSE(b.IsLocked());
}

TEST(ThreadSafePropertyTest, ElementAccessIsUnlockedAndBracketedByTheCaller)
{
	ThreadSafeProperty<std::map<int, int>, std::recursive_mutex> table;
	{
		ScopedLock lock(table);
		table->emplace(1, 10);
		(&table)[2] = 20;
		EXPECT_EQ(table.getCopy().size(), 2u) << "recursive: a copy inside the section works";
	}
	EXPECT_EQ(table->at(2), 20);
}

TEST(ThreadSafePropertyTest, GetCopyWaitsForSharedHolders)
{
	ThreadSafeProperty<std::map<int, int>, std::shared_mutex> table(std::map<int, int>{{1, 1}});
	table.native().lock_shared();
	auto copy = std::async(std::launch::async, [&] { return table.getCopy(); });
	EXPECT_TRUE(StillPendingAfter(copy, 50ms));
	table->emplace(2, 2);
	table.native().unlock_shared();
	ASSERT_EQ(copy.wait_for(10s), std::future_status::ready);
	EXPECT_EQ(copy.get().size(), 2u);
}

TEST(ThreadSafePropertyTest, GetCopyReleasesTheLockWhenCopyingThrows)
{
	struct Bomb
	{
		Bomb() = default;
		Bomb(const Bomb&) { throw std::runtime_error("copy failed"); }
		Bomb& operator=(const Bomb&) = default;
	};
	ThreadSafeProperty<Bomb> prop;
	EXPECT_THROW(prop.getCopy(), std::runtime_error);
	EXPECT_FALSE(prop.IsLocked());
	EXPECT_TRUE(LockableByOtherThread(prop.native()));
}

TEST(ThreadSafePropertyTest, ConcurrentWholeValueWritersAndReaders)
{
	ThreadSafeProperty<std::string, std::shared_mutex> value(std::string(64, 'a'));
	std::atomic<bool> torn{false};
	auto writer = [&](char c)
	{
		for (int i = 0; i < 2000; ++i)
			value = std::string(64, c);
	};
	auto reader = [&]
	{
		for (int i = 0; i < 2000; ++i)
		{
			SharedScopedLock lock(value);
			const std::string& s = &value;
			if (s.find_first_not_of(s[0]) != std::string::npos)
				torn = true;
		}
	};
	std::thread w1(writer, 'b'), w2(writer, 'c'), r1(reader), r2(reader);
	w1.join();
	w2.join();
	r1.join();
	r2.join();
	EXPECT_FALSE(torn);
}
