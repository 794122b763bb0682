#include "TApplication.h"

#include "Platform.h"
#include "Signals.h"

#include "common/Cryptography.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

DEFINE_LOG_CATEGORY(LogLoading, "loading");

namespace rtfwk_sdl2
{
TApplication* pApp = nullptr;

std::chrono::milliseconds TApplication::SignalShutdownTimeout{30000};

namespace
{
using Clock = std::chrono::steady_clock;

float MsSince(Clock::time_point from, Clock::time_point to)
{
	return static_cast<float>(std::chrono::duration_cast<std::chrono::microseconds>(to - from).count()) * 0.001f;
}
} // namespace

unsigned TApplication::ParseTargetFrequency(const char* text, bool& ok)
{
	ok = false;
	if (text == nullptr)
		return DefaultTargetFrequency;
	std::string value(text);
	MyUtils::trimString(value);
	if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos)
		return DefaultTargetFrequency;
	const unsigned long parsed = std::strtoul(value.c_str(), nullptr, 10);
	if (parsed == 0 || parsed > MaxTargetFrequency)
		return DefaultTargetFrequency;
	ok = true;
	return static_cast<unsigned>(parsed);
}

TApplication::TApplication(const std::string& type)
    : Started(Clock::now()), ThreadID_MainThread(std::this_thread::get_id()), ClientType(type)
{
	ResetFrameTimes();
	if (const char* logFile = std::getenv("LOG_FILENAME"))
	{
		mLogFile = logFile;
		MyUtils::trimString(mLogFile);
	}
	else
		KEL_LOG(LogApp, logs::Warning, "No Log file set! Writing to %s", mLogFile.c_str());

	// Reboot-on-exit only when asked for explicitly: unset leaves it off.
	if (const char* disable = std::getenv("DISABLE_REBOOT_ON_EXIT"))
	{
		if (disable[0] == '\0' || std::strcmp(disable, "0") == 0)
		{
			KEL_LOG(LogApp, logs::Important, "Will reboot system after close!");
			mRebootOnExit = true;
		}
	}

	(&mAppStatus) = APP_INITIALIZING;
	if (const char* fps = std::getenv("CPU_FPS"))
	{
		bool ok = false;
		TargetFrequency = ParseTargetFrequency(fps, ok);
		if (!ok)
			KEL_LOG(LogApp, logs::Warning, "Invalid CPU_FPS '%s'; using %u iterations per second", fps,
			        DefaultTargetFrequency);
	}
	AppStartTicks = SDL_GetTicks();

	MyUtils::SetAsyncRunner(this);
	TActionMan::SetAsyncRunner(this);
	TModuleList::SetActionManager(this);
	pModuleHost = this;
	pParamMan = this;
	TParamMan::SetActionManager(this);
}

TApplication::~TApplication()
{
	if (!bDestroyed)
		Destroy();
	if (bSDLInit)
		SDL_Quit();
	if (pApp == this)
		pApp = nullptr;

	// The power command runs only with reboot-on-exit on, and never on the signal path.
	if (mRebootOnExit && !SignalShutdownInProgress())
	{
		ETerminateType type = TerminationType.load();
		if (type == DEFAULT)
			type = RESTART;
		const char* name = type == SHUTDOWN ? "SHELL_CMD_SHUTDOWN" : "SHELL_CMD_RESTART";
		const std::string command = GetParam(name, PARAM_CACHE | PARAM_GLOBAL | PARAM_GROUP | PARAM_MINE)->AsString();
		if (!command.empty())
			Platform().PowerCommand(command);
	}

	MyUtils::SetAsyncRunner(nullptr);
	TActionMan::SetAsyncRunner(nullptr);
	TParamMan::SetActionManager(nullptr);
	TModuleList::SetActionManager(nullptr);
	TModuleList* self = this;
	pModuleHost.compare_exchange_strong(self, nullptr);
	TParamMan* selfParams = this;
	pParamMan.compare_exchange_strong(selfParams, nullptr);
}

