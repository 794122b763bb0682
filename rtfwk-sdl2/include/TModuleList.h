#pragma once
// The application's modules, keyed by priority: lower keys are polled, asked to close and
// destroyed first; equal keys keep their insertion order. The list owns the modules it holds.
//
// The main loop polls on a copy of the list and runs the shutdown pass on one, so modules are
// called without the list lock held and may add or drop modules meanwhile; a module dropped
// during a pass is not called by the rest of that pass.

#include "common/Logger.h"
#include "common/ThreadSafeProperty.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace rtfwk_sdl2
{
class TAppModule;
class TActionMan;
class TModuleList;

// The list that TAppModule::InitOnly and Destroy use; set by the list's owner (the application).
extern std::atomic<TModuleList*> pModuleHost;

class TModuleList
{
public:
	enum EModuleState
	{
		Running = 0,
		ShutdownRequested = 1,
		ReadyToUnload = 2
	};

	// Copies of the list are views: Module is owned by the list while it is listed.
	struct ModuleInfo
	{
		TAppModule* Module = nullptr;
		EModuleState State = Running;
	};

	// Polls slower than this are reported.
	static constexpr float SlowPollMs = 2.0f;

	TModuleList() = default;
	TModuleList(const TModuleList&) = delete;
	TModuleList& operator=(const TModuleList&) = delete;
	// Destroys the modules still listed (without touching the action manager) and the retired
	// ones; stops being the module host.
	virtual ~TModuleList();

	// Where DestroyModules removes each module's action handlers; set by the owner.
	void SetActionManager(TActionMan* actions) { mActionMan = actions; }

	int AddModule(TAppModule* pModule, int priority);
	int DropModule(TAppModule* pModule);
	int DropModule(const std::string& ModuleName);
	TAppModule* GetModuleByName(const std::string& ModuleName) const;
	TAppModule* GetModuleByName_AssumesLocked(const std::string& ModuleName) const;
	// Unloads and deletes every module, lowest priority first; returns how many failed.
	int DestroyModules();

	// Takes ownership of a module that has left the list and deletes it at the start of the next
	// poll, in DestroyModules or with the list: a module may retire itself from its own Poll.
	void RetireModule(TAppModule* pModule);

	// The logic pass: polls each loaded module whose poll interval has elapsed, in priority order.
	void PollModules();
	void PollModules(uint32_t nowTicks);
	// The shutdown pass: asks Running modules to close and marks ready ones ReadyToUnload, not
	// going past the first priority that is not ready. True when every module is ready.
	bool ModulesShutdownPass();

	ThreadSafeProperty<std::multimap<int, ModuleInfo>, std::shared_mutex> ModuleList;

protected:
	std::multimap<int, ModuleInfo> CopyModuleList() const;
	bool IsListed(const TAppModule* pModule) const;
	void DeleteRetiredModules();

	TActionMan* mActionMan = nullptr;
	ThreadSafeProperty<std::vector<std::unique_ptr<TAppModule>>, std::mutex> mRetiredModules;
};
} // namespace rtfwk_sdl2
