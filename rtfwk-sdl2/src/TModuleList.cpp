#include "TModuleList.h"

#include "MyUtils.h"
#include "TActionMan.h"
#include "TAppModule.h"

#include <SDL_timer.h>

#include <chrono>
#include <utility>

namespace rtfwk_sdl2
{
std::atomic<TModuleList*> pModuleHost{nullptr};

TModuleList::~TModuleList()
{
	TModuleList* self = this;
	pModuleHost.compare_exchange_strong(self, nullptr);
	// The action manager may already be gone when an owner forgot DestroyModules.
	mActionMan = nullptr;
	DestroyModules();
}

int TModuleList::AddModule(TAppModule* pModule, int priority)
{
	if (pModule == nullptr)
		return -1;
	if (priority < 0)
		priority = 0;
	ScopedLock lock(ModuleList);
	if (GetModuleByName_AssumesLocked(pModule->Name()) != nullptr)
	{
		KEL_LOG(LogApp, logs::Warning, "Module %s already exists in this application.", pModule->Name().c_str());
		return -2;
	}
	ModuleList->emplace(priority, ModuleInfo{pModule, Running});
	KEL_LOG(LogApp, logs::Normal, "Module %s added.", pModule->Name().c_str());
	return 0;
}

int TModuleList::DropModule(TAppModule* pModule)
{
	if (pModule == nullptr)
		return -1;
	ScopedLock lock(ModuleList);
	for (auto it = ModuleList->begin(); it != ModuleList->end(); ++it)
	{
		if (it->second.Module != pModule)
			continue;
		KEL_LOG(LogApp, logs::Important, "Dropping module %s directly", pModule->Name().c_str());
		ModuleList->erase(it);
		return 0;
	}
	return -2;
}

int TModuleList::DropModule(const std::string& ModuleName)
{
	if (ModuleName.empty())
		return -1;
	ScopedLock lock(ModuleList);
	for (auto it = ModuleList->begin(); it != ModuleList->end(); ++it)
	{
		if (it->second.Module->Name() != ModuleName)
			continue;
		KEL_LOG(LogApp, logs::Important, "Dropping module %s", ModuleName.c_str());
		ModuleList->erase(it);
		return 0;
	}
	return -2;
}

TAppModule* TModuleList::GetModuleByName(const std::string& ModuleName) const
{
	if (ModuleName.empty())
		return nullptr;
	SharedScopedLock lock(ModuleList);
	return GetModuleByName_AssumesLocked(ModuleName);
}

TAppModule* TModuleList::GetModuleByName_AssumesLocked(const std::string& ModuleName) const
{
	if (ModuleName.empty())
		return nullptr;
	for (const auto& entry : &ModuleList)
		if (entry.second.Module->Name() == ModuleName)
			return entry.second.Module;
	return nullptr;
}

int TModuleList::DestroyModules()
{
	DeleteRetiredModules();
	int failed = 0;
	for (;;)
	{
		TAppModule* module = nullptr;
		{
			ScopedLock lock(ModuleList);
			if (ModuleList->empty())
				break;
			module = ModuleList->begin()->second.Module;
			ModuleList->erase(ModuleList->begin());
		}
		int code = 0;
		try
		{
			code = module->Unload();
			if (mActionMan != nullptr)
				mActionMan->UnregisterAllActionHandlersByRelatedObject(module);
		}
		catch (...)
		{
			// Left alone: a module that failed to unload may not survive its destructor either.
			++failed;
			continue;
		}
		std::unique_ptr<TAppModule> owned(module);
		if (code != 0)
			KEL_LOG(LogApp, logs::Warning, "Module %s closed with non-zero exit code %d!", module->Name().c_str(),
			        code);
		else
			KEL_LOG(LogApp, logs::Info, "Module %s shut down successfully!", module->Name().c_str());
	}
	return failed;
}

void TModuleList::RetireModule(TAppModule* pModule)
{
	if (pModule == nullptr)
		return;
	ScopedLock lock(mRetiredModules);
	for (const auto& retired : &mRetiredModules)
		if (retired.get() == pModule)
			return;
	mRetiredModules->emplace_back(pModule);
}

void TModuleList::DeleteRetiredModules()
{
	std::vector<std::unique_ptr<TAppModule>> retired;
	{
		ScopedLock lock(mRetiredModules);
		retired.swap(&mRetiredModules);
	}
}

std::multimap<int, TModuleList::ModuleInfo> TModuleList::CopyModuleList() const
{
	SharedScopedLock lock(ModuleList);
	return &ModuleList;
}

bool TModuleList::IsListed(const TAppModule* pModule) const
{
	SharedScopedLock lock(ModuleList);
	for (const auto& entry : &ModuleList)
		if (entry.second.Module == pModule)
			return true;
	return false;
}

void TModuleList::PollModules()
{
	PollModules(SDL_GetTicks());
}

void TModuleList::PollModules(uint32_t nowTicks)
{
	DeleteRetiredModules();
	for (const auto& entry : CopyModuleList())
	{
		TAppModule* module = entry.second.Module;
		if (!IsListed(module) || !module->IsLoaded() ||
		    !MyUtils::IsTime(module->mLastPollTime, module->mOverridePollInterval, true, nowTicks))
			continue;
		// Read before the poll: the module may retire itself from it.
		const std::string name = module->Name();
		const auto start = std::chrono::steady_clock::now();
		module->Poll();
		const auto micros =
		    std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
		const float ms = static_cast<float>(micros) * 0.001f;
		if (ms > SlowPollMs)
			KEL_LOG(LogApp, logs::Warning, "Polling of module '%s' took pretty long! (%.02fms)", name.c_str(),
			        static_cast<double>(ms));
	}
}

bool TModuleList::ModulesShutdownPass()
{
	bool okToExit = true;
	int waitingOnPriority = -1;
	for (const auto& entry : CopyModuleList())
	{
		const int priority = entry.first;
		TAppModule* module = entry.second.Module;
		if (waitingOnPriority >= 0 && priority > waitingOnPriority)
			break;
		if (entry.second.State == ReadyToUnload || !IsListed(module))
			continue;
		EModuleState state = entry.second.State;
		if (state == Running)
		{
			module->RequestClose();
			state = ShutdownRequested;
		}
		if (module->ReadyToExit())
			state = ReadyToUnload;
		else
		{
			waitingOnPriority = priority;
			okToExit = false;
		}
		// Written to the listed entry, so that the next pass neither asks again nor waits on it.
		ScopedLock lock(ModuleList);
		for (auto& listed : &ModuleList)
			if (listed.second.Module == module)
				listed.second.State = state;
	}
	return okToExit;
}
} // namespace rtfwk_sdl2