int TApplication::Init(const std::vector<std::string>& args)
{
	KEL_LOG(LogApp, logs::Important, "********** INITIALIZING %s **************", ClientType.c_str());
	for (const std::string& arg : args)
	{
		static const std::string prefix = "profiling=";
		if (arg.compare(0, prefix.size(), prefix) != 0)
			continue;
		const std::string rest = arg.substr(prefix.size());
		char* end = nullptr;
		errno = 0;
		const long long value = std::strtoll(rest.c_str(), &end, 10);
		if (!rest.empty() && end != rest.c_str() && errno == 0)
			ProfilingInterval = value;
	}

	// Our own signal handlers stay in charge of SIGINT/SIGTERM.
	SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
	if (SDL_Init(SDL_InitFlags) < 0)
	{
		KEL_LOG(LogApp, logs::Critical, "Can not init SDL: %s", SDL_GetError());
		return -1;
	}
	KEL_LOG(LogApp, logs::Info, "SDL initialized");
	bSDLInit = true;

	char host[65] = {};
	gethostname(host, 64);
	mMachineName = host;

	TLogManager::Init(LogFile());
	SetOutputToConsole(true);
	KEL_LOG(LogApp, logs::Normal, "Logmanager ok");

	if (LoadEnvironmentVariables() != 0)
	{
		KEL_LOG(LogApp, logs::Critical,
		        "Can not read basic configuration parameters from shell environment! Exiting...");
		return -1;
	}
	KEL_LOG(LogApp, logs::Info, "Environment variables read");

	GetOrSetParam("SHELL_CMD_SHUTDOWN", std::string("/sbin/init 0"), "ShutDown Shell Command",
	              "System shutdown command.", PARAM_READ_CACHE_WRITE_CACHE, false);
	GetOrSetParam("SHELL_CMD_RESTART", std::string("/sbin/init 6"), "Restart Shell Command", "System restart command.",
	              PARAM_READ_CACHE_WRITE_CACHE, false);
	return 0;
}

void TApplication::Destroy()
{
	std::lock_guard<std::mutex> guard(mDestroyMutex);
	CleanupAllTasks();
	const int failed = DestroyModules();
	if (failed != 0)
		KEL_LOG(LogApp, logs::Error, "Could not destroy %d modules!", failed);
	else
		KEL_LOG(LogApp, logs::Info, "Successfully destroyed all modules.");
	if (RandomCycleThread.joinable())
		RandomCycleThread.join();
	TLogManager::Destroy();
	bDestroyed = true;
	{
		// Wakes a signal thread waiting for the shutdown to finish.
		std::lock_guard<std::mutex> lock(mAppStatus.native());
	}
	mAppStatusChanged.notify_all();
}

void TApplication::Startup()
{
	auto param = GetOrSetParam("RANDOM_CYCLE", std::string("0"), "Background RNG task",
	                           "The interval (ms) in which the RNG should be queried. 0 to disable",
	                           PARAM_READ_MINE_OR_GROUP_OR_GLOBAL_WRITE_GROUP, false);
	int cycle = std::atoi(param->AsString().c_str());
	if (cycle == 0 || RandomCycleThread.joinable())
		return;
	if (cycle < 100)
		cycle = 100;
	RandomCycleThread = std::thread(
	    [this, cycle]()
	    {
		    while (status() < APP_TERMINATE)
		    {
			    const float f = crypto::GetRandomInRange(0.8f, 1.2f);
			    // Wakes early when the state reaches APP_TERMINATE, so Destroy need not wait a cycle.
			    waitForStatus(APP_TERMINATE, std::chrono::milliseconds(static_cast<int64_t>(cycle * f)));
		    }
	    });
}

int TApplication::OnExitMainLoop()
{
	setStatus(APP_QUIT);
	ClearAllTasks();
	Destroy();
	return 0;
}

void TApplication::PrintUsage()
{
	std::fputs("Application usage not defined. Contact vendor.\n", stdout);
}

void TApplication::OnSDLEvent(SDL_Event& e)
{
	for (TAppModule* listener : EventListenerList)
		if (listener != nullptr && listener->OnSDLEvent(e))
			break;
}

void TApplication::PostSDLUserEvent(int code, void* data1, void* data2)
{
	SDL_Event e{};
	e.type = SDL_USEREVENT;
	e.user.code = code;
	e.user.data1 = data1;
	e.user.data2 = data2;
	SDL_PushEvent(&e);
}

void TApplication::PostSDLKeyboardEvent(bool isPressed, SDL_Keycode key, SDL_Keymod mod)
{
	SDL_Event e{};
	e.type = isPressed ? SDL_KEYDOWN : SDL_KEYUP;
	e.key.state = isPressed ? SDL_PRESSED : SDL_RELEASED;
	e.key.keysym.sym = key;
	e.key.keysym.mod = static_cast<Uint16>(mod);
	SDL_PushEvent(&e);
}

void TApplication::Quit()
{
	PostSDLKeyboardEvent(true, SDLK_ESCAPE, KMOD_NONE);
}

void TApplication::OnAppStateChanged(EApplicationState s)
{
	KEL_LOG(LogApp, logs::Important, "App state changed to %d", static_cast<int>(s));
	if (s == APP_SHUTTING_DOWN)
	{
		const auto modules = ModuleList.getCopy();
		for (auto it = modules.rbegin(); it != modules.rend(); ++it)
			if (it->second.Module != nullptr)
				it->second.Module->RequestClose();
	}
}

void TApplication::OnLanguageChanged(ELanguage)
{
	GenerateAction("LanguageChanged", nullptr, ACTION_ANY);
}

