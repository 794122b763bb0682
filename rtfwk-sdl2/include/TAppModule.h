#pragma once
// Base of the application's modules: self-contained parts that the application polls, offers
// SDL events to, asks to close in priority order and finally unloads and deletes. A module runs
// its own asynchronous tasks and reaps them in Poll.

#include "common/AsyncTaskRunner.h"
#include "common/KelDelegate.h"
#include "common/Logger.h"

#include <SDL_events.h>

#include <cstdint>
#include <string>

DECLARE_LOG_CATEGORY(LogAppModule, VeryVerbose);

namespace rtfwk_sdl2
{
class TModuleList;

using FOnModuleUnload = SimpleDelegate<>;

class TAppModule : public logs::LoggingComponent, public AsyncTaskRunner
{
public:
	TAppModule() = default;
	TAppModule(const TAppModule&) = delete;
	TAppModule& operator=(const TAppModule&) = delete;

	const logs::LogCategory& GetLogCategory() const override;
	// Reaps the module's own asynchronous tasks.
	virtual void Poll();
	~TAppModule() override;
	virtual bool ReadyToExit() const;
	virtual int Load(void* pInitData);
	// Waits for the module's asynchronous tasks, then fires OnUnload.
	virtual int Unload();
	virtual void RequestClose();
	// True when the event is consumed.
	virtual bool OnSDLEvent(const SDL_Event& e);
	virtual void Enable();
	virtual void OnEnable();
	virtual void Disable();
	virtual void OnDisable();

	// Names the module and lists it with the module host (pModuleHost); -1 without a host or
	// with an empty name. Whether the host accepted it is not reported.
	int InitOnly(const std::string& ModuleName, int priority);
	int InitAndLoad(const std::string& ModuleName, void* pInitData, int priority);
	// Unloads, leaves the host's list and hands the module to the host, which deletes it after
	// the current pass. -1 without a host: the module is then unloaded but the caller keeps it.
	int Destroy();

	void SetName(const std::string& name);
	const std::string& Name() const { return ModuleName; }
	bool IsEnabled() const { return Enabled; }
	bool IsLoaded() const { return bLoaded; }
	// Milliseconds that must pass between two polls; 0 polls in every logic pass.
	void SetPollInterval(uint32_t intervalMs) { mOverridePollInterval = intervalMs; }
	uint32_t PollInterval() const { return mOverridePollInterval; }

	FOnModuleUnload OnUnload;

protected:
	friend class TModuleList;

	std::string ModuleName;
	bool Enabled = false;
	bool bLoaded = false;
	uint32_t mOverridePollInterval = 0;
	// SDL tick of the last poll; 0 means never polled.
	uint32_t mLastPollTime = 0;
};
} // namespace rtfwk_sdl2
