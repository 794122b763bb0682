#include "common/Semaphore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace std::chrono_literals;

TEST(SemaphoreTest, SaturatesAtItsMaximum)
{
	Semaphore semaphore(1);
	for (int i = 0; i < 5; ++i)
		semaphore.Release();
	EXPECT_EQ(semaphore.Count(), 1u);
	EXPECT_TRUE(semaphore.TryAcquireFor(0ms));
	EXPECT_FALSE(semaphore.TryAcquireFor(1ms));
}

TEST(SemaphoreTest, WakesAWaiter)
{
	Semaphore semaphore(1);
	std::thread releaser(
	    [&]
	    {
		    std::this_thread::sleep_for(5ms);
		    semaphore.Release();
	    });
	EXPECT_TRUE(semaphore.TryAcquireFor(3000ms));
	releaser.join();
}
