#pragma once
// Timed tasks: handlers run every N milliseconds, N times or once.
//
// Synchronous handlers wait in ToAddTaskList until the next pass of their list, then live in
// TaskList and are run by whichever thread calls ProcessTasks for that list (the main loop).
// Asynchronous handlers run on a worker thread of their own: the worker waits Interval ms on
// mDeleteSemaphore, runs, and repeats until the handler is removed, disabled, finished or
// unregistered; the handler's destructor wakes and joins it. A TASK_THREAD_SAFE pass drops the
// handlers whose worker has ended.

#include "common/AsyncTaskRunner.h"
#include "common/Logger.h"
#include "common/Semaphore.h"
#include "common/ThreadSafeProperty.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

namespace rtfwk_sdl2
{
// Ordered: below Finished a handler can still be scheduled, below ToRemove it is valid.
enum ETImedTaskStatus
{
	Disabled = 0,
	Enabled = 1,
	Finished = 2,
	ToRemove = 3
};

enum TimedTaskType
{
	TASK_NORMAL = 0,
	TASK_DRAW = 1,
	TASK_THREAD_SAFE = 2,
	// Only for ProcessTasks: every list in turn.
	TASK_ANY = 4
};

class TTaskMan;

class TTimedTaskHandler : public Lockable<std::recursive_mutex>
{
public:
	enum TTaskType
	{
		EXECUTE_ONCE = 0,
		EXECUTE_COUNT = 1,
		ENDLESS = 2,
		EXECUTE_COUNT_NO_REMOVE = 3
	};

	using Clock = std::chrono::system_clock;

	TTimedTaskHandler(uint32_t ExecutionInterval, TTaskType taskType, void* hUserData, const std::string& TaskName);
	TTimedTaskHandler(const TTimedTaskHandler&) = delete;
	TTimedTaskHandler& operator=(const TTimedTaskHandler&) = delete;
	~TTimedTaskHandler() override;

	virtual void execute(const std::shared_ptr<TTimedTaskHandler>& task, void* hUserData) = 0;
	virtual void* GetRelatedObject() const;

	void Remove();
	bool IsValid() const;
	bool IsEnabled() const;
	void Disable();
	// The interval starts over from now.
	void Enable();
	// Due at the next pass.
	void EnableAndExecuteImmediate();
	// Starts over: no runs counted, the interval from now; a finished handler is enabled again.
	void Reset();
	uint32_t GetTimeRemainigToExecute() const;

	TTaskType GetType() const { return TaskType; }
	uint64_t GetExecutionCount() const;
	ETImedTaskStatus GetStatus() const;
	const std::string& GetName() const { return mTaskName; }
	void* GetUserData() const;
	void SetUserData(void* data);
	void SetRealTime(bool realTime);

protected:
	friend class TTaskMan;

	uint32_t Interval;
	uint64_t ExecutionsLimit;
	std::string mTaskName;
	// Reference point from which the next run is due.
	Clock::time_point LastExecuted;
	uint64_t ExecutionCounter;
	const TTaskType TaskType;
	ETImedTaskStatus Status;
	void* UserData;
	// Drift-free: the next run is due one interval after the previous due time.
	bool bRealTime;
	bool bRegistered;
};

class TtthLambda : public TTimedTaskHandler
{
public:
	TtthLambda(const std::function<void()>& lambda, uint32_t Interval, TTaskType taskType, std::string TaskName);

	void execute(const std::shared_ptr<TTimedTaskHandler>& task, void* hUserData) override;

protected:
	std::function<void()> mLambda;
};

class TAsyncTimedTaskHandler : public TtthLambda
{
public:
	TAsyncTimedTaskHandler(const std::function<void()>& lambda, uint32_t Interval, TTaskType taskType,
	                       std::string TaskName, bool autoStart = true);
	// Wakes the worker and waits at most for a run in progress.
	~TAsyncTimedTaskHandler() override;

	void execute(const std::shared_ptr<TTimedTaskHandler>& task, void* hUserData) override;

	// Starts the worker; a second call does nothing.
	void start();
	bool completed() const { return bCompleted.load(); }
	bool shouldAutoStart() const { return bAutoStart; }

protected:
	friend class TTaskMan;

	void execThread();
	// Whether the worker may wait for another run.
	bool mayRun() const;

	Semaphore mDeleteSemaphore{1};
	Semaphore mCompletedSemaphore{1};
	std::thread WorkerThread;
	const bool bAutoStart;
	std::atomic<bool> bCompleted{false};
};

class TTaskMan
{
public:
	using HandlerSet = std::set<std::shared_ptr<TTimedTaskHandler>>;
	using AsyncHandlerSet = std::set<std::shared_ptr<TAsyncTimedTaskHandler>>;
	static constexpr size_t NumTaskLists = 4;
	// Runs longer than this are reported.
	static constexpr uint32_t SlowTaskMs = 2;

	TTaskMan() = default;
	TTaskMan(const TTaskMan&) = delete;
	TTaskMan& operator=(const TTaskMan&) = delete;
	virtual ~TTaskMan();

	template <class T, TimedTaskType type, class... Args>
	std::shared_ptr<TTimedTaskHandler> AddTimedTask(Args&&... args)
	{
		return AddTimedTaskInternal(std::make_shared<T>(std::forward<Args>(args)...), type);
	}

	// Null for a null handler or TASK_ANY; the handler itself when it is registered already.
	std::shared_ptr<TTimedTaskHandler> AddTimedTaskInternal(const std::shared_ptr<TTimedTaskHandler>& pTimedTask,
	                                                        TimedTaskType type);
	// Runs callback once, delayMs after now. Returns the handler even if registration was refused.
	std::shared_ptr<TtthLambda> Delay(const std::function<void()>& callback, uint32_t delayMs,
	                                  const std::string& taskNme, TimedTaskType type);

	void ProcessTasks(TimedTaskType type);
	// Unregisters every active handler; handlers still waiting for their first pass stay.
	void CleanupAllTasks();

	static const char* getTaskType(TimedTaskType type);
	static std::string getHandlerDescription(const std::shared_ptr<TTimedTaskHandler>& handler);

protected:
	// Touched only by the thread that processes the list and by CleanupAllTasks.
	std::array<HandlerSet, NumTaskLists> TaskList;
	std::array<ThreadSafeProperty<HandlerSet, std::mutex>, NumTaskLists> ToAddTaskList;
	ThreadSafeProperty<AsyncHandlerSet, std::recursive_mutex> AsyncTaskList;

private:
	void ProcessList(size_t index);
	void RunHandler(size_t index, const std::shared_ptr<TTimedTaskHandler>& handler,
	                TTimedTaskHandler::Clock::time_point now);
	void ReapAsyncTasks();
};
} // namespace rtfwk_sdl2
