#include "TTaskMan.h"

#include "common/KelUtils.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <vector>

namespace rtfwk_sdl2
{
namespace
{
using Clock = TTimedTaskHandler::Clock;

Clock::time_point DueTime(Clock::time_point last, uint32_t interval)
{
	return last + std::chrono::milliseconds(interval);
}

void LogRunFailure(const std::string& name) noexcept
{
	KEL_LOG(LogTasks, logs::Error, "ExecuteConditional unhandled exception...%s", name.c_str());
}
} // namespace

// ---- TTimedTaskHandler ----

TTimedTaskHandler::TTimedTaskHandler(uint32_t ExecutionInterval, TTaskType taskType, void* hUserData,
                                     const std::string& TaskName)
    : Interval(ExecutionInterval), ExecutionsLimit(1), mTaskName(TaskName), LastExecuted(Clock::now()),
      ExecutionCounter(0), TaskType(taskType), Status(Enabled), UserData(hUserData), bRealTime(false),
      bRegistered(false)
{
}

TTimedTaskHandler::~TTimedTaskHandler() = default;

void* TTimedTaskHandler::GetRelatedObject() const
{
	return GetUserData();
}

void TTimedTaskHandler::Remove()
{
	ScopedLock lock(this);
	Status = ToRemove;
}

bool TTimedTaskHandler::IsValid() const
{
	ScopedLock lock(this);
	return Status < ToRemove;
}

bool TTimedTaskHandler::IsEnabled() const
{
	ScopedLock lock(this);
	return Status == Enabled;
}

void TTimedTaskHandler::Disable()
{
	ScopedLock lock(this);
	if (Status < Finished)
		Status = Disabled;
}

void TTimedTaskHandler::Enable()
{
	ScopedLock lock(this);
	if (Status >= Finished)
		return;
	LastExecuted = Clock::now();
	Status = Enabled;
}

void TTimedTaskHandler::EnableAndExecuteImmediate()
{
	ScopedLock lock(this);
	if (Status >= Finished)
		return;
	LastExecuted = Clock::time_point::min();
	Status = Enabled;
}

void TTimedTaskHandler::Reset()
{
	ScopedLock lock(this);
	ExecutionCounter = 0;
	LastExecuted = Clock::now();
	if (Status == Finished)
		Status = Enabled;
}

uint32_t TTimedTaskHandler::GetTimeRemainigToExecute() const
{
	ScopedLock lock(this);
	const Clock::time_point now = Clock::now();
	const Clock::time_point due = DueTime(LastExecuted, Interval);
	// Compared before subtracting: the earliest time point minus now does not fit.
	if (due <= now)
		return 0;
	const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
	return static_cast<uint32_t>(std::min<long long>(left, std::numeric_limits<uint32_t>::max()));
}

uint64_t TTimedTaskHandler::GetExecutionCount() const
{
	ScopedLock lock(this);
	return ExecutionCounter;
}

ETImedTaskStatus TTimedTaskHandler::GetStatus() const
{
	ScopedLock lock(this);
	return Status;
}

void* TTimedTaskHandler::GetUserData() const
{
	ScopedLock lock(this);
	return UserData;
}

void TTimedTaskHandler::SetUserData(void* data)
{
	ScopedLock lock(this);
	UserData = data;
}

void TTimedTaskHandler::SetRealTime(bool realTime)
{
	ScopedLock lock(this);
	bRealTime = realTime;
}

// ---- TtthLambda ----

TtthLambda::TtthLambda(const std::function<void()>& lambda, uint32_t interval, TTaskType taskType, std::string TaskName)
    : TTimedTaskHandler(interval, taskType, nullptr, TaskName), mLambda(lambda)
{
}

void TtthLambda::execute(const std::shared_ptr<TTimedTaskHandler>&, void*)
{
	if (mLambda)
		mLambda();
}

// ---- TAsyncTimedTaskHandler ----

TAsyncTimedTaskHandler::TAsyncTimedTaskHandler(const std::function<void()>& lambda, uint32_t interval,
                                               TTaskType taskType, std::string TaskName, bool autoStart)
    : TtthLambda(lambda, interval, taskType, std::move(TaskName)), bAutoStart(autoStart)
{
}

TAsyncTimedTaskHandler::~TAsyncTimedTaskHandler()
{
	// A run must not drop the last reference to its own handler: the join would be a self-join.
	if (WorkerThread.joinable())
	{
		mDeleteSemaphore.Release();
		WorkerThread.join();
	}
}

void TAsyncTimedTaskHandler::execute(const std::shared_ptr<TTimedTaskHandler>& task, void* hUserData)
{
	// Released also when the run throws. Saturates at 1: nobody has to take it.
	struct ReleaseOnExit
	{
		Semaphore& Completed;
		~ReleaseOnExit() { Completed.Release(); }
	} release{mCompletedSemaphore};
	TtthLambda::execute(task, hUserData);
}

void TAsyncTimedTaskHandler::start()
{
	ScopedLock lock(this);
	if (WorkerThread.joinable())
		return;
	WorkerThread = std::thread(&TAsyncTimedTaskHandler::execThread, this);
}

bool TAsyncTimedTaskHandler::mayRun() const
{
	ScopedLock lock(this);
	return Status < ToRemove && bRegistered && Status == Enabled;
}

void TAsyncTimedTaskHandler::execThread()
{
	kelutils::SetCurrentThreadName(mTaskName);
	// At least 1 ms, so that an interval of 0 cannot take a whole core.
	const auto wait = std::chrono::milliseconds(std::max<uint32_t>(Interval, 1));
	while (mayRun())
	{
		if (mDeleteSemaphore.TryAcquireFor(wait))
			break;
		// Removed, disabled or unregistered during the wait: no further run.
		if (!mayRun())
			break;
		try
		{
			execute(nullptr, nullptr);
		}
		catch (...)
		{
			LogRunFailure(mTaskName);
		}
		ScopedLock lock(this);
		if (TaskType != ENDLESS)
		{
			++ExecutionCounter;
			if (Status == Enabled)
				Status = Finished;
		}
	}
	{
		ScopedLock lock(this);
		Status = ToRemove;
	}
	bCompleted = true;
}

// ---- TTaskMan ----

TTaskMan::~TTaskMan()
{
	CleanupAllTasks();
}

const char* TTaskMan::getTaskType(TimedTaskType type)
{
	switch (type)
	{
		case TASK_NORMAL:
			return "normal";
		case TASK_DRAW:
			return "draw";
		case TASK_THREAD_SAFE:
			return "thread safe";
		default:
			return "";
	}
}

std::string TTaskMan::getHandlerDescription(const std::shared_ptr<TTimedTaskHandler>& handler)
{
	if (!handler)
		return {};
	ScopedLock lock(*handler);
	std::string text = std::to_string(handler->Interval) + "ms, execute ";
	switch (handler->TaskType)
	{
		case TTimedTaskHandler::EXECUTE_ONCE:
			text += " once";
			break;
		case TTimedTaskHandler::EXECUTE_COUNT:
			text += std::to_string(handler->ExecutionCounter) + " times";
			break;
		case TTimedTaskHandler::EXECUTE_COUNT_NO_REMOVE:
			text += std::to_string(handler->ExecutionCounter) + " times without removing it";
			break;
		case TTimedTaskHandler::ENDLESS:
			text += "forever";
			break;
	}
	return text;
}

std::shared_ptr<TTimedTaskHandler> TTaskMan::AddTimedTaskInternal(const std::shared_ptr<TTimedTaskHandler>& pTimedTask,
                                                                  TimedTaskType type)
{
	if (!pTimedTask || type == TASK_ANY)
		return nullptr;
	const bool knownList = type >= 0 && static_cast<size_t>(type) < NumTaskLists;

	ScopedLock lock(*pTimedTask);
	if (pTimedTask->bRegistered)
		return pTimedTask;

	if (auto async = std::dynamic_pointer_cast<TAsyncTimedTaskHandler>(pTimedTask))
	{
		{
			ScopedLock listLock(AsyncTaskList);
			AsyncTaskList->insert(async);
			pTimedTask->bRegistered = true;
		}
		if (async->shouldAutoStart())
			async->start();
		KEL_LOG(LogTasks, logs::Debug, "Registered async task '%s': %s", pTimedTask->mTaskName.c_str(),
		        getHandlerDescription(pTimedTask).c_str());
		return pTimedTask;
	}

	if (!knownList)
		return nullptr;
	{
		auto& toAdd = ToAddTaskList[type];
		ScopedLock listLock(toAdd);
		toAdd->insert(pTimedTask);
		pTimedTask->bRegistered = true;
	}
	KEL_LOG(LogTasks, logs::Debug, "Registered %s task '%s': %s", getTaskType(type), pTimedTask->mTaskName.c_str(),
	        getHandlerDescription(pTimedTask).c_str());
	return pTimedTask;
}

std::shared_ptr<TtthLambda> TTaskMan::Delay(const std::function<void()>& callback, uint32_t delayMs,
                                            const std::string& taskNme, TimedTaskType type)
{
	auto handler = std::make_shared<TtthLambda>(callback, delayMs, TTimedTaskHandler::EXECUTE_ONCE, taskNme);
	AddTimedTaskInternal(handler, type);
	return handler;
}

void TTaskMan::ProcessTasks(TimedTaskType type)
{
	if (type == TASK_ANY)
	{
		for (size_t i = 0; i < NumTaskLists; ++i)
			ProcessList(i);
		return;
	}
	if (type >= 0 && static_cast<size_t>(type) < NumTaskLists)
		ProcessList(type);
}

void TTaskMan::ProcessList(size_t index)
{
	if (index == TASK_THREAD_SAFE)
		ReapAsyncTasks();

	HandlerSet added;
	{
		ScopedLock lock(ToAddTaskList[index]);
		added.swap(&ToAddTaskList[index]);
	}
	HandlerSet& list = TaskList[index];
	list.insert(added.begin(), added.end());

	const Clock::time_point now = Clock::now();
	// A run may unregister everything (CleanupAllTasks): walk a copy, and skip what left the list.
	const std::vector<std::shared_ptr<TTimedTaskHandler>> handlers(list.begin(), list.end());
	for (const auto& handler : handlers)
	{
		if (list.count(handler) != 0)
			RunHandler(index, handler, now);
	}
}

void TTaskMan::RunHandler(size_t index, const std::shared_ptr<TTimedTaskHandler>& handler, Clock::time_point now)
{
	TTimedTaskHandler& h = *handler;
	ScopedLock lock(h);
	const bool schedulable =
	    h.Status == Enabled && (h.TaskType == TTimedTaskHandler::ENDLESS || h.ExecutionCounter < h.ExecutionsLimit);
	const Clock::time_point due = DueTime(h.LastExecuted, h.Interval);
	if (schedulable && due <= now)
	{
		// Catching up from "run immediately" would mean a run in every pass for ages.
		const bool catchUp = h.bRealTime && h.LastExecuted != Clock::time_point::min();
		h.LastExecuted = catchUp ? due : now;

		const auto started = std::chrono::steady_clock::now();
		try
		{
			KEL_LOG(LogTasks, logs::VeryVerbose, "Executing %s task '%s': %s",
			        getTaskType(static_cast<TimedTaskType>(index)), h.mTaskName.c_str(),
			        getHandlerDescription(handler).c_str());
			h.execute(handler, h.UserData);
		}
		catch (...)
		{
			LogRunFailure(h.mTaskName);
		}
		const auto elapsed =
		    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
		if (elapsed > SlowTaskMs)
			KEL_LOG(LogTasks, logs::Warning, "TTaskMan:: task %s took very long! (%u ms)", h.mTaskName.c_str(),
			        static_cast<unsigned>(elapsed));
		++h.ExecutionCounter;
		if (h.TaskType != TTimedTaskHandler::ENDLESS && h.Status == Enabled)
			h.Status = Finished;
	}
	if (h.Status == Finished && h.TaskType != TTimedTaskHandler::EXECUTE_COUNT_NO_REMOVE)
		h.Status = ToRemove;
	if (h.Status == ToRemove)
		TaskList[index].erase(handler);
}

void TTaskMan::ReapAsyncTasks()
{
	// Dropped after the list lock is released: the last reference joins the ended worker.
	AsyncHandlerSet ended;
	ScopedLock lock(AsyncTaskList);
	for (auto it = AsyncTaskList->begin(); it != AsyncTaskList->end();)
	{
		if (!(*it)->completed())
		{
			++it;
			continue;
		}
		KEL_LOG(LogTasks, logs::Verbose, "Removing task: %s", (*it)->mTaskName.c_str());
		ended.insert(*it);
		it = AsyncTaskList->erase(it);
	}
	lock.Release();
}

void TTaskMan::CleanupAllTasks()
{
	for (HandlerSet& list : TaskList)
	{
		for (const auto& handler : list)
		{
			ScopedLock lock(*handler);
			handler->bRegistered = false;
		}
		list.clear();
	}

	// Taken out first and unflagged after the list lock is released: registration locks the
	// handler before the list, so the reverse order here could deadlock.
	AsyncHandlerSet dropped;
	{
		ScopedLock lock(AsyncTaskList);
		dropped.swap(&AsyncTaskList);
	}
	for (const auto& handler : dropped)
	{
		{
			ScopedLock handlerLock(*handler);
			handler->bRegistered = false;
		}
		// Ends the wait now instead of after up to one interval.
		handler->mDeleteSemaphore.Release();
	}
}
} // namespace rtfwk_sdl2
