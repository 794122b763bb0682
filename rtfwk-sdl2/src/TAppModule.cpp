#include "TAppModule.h"

#include "TModuleList.h"

DEFINE_LOG_CATEGORY(LogAppModule, "app-module");

namespace rtfwk_sdl2
{
TAppModule::~TAppModule() = default;

const logs::LogCategory& TAppModule::GetLogCategory() const
{
	return LogAppModule;
}

void TAppModule::Poll()
{
	CheckAsyncTasks();
}

bool TAppModule::ReadyToExit() const
{
	return true;
}

int TAppModule::Load(void*)
{
	bLoaded = true;
	return 0;
}

int TAppModule::Unload()
{
	ClearAllTasks();
	OnUnload();
	return 0;
}

void TAppModule::RequestClose()
{
}

bool TAppModule::OnSDLEvent(const SDL_Event&)
{
	return false;
}

void TAppModule::Enable()
{
	if (!Enabled)
		OnEnable();
	Enabled = true;
}

void TAppModule::OnEnable()
{
}

void TAppModule::Disable()
{
	if (Enabled)
		OnDisable();
	Enabled = false;
}

void TAppModule::OnDisable()
{
}

int TAppModule::InitOnly(const std::string& ModuleName, int priority)
{
	TModuleList* host = pModuleHost.load();
	if (host == nullptr || ModuleName.empty())
		return -1;
	SetName(ModuleName);
	Enabled = true;
	host->AddModule(this, priority);
	return 0;
}

int TAppModule::InitAndLoad(const std::string& ModuleName, void* pInitData, int priority)
{
	const int result = InitOnly(ModuleName, priority);
	if (result != 0)
		return result;
	return Load(pInitData);
}

int TAppModule::Destroy()
{
	Unload();
	TModuleList* host = pModuleHost.load();
	if (host == nullptr)
		return -1;
	host->DropModule(this);
	host->RetireModule(this);
	return 0;
}

void TAppModule::SetName(const std::string& name)
{
	ModuleName = name;
	LogComponentName = name;
}
} // namespace rtfwk_sdl2