void TApplication::SetLanguage(ELanguage lang)
{
	if (lang <= 0)
		throw std::runtime_error("Cannot set the language to an invalid value");
	if (lang == mLanguage)
		return;
	mLanguage = lang;
	OnLanguageChanged(lang);
}

TApplication::EApplicationState TApplication::status() const
{
	std::lock_guard<std::mutex> lock(mAppStatus.native());
	return (&mAppStatus);
}

void TApplication::setStatus(EApplicationState s)
{
	EApplicationState now;
	{
		std::lock_guard<std::mutex> lock(mAppStatus.native());
		if (s <= (&mAppStatus))
			return;
		(&mAppStatus) = s;
		mAppStatusChanged.notify_all();
		now = (&mAppStatus);
	}
	OnAppStateChanged(now);
}

void TApplication::advanceStatus()
{
	for (int s = status() + 1; s <= APP_TERMINATE; ++s)
		if (!shouldSkipStatus(static_cast<EApplicationState>(s)))
		{
			setStatus(static_cast<EApplicationState>(s));
			return;
		}
}

void TApplication::waitForStatus(EApplicationState s)
{
	std::unique_lock<std::mutex> lock(mAppStatus.native());
	mAppStatusChanged.wait(lock, [&] { return (&mAppStatus) >= s; });
}

bool TApplication::waitForStatus(EApplicationState s, std::chrono::milliseconds timeout)
{
	std::unique_lock<std::mutex> lock(mAppStatus.native());
	return mAppStatusChanged.wait_for(lock, timeout, [&] { return (&mAppStatus) >= s; });
}

void TApplication::terminate(ETerminateType type, bool bGracefully)
{
	TerminationType = type;
	setStatus(bGracefully ? APP_SHUTTING_DOWN : APP_TERMINATE);
}

void TApplication::ExecuteActionsAndTasks(bool threadSafe)
{
	auto start = Clock::now();
	if (threadSafe)
	{
		ExecuteActions(ACTION_THREAD_SAFE);
		ExecuteActions(ACTION_ASYNC);
	}
	else
		ExecuteActions(ACTION_NORMAL);
	auto mid = Clock::now();
	PushNewFrame(ACTION, MsSince(start, mid));
	ProcessTasks(threadSafe ? TASK_THREAD_SAFE : TASK_NORMAL);
	PushNewFrame(TASK, MsSince(mid, Clock::now()));
}

bool TApplication::ProcessNextEvent()
{
	if (SDL_PollEvent(&LastProcessedEvent) == 0)
		return false;
	if (LastProcessedEvent.type == SDL_QUIT)
	{
		// A quit event ends the process; it never asks for a power-off.
		terminate(DEFAULT, true);
		return false;
	}
	if (FunctionKeysDisabled() && (LastProcessedEvent.type == SDL_KEYDOWN || LastProcessedEvent.type == SDL_KEYUP))
	{
		const SDL_Keycode key = LastProcessedEvent.key.keysym.sym;
		if (key >= SDLK_F1 && key <= SDLK_F12)
			return true;
	}
	OnSDLEvent(LastProcessedEvent);
	return true;
}

void TApplication::AddEventListener(TAppModule* pModule, bool InsertFirst)
{
	if (pModule == nullptr)
		return;
	Defer(
	    [this, pModule, InsertFirst]()
	    {
		    EventListenerList.remove(pModule);
		    if (InsertFirst)
			    EventListenerList.push_front(pModule);
		    else
			    EventListenerList.push_back(pModule);
	    },
	    true, false);
}

void TApplication::RemoveEventListener(TAppModule* pModule)
{
	if (pModule == nullptr)
		return;
	Defer([this, pModule]() { EventListenerList.remove(pModule); }, true, false);
}

int TApplication::Run()
{
	if (Platform().SetScheduler(SCHED_RR, 8) != 0)
		KEL_LOG(LogApp, logs::Warning, "sched_setscheduler failed: %s ", std::strerror(errno));
	const int pre = PreStartup();
	if (pre != 0)
	{
		KEL_LOG(LogApp, logs::Critical, "Error on PreStartup!");
		return pre;
	}
	if (status() < APP_STARTUP)
		advanceStatus();
	AppStartTicks = SDL_GetTicks();
	Startup();
	GenerateAction("PowerUP", nullptr, ACTION_ANY);
	do
	{
		{
			ScopedLock lock(this);
			ExecuteActions(ACTION_THREAD_SAFE);
			ExecuteActions(ACTION_ASYNC);
			ProcessTasks(TASK_THREAD_SAFE);
			SaveParams();
		}
		// Waits for whatever raises the state instead of spinning a core.
		if (status() < APP_STARTUP)
			waitForStatus(APP_STARTUP, std::chrono::milliseconds(1));
	} while (status() < APP_STARTUP);
	advanceStatus();

	int result = 6;
	try
	{
		result = MainLoop();
	}
	catch (const std::exception& e)
	{
		KEL_LOG(LogApp, logs::Error, "Uncaught exception in main loop: %s", e.what());
	}
	result |= -OnExitMainLoop();
	return result;
}

