#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

// A counting semaphore that saturates at its maximum: releasing a full one changes nothing, so a
// "something happened" signal can be given any number of times without overflowing.
class Semaphore
{
public:
	explicit Semaphore(size_t maxCount = 1, size_t initial = 0)
	    : mMax(maxCount == 0 ? 1 : maxCount), mCount(initial < mMax ? initial : mMax)
	{
	}
	Semaphore(const Semaphore&) = delete;
	Semaphore& operator=(const Semaphore&) = delete;

	void Release()
	{
		{
			std::lock_guard<std::mutex> lock(mMutex);
			if (mCount == mMax)
				return;
			++mCount;
		}
		mChanged.notify_one();
	}

	void Acquire()
	{
		std::unique_lock<std::mutex> lock(mMutex);
		mChanged.wait(lock, [this] { return mCount > 0; });
		--mCount;
	}

	// True when it was acquired before the timeout.
	template <class Rep, class Period>
	bool TryAcquireFor(const std::chrono::duration<Rep, Period>& timeout)
	{
		std::unique_lock<std::mutex> lock(mMutex);
		if (!mChanged.wait_for(lock, timeout, [this] { return mCount > 0; }))
			return false;
		--mCount;
		return true;
	}

	bool TryAcquire() { return TryAcquireFor(std::chrono::milliseconds(0)); }

	size_t Count() const
	{
		std::lock_guard<std::mutex> lock(mMutex);
		return mCount;
	}

private:
	const size_t mMax;
	size_t mCount;
	mutable std::mutex mMutex;
	std::condition_variable mChanged;
};
