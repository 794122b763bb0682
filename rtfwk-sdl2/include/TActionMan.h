#pragma once
// Named actions: code generates an action by name with an untyped data pointer; the handlers
// registered under that name, or under a prefix of it that shares its first three characters,
// run when the owner calls ExecuteActions for the handlers' type.
//
// Flow: AddActionListener / UnregisterAction / UnregisterAllActionHandlersByRelatedObject only
// queue a command; GenerateAction only queues (action, data) for each type that has handlers.
// ExecuteActions(type) applies the commands of that type (and the removals of every type) under
// the exclusive lock of ActionList, then runs the queued entries of that type without it.
// ACTION_ASYNC handlers hand their work to an AsyncTaskRunner and return at once.
//
// Threads: any thread may generate, register or remove; ExecuteActions runs on one thread at a
// time (the main loop), which is also the only one that changes the handler lists.

#include "common/AsyncTaskRunner.h"
#include "common/Logger.h"
#include "common/ThreadSafeProperty.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <shared_mutex>
#include <string>
#include <vector>

DECLARE_LOG_CATEGORY(LogActions, VeryVerbose);

namespace rtfwk_sdl2
{
enum ActionHandleType
{
	ACTION_NORMAL = 0,
	ACTION_DRAW = 1,
	ACTION_THREAD_SAFE = 2,
	ACTION_ASYNC = 3,
	// Only as a filter; never a handler's type.
	ACTION_ANY = 4
};

class TActionHandler
{
public:
	enum TAHType
	{
		ahtExecuteOnce = 0,   // deleted after its first run
		ahtExecuteEndless = 1 // stays
	};

	TActionHandler(void* UserData, TAHType type) : UserData(UserData), HType(type) {}
	TActionHandler(const TActionHandler&) = delete;
	TActionHandler& operator=(const TActionHandler&) = delete;

	virtual void execute(std::string ActionName, void* hActionData) = 0;
	virtual void* GetRelatedObject() const { return UserData; }
	virtual ~TActionHandler() = default;

	// For the handler's own use: the manager does not consult it.
	bool IsEnabled() const { return Enabled.load(); }
	void Enable() { Enabled = true; }
	void Disable() { Enabled = false; }
	TAHType GetType() const { return HType.load(); }
	void SetType(TAHType type) { HType = type; }

protected:
	// The related object: removals by related object match it.
	void* UserData;
	std::atomic<bool> Enabled{true};
	std::atomic<TAHType> HType;
};

// Runs the wrapped handler on a thread of the runner. The background run shares ownership of
// the wrapped handler, so deleting the wrapper (a run-once handler, a removal) while it runs is
// safe: the handler dies with the last of the two.
class TAsyncActionHandler : public TActionHandler
{
public:
	// Takes ownership of pHandler. A null runner runs the handler on the calling thread.
	TAsyncActionHandler(TActionHandler* pHandler, AsyncTaskRunner* runner);
	TAsyncActionHandler(std::unique_ptr<TActionHandler> handler, AsyncTaskRunner* runner);
	~TAsyncActionHandler() override;

	void execute(std::string ActionName, void* hActionData) override;

	TActionHandler* GetWrappedHandler() const { return pHandler.get(); }
	// Gives the wrapped handler back to the caller, who owns it from now on; a background run
	// already started may still be using it. Null when already released.
	TActionHandler* ReleaseWrappedHandler();

protected:
	std::shared_ptr<TActionHandler> pHandler;
	// Cleared by ReleaseWrappedHandler: the last owner then leaves the handler alone.
	std::shared_ptr<std::atomic<bool>> bOwnsHandler;
	AsyncTaskRunner* mRunner;
};

class TAction
{
public:
	static constexpr size_t NumHandlerLists = 4;

	// ACTION_ASYNC handlers registered later are wrapped for asyncRunner.
	explicit TAction(const std::string& Name, AsyncTaskRunner* asyncRunner = nullptr);
	TAction(const TAction&) = delete;
	TAction& operator=(const TAction&) = delete;
	~TAction();

	// Takes ownership of pHandler; a handler that is refused (ACTION_ANY, a type out of range)
	// is deleted. A handler already registered here stays as it is. One object, one action.
	void RegisterActionHandler(TActionHandler* pHandler, ActionHandleType HandleType);
	void RegisterActionHandler(std::unique_ptr<TActionHandler> handler, ActionHandleType HandleType);
	// Also matches the handler wrapped by an ACTION_ASYNC wrapper. Without DeleteInstance the
	// caller owns the handler again. Returns 0.
	int UnregisterActionHandler(TActionHandler* pHandler, bool DeleteInstance, ActionHandleType Filter);
	// Returns the number removed. Without DeleteInstance the caller owns them again.
	int UnregisterActionHandlersByRelatedObject(void* pRelatedObject, bool DeleteInstance);

