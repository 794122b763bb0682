#include "common/AsyncTaskRunner.h"

#include <chrono>
#include <exception>
#include <utility>

DEFINE_LOG_CATEGORY(LogTasks, "tasks");

namespace
{
enum class EOrigin
{
	OneOff,
	Queued
};

void LogFailure(EOrigin origin, const char* what) noexcept
{
	if (origin == EOrigin::OneOff)
		KEL_LOG(LogTasks, logs::Error, "Async task unhandled exception...%s", what);
	else
		KEL_LOG(LogTasks, logs::Error, "Async queue task unhandled exception...%s", what);
}

bool IsReady(const std::future<void>& f)
{
	return f.wait_for(std::chrono::seconds(0)) != std::future_status::timeout;
}

// Waits for the function if needed; its exception ends here, logged.
void TakeResult(std::future<void>& f, EOrigin origin) noexcept
{
	if (!f.valid())
		return;
	try
	{
		f.get();
	}
	catch (const std::exception& e)
	{
		LogFailure(origin, e.what());
	}
	catch (...)
	{
		LogFailure(origin, "unknown exception");
	}
}

void RunHere(const std::function<void()>& task) noexcept
{
	if (!task)
		return;
	try
	{
		task();
	}
	catch (const std::exception& e)
	{
		LogFailure(EOrigin::Queued, e.what());
	}
	catch (...)
	{
		LogFailure(EOrigin::Queued, "unknown exception");
	}
}
} // namespace

// ---- TaskQueue ----

AsyncTaskRunner::TaskQueue::~TaskQueue()
{
	ScopedLock lock(this);
	TakeResult(mLastQueuedTask, EOrigin::Queued);
	while (!empty())
	{
		std::function<void()> task = std::move(front());
		pop();
		RunHere(task);
	}
}

void AsyncTaskRunner::TaskQueue::Add(const std::function<void()>& task)
{
	ScopedLock lock(this);
	if (mLastQueuedTask.valid())
		push(task);
	else
		mLastQueuedTask = std::async(std::launch::async, task);
}

bool AsyncTaskRunner::TaskQueue::Check()
{
	ScopedLock lock(this);
	if (mLastQueuedTask.valid() && !IsReady(mLastQueuedTask))
		return true;
	TakeResult(mLastQueuedTask, EOrigin::Queued);
	if (empty())
		return false;
	// Popped only once started: a failed start leaves it pending.
	mLastQueuedTask = std::async(std::launch::async, front());
	pop();
	return true;
}

size_t AsyncTaskRunner::TaskQueue::Pending() const
{
	ScopedLock lock(this);
	return size();
}

// ---- AsyncTaskRunner ----

AsyncTaskRunner::~AsyncTaskRunner()
{
	ClearAllTasks();
}

void AsyncTaskRunner::DoAsyncTask(const std::function<void()>& task)
{
	if (!task)
		return;
	std::future<void> started = std::async(std::launch::async, task);
	ScopedLock lock(mAsyncTasks);
	mAsyncTasks->push_back(std::move(started));
}

void AsyncTaskRunner::QueueAsyncTask(const std::function<void()>& task, const std::string& queue_id, size_t maxTasks)
{
	if (!task)
		return;
	ScopedLock lock(mTaskQueues);
	TaskQueue& queue = (&mTaskQueues)[queue_id];
	if (maxTasks == 0 || queue.Pending() < maxTasks)
		queue.Add(task);
}

void AsyncTaskRunner::CheckAsyncTasks()
{
	// Results are taken after the list lock is released, so a slow or failing one blocks nobody.
	std::list<std::future<void>> finished;
	{
		ScopedLock lock(mAsyncTasks);
		auto& tasks = &mAsyncTasks;
		for (auto it = tasks.begin(); it != tasks.end();)
		{
			auto next = std::next(it);
			if (!it->valid())
				tasks.erase(it);
			else if (IsReady(*it))
				finished.splice(finished.end(), tasks, it);
			it = next;
		}
	}
	for (auto& f : finished)
		TakeResult(f, EOrigin::OneOff);

	ScopedLock lock(mTaskQueues);
	auto& queues = &mTaskQueues;
	for (auto it = queues.begin(); it != queues.end();)
	{
		if (it->second.Check())
			++it;
		else
			it = queues.erase(it);
	}
}

void AsyncTaskRunner::ClearAsyncTaskQueue(const std::string& id)
{
	// Destroyed after the map lock is released: runs the moved functions on this thread.
	TaskQueue moved;
	{
		ScopedLock lock(mTaskQueues);
		auto it = mTaskQueues->find(id);
		if (it == mTaskQueues->end())
			return;
		ScopedLock queueLock(it->second);
		static_cast<std::queue<std::function<void()>>&>(moved).swap(it->second);
	}
}

void AsyncTaskRunner::ClearAllTasks()
{
	std::list<std::future<void>> futures;
	std::map<std::string, TaskQueue> queues;
	{
		ScopedLock lock(mAsyncTasks);
		futures.swap(&mAsyncTasks);
	}
	{
		ScopedLock lock(mTaskQueues);
		queues.swap(&mTaskQueues);
	}
	queues.clear();
	for (auto& f : futures)
		TakeResult(f, EOrigin::OneOff);
}
