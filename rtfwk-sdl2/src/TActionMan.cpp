#include "TActionMan.h"

#include "TLogManager.h"

#include <exception>
#include <utility>

DEFINE_LOG_CATEGORY(LogActions, "actions");

namespace rtfwk_sdl2
{
namespace
{
// A real handler type, that is one of the four lists.
bool IsListType(int type)
{
	return type >= ACTION_NORMAL && type < ACTION_ANY;
}

bool Admits(ActionHandleType filter, size_t type)
{
	return filter == ACTION_ANY || static_cast<size_t>(filter) == type;
}

// Deleting through a shared pointer is disarmed once the handler is given back.
std::shared_ptr<TActionHandler> ShareHandler(std::unique_ptr<TActionHandler> handler,
                                             const std::shared_ptr<std::atomic<bool>>& owns)
{
	return std::shared_ptr<TActionHandler>(handler.release(),
	                                       [owns](TActionHandler* h)
	                                       {
		                                       if (owns->load())
			                                       delete h;
	                                       });
}
} // namespace

// ---- TAsyncActionHandler ----

TAsyncActionHandler::TAsyncActionHandler(TActionHandler* pHandler, AsyncTaskRunner* runner)
    : TAsyncActionHandler(std::unique_ptr<TActionHandler>(pHandler), runner)
{
}

TAsyncActionHandler::TAsyncActionHandler(std::unique_ptr<TActionHandler> handler, AsyncTaskRunner* runner)
    : TActionHandler(handler ? handler->GetRelatedObject() : nullptr, handler ? handler->GetType() : ahtExecuteEndless),
      bOwnsHandler(std::make_shared<std::atomic<bool>>(true)), mRunner(runner)
{
	if (handler && !handler->IsEnabled())
		Disable();
	pHandler = ShareHandler(std::move(handler), bOwnsHandler);
}

TAsyncActionHandler::~TAsyncActionHandler() = default;

void TAsyncActionHandler::execute(std::string ActionName, void* hActionData)
{
	if (!pHandler)
		return;
	if (mRunner == nullptr)
	{
		pHandler->execute(std::move(ActionName), hActionData);
		return;
	}
	// The copy keeps the handler alive for the background run whatever happens to this wrapper.
	mRunner->DoAsyncTask([handler = pHandler, name = std::move(ActionName), hActionData]
	                     { handler->execute(name, hActionData); });
}

TActionHandler* TAsyncActionHandler::ReleaseWrappedHandler()
{
	if (!pHandler)
		return nullptr;
	bOwnsHandler->store(false);
	TActionHandler* handler = pHandler.get();
	pHandler.reset();
	return handler;
}

// ---- TAction ----

TAction::TAction(const std::string& Name, AsyncTaskRunner* asyncRunner) : Name(Name), mAsyncRunner(asyncRunner)
{
}

TAction::~TAction() = default;

bool TAction::Owns(const TActionHandler* handler) const
{
	for (const auto& list : Handlers)
		for (const auto& h : list)
		{
			if (h.get() == handler)
				return true;
			const auto* wrapper = dynamic_cast<const TAsyncActionHandler*>(h.get());
			if (wrapper != nullptr && wrapper->GetWrappedHandler() == handler)
				return true;
		}
	return false;
}

void TAction::RegisterActionHandler(TActionHandler* pHandler, ActionHandleType HandleType)
{
	if (pHandler != nullptr)
		RegisterActionHandler(std::unique_ptr<TActionHandler>(pHandler), HandleType);
}

void TAction::RegisterActionHandler(std::unique_ptr<TActionHandler> handler, ActionHandleType HandleType)
{
	if (!handler)
		return;
	if (Owns(handler.get()))
	{
		// A second registration of the same object: one owner is enough.
		handler.release();
		return;
	}
	if (HandleType == ACTION_ANY)
	{
		logman::WriteLog(4, 0,
		                 "Tried to use handle type ANY for action %s will effectively trigger it 3 times and is not "
		                 "allowed!",
		                 Name.c_str());
		return;
	}
	if (!IsListType(HandleType))
		return;
	if (HandleType == ACTION_ASYNC)
		handler = std::make_unique<TAsyncActionHandler>(std::move(handler), mAsyncRunner);
	Handlers[HandleType].push_back(std::move(handler));
	UpdateCount(HandleType);
}

std::unique_ptr<TActionHandler> TAction::TakeAt(size_t list, size_t i)
{
	std::unique_ptr<TActionHandler> handler = std::move(Handlers[list][i]);
	Handlers[list].erase(Handlers[list].begin() + static_cast<std::ptrdiff_t>(i));
	UpdateCount(list);
	return handler;
}

int TAction::UnregisterActionHandler(TActionHandler* pHandler, bool DeleteInstance, ActionHandleType Filter)
{
	if (pHandler == nullptr)
		return 0;
	for (size_t list = 0; list < NumHandlerLists; ++list)
	{
		if (!Admits(Filter, list))
			continue;
		for (size_t i = 0; i < Handlers[list].size();)
		{
			auto* wrapper = dynamic_cast<TAsyncActionHandler*>(Handlers[list][i].get());
			if (Handlers[list][i].get() == pHandler)
			{
				std::unique_ptr<TActionHandler> taken = TakeAt(list, i);
				if (!DeleteInstance)
					taken.release();
			}
			else if (wrapper != nullptr && wrapper->GetWrappedHandler() == pHandler)
			{
				// The wrapper always goes; the wrapped handler goes with it unless given back.
				std::unique_ptr<TActionHandler> taken = TakeAt(list, i);
				if (!DeleteInstance)
					wrapper->ReleaseWrappedHandler();
			}
			else
				++i;
		}
	}
	return 0;
}

int TAction::UnregisterActionHandlersByRelatedObject(void* pRelatedObject, bool DeleteInstance)
{
	int removed = 0;
	for (size_t list = 0; list < NumHandlerLists; ++list)
		for (size_t i = 0; i < Handlers[list].size();)
		{
			if (Handlers[list][i]->GetRelatedObject() != pRelatedObject)
			{
				++i;
				continue;
			}
			std::unique_ptr<TActionHandler> taken = TakeAt(list, i);
			++removed;
			if (DeleteInstance)
				continue;
			// The caller knows the handler it registered, not our wrapper.
			if (auto* wrapper = dynamic_cast<TAsyncActionHandler*>(taken.get()))
				wrapper->ReleaseWrappedHandler();
			else
				taken.release();
		}
	return removed;
}

void TAction::Execute(void* hActionData, ActionHandleType ExecType)
{
	if (ExecType == ACTION_ANY)
	{
		KEL_LOG(LogActions, logs::Warning,
		        "Tried to execute action %s as ANY, which is not allowed! Execution type must be specified.",
		        Name.c_str());
		return;
	}
	if (!IsListType(ExecType) || Handlers[ExecType].empty())
		return;
	const bool enabled = IsEnabled();
	KEL_LOG(LogActions, logs::Verbose, "execute action: %s, (Enabled=%d, Type=%d).", Name.c_str(), enabled ? 1 : 0,
	        static_cast<int>(ExecType));
	if (!enabled)
		return;
	HandlerList& list = Handlers[ExecType];
	for (size_t i = 0; i < list.size();)
	{
		TActionHandler* handler = list[i].get();
		handler->execute(Name, hActionData);
		if (handler->GetType() == TActionHandler::ahtExecuteOnce)
		{
			KEL_LOG(LogActions, logs::Verbose, "Action handler of %s was erased", Name.c_str());
			TakeAt(ExecType, i);
		}
		else
			++i;
	}
}

size_t TAction::GetHandlersCount(ActionHandleType OfType) const
{
	if (OfType == ACTION_ANY)
	{
		size_t total = 0;
		for (const auto& count : mCounts)
			total += count.load();
		return total;
	}
	return IsListType(OfType) ? mCounts[OfType].load() : 0;
}

// ---- TActionMan ----

TActionMan::~TActionMan()
{
	// Handlers die after the lock is released, so that their destructors may look actions up.
	ActionMap actions;
	ScopedLock lock(ActionList);
	actions.swap(&ActionList);
}

void TActionMan::AddActionListener(const std::string& ActionName, TActionHandler* pActionHandler, ActionHandleType type)
{
	std::unique_ptr<TActionHandler> handler(pActionHandler);
	if (!handler || !IsListType(type))
		return;
	ActionCommandInfo command;
	command.ActionName = ActionName;
	command.Handler = std::move(handler);
	command.Type = type;
	command.Command = Add;
	ScopedLock lock(ActionCommands[type]);
	ActionCommands[type]->push_back(std::move(command));
}

void TActionMan::UnregisterAction(const std::string& ActionName)
{
	if (ActionName.empty())
		return;
	ActionCommandInfo command;
	command.ActionName = ActionName;
	command.Type = ACTION_ANY;
	command.Command = Remove;
	ScopedLock lock(ActionCommands[RemovalCommands]);
	ActionCommands[RemovalCommands]->push_back(std::move(command));
}

void TActionMan::UnregisterAllActionHandlersByRelatedObject(void* pRelatedObject)
{
	ActionCommandInfo command;
	command.RelatedObject = pRelatedObject;
	command.Type = ACTION_ANY;
	command.Command = Remove;
	ScopedLock lock(ActionCommands[RemovalCommands]);
	ActionCommands[RemovalCommands]->push_back(std::move(command));
}

std::shared_ptr<TAction> TActionMan::GetAction(const std::string& ActionName) const
{
	if (ActionName.empty())
		return nullptr;
	SharedScopedLock lock(ActionList);
	const auto it = ActionList->find(ActionName);
	return it != ActionList->end() ? it->second : nullptr;
}

void TActionMan::GenerateAction(const std::string& ActionName, void* hActionData, ActionHandleType Filter)
{
	ActionGenerated(ActionName, hActionData, Filter);
	KEL_LOG(LogActions, logs::Verbose, "Generate action: %s.", ActionName.c_str());
}

size_t TActionMan::ActionGenerated(const std::string& ActionName, void* hActionData, ActionHandleType Filter)
{
	std::array<std::vector<TGeneratedSkippedAction>, TAction::NumHandlerLists> found;
	size_t count = 0;
	const std::string head = ActionName.substr(0, 3);
	{
		SharedScopedLock lock(ActionList);
		const ActionMap& actions = &ActionList;
		// Names sharing the first three characters are contiguous; walking down from the
		// generated name meets the longest matching name first.
		for (auto it = actions.upper_bound(ActionName); it != actions.begin();)
		{
			--it;
			const std::string& name = it->first;
			if (name.compare(0, head.size(), head) != 0)
				break;
			if (ActionName.compare(0, name.size(), name) != 0)
				continue;
			for (size_t type = 0; type < TAction::NumHandlerLists; ++type)
			{
				if (!Admits(Filter, type) || it->second->GetHandlersCount(static_cast<ActionHandleType>(type)) == 0)
					continue;
				found[type].push_back({it->second, hActionData});
				++count;
			}
		}
	}
	for (size_t type = 0; type < TAction::NumHandlerLists; ++type)
	{
		if (found[type].empty())
			continue;
		ScopedLock lock(ToRunActionQueue[type]);
		for (auto& entry : found[type])
			ToRunActionQueue[type]->push(std::move(entry));
	}
	return count;
}

void TActionMan::ApplyRemove(const ActionCommandInfo& command, std::vector<std::shared_ptr<TAction>>& removed)
{
	ActionMap& actions = &ActionList;
	if (!command.ActionName.empty())
	{
		const auto it = actions.find(command.ActionName);
		if (it == actions.end())
			return;
		removed.push_back(std::move(it->second));
		actions.erase(it);
		return;
	}
	for (auto& entry : actions)
		entry.second->UnregisterActionHandlersByRelatedObject(command.RelatedObject, true);
}

void TActionMan::ApplyCommands(CommandList& commands, std::vector<std::shared_ptr<TAction>>& removed)
{
	ScopedLock lock(ActionList);
	ActionMap& actions = &ActionList;
	for (auto& command : commands)
	{
		if (command.Command == Remove)
		{
			ApplyRemove(command, removed);
			continue;
		}
		std::shared_ptr<TAction>& action = actions[command.ActionName];
		if (!action)
		{
			action = std::make_shared<TAction>(command.ActionName);
			KEL_LOG(LogActions, logs::Verbose, "New action with name \"%s\" created", command.ActionName.c_str());
		}
		action->SetAsyncRunner(mAsyncRunner.load());
		action->RegisterActionHandler(std::move(command.Handler), command.Type);
	}
}

void TActionMan::ExecuteActions(ActionHandleType ExecType)
{
	if (ExecType == ACTION_ANY)
	{
		KEL_LOG(LogActions, logs::Warning,
		        "Tried to execute actions as ANY, which is not allowed! Execution type must be specified.");
		return;
	}
	if (!IsListType(ExecType))
		return;

	// Removed actions die here, after the lock, once queued runs no longer reach them.
	std::vector<std::shared_ptr<TAction>> removed;
	for (const size_t index : {RemovalCommands, static_cast<size_t>(ExecType)})
	{
		CommandList commands;
		{
			ScopedLock lock(ActionCommands[index]);
			commands.swap(&ActionCommands[index]);
		}
		if (!commands.empty())
			ApplyCommands(commands, removed);
	}
	removed.clear();

	RunQueue queue;
	{
		ScopedLock lock(ToRunActionQueue[ExecType]);
		queue.swap(&ToRunActionQueue[ExecType]);
	}
	for (; !queue.empty(); queue.pop())
	{
		const std::shared_ptr<TAction> action = queue.front().Action.lock();
		if (!action)
			continue;
		try
		{
			action->Execute(queue.front().hActionData, ExecType);
		}
		catch (const std::exception& e)
		{
			KEL_LOG(LogActions, logs::Error, "handler of '%s' threw exception: %s", action->GetName().c_str(),
			        e.what());
		}
		catch (...)
		{
			KEL_LOG(LogActions, logs::Error, "handler of '%s' threw unknown exception", action->GetName().c_str());
		}
	}
}
} // namespace rtfwk_sdl2