	void Execute(void* hActionData, ActionHandleType ExecType);

	// Safe from any thread.
	size_t GetHandlersCount(ActionHandleType OfType) const;
	const std::string& GetName() const { return Name; }
	bool IsEnabled() const { return Enabled.load(); }
	void Enable() { Enabled = true; }
	void Disable() { Enabled = false; }
	void SetAsyncRunner(AsyncTaskRunner* runner) { mAsyncRunner = runner; }

protected:
	using HandlerList = std::vector<std::unique_ptr<TActionHandler>>;

	// Takes entry i of a list out.
	std::unique_ptr<TActionHandler> TakeAt(size_t list, size_t i);
	bool Owns(const TActionHandler* handler) const;
	void UpdateCount(size_t list) { mCounts[list] = Handlers[list].size(); }

	const std::string Name;
	std::atomic<bool> Enabled{true};
	std::array<HandlerList, NumHandlerLists> Handlers;
	// Sizes of Handlers, for generators on other threads.
	std::array<std::atomic<size_t>, NumHandlerLists> mCounts{};
	AsyncTaskRunner* mAsyncRunner;
};

class TActionMan
{
public:
	enum EActionCommand
	{
		Add = 0,
		Remove = 1
	};

	// A deferred registration command.
	struct ActionCommandInfo
	{
		std::string ActionName;                  // empty in a removal by related object
		std::unique_ptr<TActionHandler> Handler; // the handler of an Add
		void* RelatedObject = nullptr;           // the object of a removal by related object
		ActionHandleType Type = ACTION_ANY;
		EActionCommand Command = Add;
	};

	// A generated action waiting to run; an action removed meanwhile is skipped.
	struct TGeneratedSkippedAction
	{
		std::weak_ptr<TAction> Action;
		void* hActionData = nullptr;
	};

	TActionMan() = default;
	TActionMan(const TActionMan&) = delete;
	TActionMan& operator=(const TActionMan&) = delete;
	virtual ~TActionMan();

	// The runner for ACTION_ASYNC handlers registered from now on; each wrapper keeps the runner
	// it was made with, so it must outlive their runs. Without one they run on the caller's thread.
	void SetAsyncRunner(AsyncTaskRunner* runner) { mAsyncRunner = runner; }
	AsyncTaskRunner* GetAsyncRunner() const { return mAsyncRunner.load(); }

	// Takes ownership of pActionHandler; ACTION_ANY (or a type out of range) deletes it.
	// Takes effect at the next ExecuteActions(type).
	void AddActionListener(const std::string& ActionName, TActionHandler* pActionHandler, ActionHandleType type);
	void UnregisterAction(const std::string& ActionName);
	void UnregisterAllActionHandlersByRelatedObject(void* pRelatedObject);

	std::shared_ptr<TAction> GetAction(const std::string& ActionName) const;

	void GenerateAction(const std::string& ActionName, void* hActionData, ActionHandleType Filter);
	// Returns the number of (action, type) pairs queued.
	size_t ActionGenerated(const std::string& ActionName, void* hActionData, ActionHandleType Filter);

	void ExecuteActions(ActionHandleType ExecType);

protected:
	using ActionMap = std::map<std::string, std::shared_ptr<TAction>>;
	using CommandList = std::list<ActionCommandInfo>;
	using RunQueue = std::queue<TGeneratedSkippedAction>;
	static constexpr size_t RemovalCommands = 4;

	// Applies commands under the exclusive lock; removed actions go to `removed`, to die after it.
	void ApplyCommands(CommandList& commands, std::vector<std::shared_ptr<TAction>>& removed);
	void ApplyRemove(const ActionCommandInfo& command, std::vector<std::shared_ptr<TAction>>& removed);

	ThreadSafeProperty<ActionMap, std::shared_mutex> ActionList;
	// 0 to 3: commands of that handler type; 4: removals for every type.
	std::array<ThreadSafeProperty<CommandList, std::mutex>, 5> ActionCommands;
	std::array<ThreadSafeProperty<RunQueue, std::mutex>, TAction::NumHandlerLists> ToRunActionQueue;
	std::atomic<AsyncTaskRunner*> mAsyncRunner{nullptr};
};
} // namespace rtfwk_sdl2
