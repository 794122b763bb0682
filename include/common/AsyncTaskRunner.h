#pragma once
// One-off functions on threads of their own, and named queues whose functions run one after
// another, each on a new thread. Nothing runs the next queued function or collects results by
// itself: the owner polls CheckAsyncTasks() (the main loop, once per iteration).
//
// Exceptions of the functions never escape: they are logged under "tasks" where the result is
// taken (CheckAsyncTasks, or the clearing thread).

#include "common/Logger.h"
#include "common/ThreadSafeProperty.h"

#include <cstddef>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <queue>
#include <string>

// The timed tasks' category; here because the runner sits below the framework and logs under it.
DECLARE_LOG_CATEGORY(LogTasks, Verbose);

class AsyncTaskRunner
{
public:
	// Pending functions, and the future of the one started last.
	class TaskQueue : public std::queue<std::function<void()>>, public Lockable<std::recursive_mutex>
	{
	public:
		TaskQueue() = default;
		TaskQueue(const TaskQueue&) = delete;
		TaskQueue& operator=(const TaskQueue&) = delete;
		// Waits for the running function, then runs the pending ones on this thread.
		virtual ~TaskQueue();

		// Starts task now when nothing of this queue is unreaped, else appends it.
		void Add(const std::function<void()>& task);
		// Reaps the running function and starts the next one; false when the queue is done.
		bool Check();
		// Pending functions, the running one not counted.
		size_t Pending() const;

	protected:
		// Valid until the function started last has been reaped.
		std::future<void> mLastQueuedTask;
	};

	AsyncTaskRunner() = default;
	AsyncTaskRunner(const AsyncTaskRunner&) = delete;
	AsyncTaskRunner& operator=(const AsyncTaskRunner&) = delete;
	virtual ~AsyncTaskRunner();

	void DoAsyncTask(const std::function<void()>& task);
	// maxTasks 0: no limit; otherwise a task beyond maxTasks pending ones is dropped.
	void QueueAsyncTask(const std::function<void()>& task, const std::string& queue_id, size_t maxTasks);
	// Reaps finished work; a failed function is logged at Error, never rethrown.
	void CheckAsyncTasks();
	// Runs the queue's pending functions on the calling thread; the running one is left alone.
	void ClearAsyncTaskQueue(const std::string& id);
	// Returns when every started and queued function has finished.
	void ClearAllTasks();

protected:
	ThreadSafeProperty<std::list<std::future<void>>, std::mutex> mAsyncTasks;
	ThreadSafeProperty<std::map<std::string, TaskQueue>, std::mutex> mTaskQueues;
};