void TApplication::SleepMicros(int64_t micros)
{
	while (micros > 0)
	{
		const int64_t chunk = micros < 999999 ? micros : 999999;
		timespec request{0, static_cast<long>(chunk * 1000)};
		nanosleep(&request, nullptr);
		micros -= chunk;
	}
}

void TApplication::ShutdownPass()
{
	if (ModulesShutdownPass() && CanExit())
		advanceStatus();
}

int TApplication::MainLoop()
{
	const double loopTargetDurationMs = 1000.0 / std::max(1u, TargetFrequency.load());
	Clock::time_point lastLogic = Clock::now();
	Clock::time_point lastProfiling = lastLogic;
	Clock::time_point lastCompletion = lastLogic;
	int result = 0;
	EApplicationState state = status();
	while (result == 0 && state < APP_TERMINATE)
	{
		const Clock::time_point loopStart = Clock::now();
		{
			const FrameDurationData all = FrameDurationSnapshot(ALL);
			mCurrentFreq = all.Total > 0.f ? static_cast<int>(all.NumFramesElapsed * 1000.0 / all.Total) : 0;
		}
		Clock::time_point lockedEnd;
		Clock::time_point afterLock;
		{
			ScopedLock lock(this);
			afterLock = Clock::now();
			ExecuteDeferredMethods();
			const Clock::time_point afterDeferred = Clock::now();
			PushNewFrame(DEFERRED_MAIN, MsSince(afterLock, afterDeferred));
			try
			{
				PreRunOnce();
			}
			catch (const std::exception& e)
			{
				KEL_LOG(LogApp, logs::Critical, "Unhandled STD Exception: %s", e.what());
			}
			catch (...)
			{
				KEL_LOG(LogApp, logs::Critical, "Unknown Exception was thrown");
			}
			const Clock::time_point afterPre = Clock::now();
			PushNewFrame(LOGIC, MsSince(afterDeferred, afterPre));

			if (std::chrono::duration_cast<std::chrono::milliseconds>(afterPre - lastLogic).count() >=
			    static_cast<int64_t>(mLogicInterval.load()))
			{
				PollModules();
				Clock::time_point eventStart = Clock::now();
				while (ProcessNextEvent())
				{
					const Clock::time_point eventEnd = Clock::now();
					const float took = MsSince(eventStart, eventEnd);
					if (took > 1.0f)
						KEL_LOG(LogApp, logs::Warning,
						        "Processing of SDL event with type %u took pretty long! (%.02fms)",
						        LastProcessedEvent.type, took);
					eventStart = eventEnd;
				}
				result = RunOnce();
				lastLogic = afterPre;
				PushNewFrame(RUN_CYCLE, MsSince(afterPre, Clock::now()));
			}
			ExecuteActionsAndTasks(false);
			CheckAsyncTasks();
		}
		lockedEnd = Clock::now();
		if (state == APP_SHUTTING_DOWN)
			ShutdownPass();
		SaveParams();
		if (ProfilingInterval != 0)
		{
			const Clock::time_point now = Clock::now();
			if (std::chrono::duration_cast<std::chrono::milliseconds>(now - lastProfiling).count() >= ProfilingInterval)
			{
				lastProfiling = now;
				WriteProfilingReport(now);
			}
		}
		PushNewFrame(OVERHEAD, MsSince(lockedEnd, Clock::now()) + MsSince(lastCompletion, afterLock));
		ExecuteActionsAndTasks(true);

		// Also paced while shutting down: modules that are slow to close must not cost a core.
		if (state == APP_RUNNING || state == APP_SHUTTING_DOWN)
		{
			const int64_t elapsedUs =
			    std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - loopStart).count();
			const int64_t toSleepMicros = static_cast<int64_t>(loopTargetDurationMs * 1000.0 - elapsedUs);
			if (toSleepMicros > 0)
			{
				const Clock::time_point sleepStart = Clock::now();
				SleepMicros(toSleepMicros);
				const float slept = MsSince(sleepStart, Clock::now());
				if (slept > 10.0 * loopTargetDurationMs)
					KEL_LOG(LogApp, logs::Verbose,
					        "Slept longer than %d%% of the CPU frame duration! (%.1f > %.1f, commanded %.1f)", 1000,
					        slept, loopTargetDurationMs, toSleepMicros / 1000.0);
				PushNewFrame(SLEEP, slept);
			}
		}
		const Clock::time_point completion = Clock::now();
		PushNewFrame(ALL, MsSince(lastCompletion, completion));
		lastCompletion = completion;
		state = status();
	}
	return result;
}
} // namespace rtfwk_sdl2
