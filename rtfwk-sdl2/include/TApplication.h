#pragma once
// The base of every application built on the framework: construction from the environment,
// Init, a start-up phase, a fixed-rate main loop, the state machine with an orderly shutdown,
// frame-time accounting, deferred calls to the main thread and the signal entry points.

#include "Language.h"
#include "MyUtils.h"
#include "TActionMan.h"
#include "TAppModule.h"
#include "TLogManager.h"
#include "TModuleList.h"
#include "TParamMan.h"
#include "TTaskMan.h"

#include "common/AsyncTaskRunner.h"
#include "common/Logger.h"
#include "common/Semaphore.h"
#include "common/ThreadSafeProperty.h"

#include <SDL.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

DECLARE_LOG_CATEGORY(LogLoading, VeryVerbose);

namespace rtfwk_sdl2
{
enum ETerminateType
{
	DEFAULT = 0,
	SHUTDOWN = 1,
	RESTART = 2
};

enum Threads
{
	THREAD_MAIN = 0,
	THREAD_DRAW = 1
};

enum EFrameType : uint64_t
{
	RUN_CYCLE = 1,
	DRAW = 2,
	LOGIC = 4,
	ACTION = 8,
	TASK = 16,
	OVERHEAD = 32,
	DEFERRED_MAIN = 64,
	SLEEP = 128,
	DB_TRANSACTIONS = 256,
	ALL = 511
};

// Record index of a frame type: that of its highest bit; ALL has its own record.
size_t FrameRecordIndex(uint64_t type);

class TApplication;
extern TApplication* pApp;

extern std::vector<std::string> mCommandLineArguments;
int InitCommandLineArguments(int argc, const char** argv);
const std::vector<std::string>& CommandLineArguments();

// Runs command through the shell (Platform().OpenReadPipe) and returns its standard output.
std::string SystemCmdResult(const std::string& command);

class TApplication : public TLogManager,
                     public TActionMan,
                     public TParamMan,
                     public TTaskMan,
                     public AsyncTaskRunner,
                     public Lockable<std::recursive_mutex>,
                     public TModuleList
{
public:
	enum EApplicationState
	{
		APP_INITIALIZING = 0,
		APP_LOADING = 1,
		APP_LOADING_GRAPHICS = 2,
		APP_LOADING_2 = 3,
		APP_STARTUP = 4,
		APP_STARTUP_GRAPHICS = 5,
		APP_RUNNING = 6,
		APP_SHUTTING_DOWN = 7,
		APP_TERMINATE = 8,
		APP_QUIT = 9
	};

	struct FrameDurationData
	{
		float Total = 0.f;
		float Max = 0.f;
		size_t NumFramesElapsed = 0;
		float Last = 0.f;
		std::chrono::steady_clock::time_point LastResetTS;
	};
	struct FrameDurationDataInternal : public FrameDurationData, public SharedLockable
	{
	};

	using DeferredType = std::function<void()>;
	struct DeferredQueueMember
	{
		explicit DeferredQueueMember(const DeferredType& h) : handler(h) {}
		DeferredType handler;
		Semaphore semaphore{1, 0};
	};

	// Valid CPU_FPS values; anything else falls back to DefaultTargetFrequency.
	static constexpr unsigned DefaultTargetFrequency = 1000;
	static constexpr unsigned MaxTargetFrequency = 100000;
	// The frequency a CPU_FPS text asks for; ok is false (and 1000 returned) when it is unusable.
	static unsigned ParseTargetFrequency(const char* text, bool& ok);

	explicit TApplication(const std::string& type);
	~TApplication() override;

	virtual int LoadEnvironmentVariables() { return 0; }
	virtual bool IsInDrawThread() { return false; }
	virtual int Init(const std::vector<std::string>& args);
	virtual void Destroy();
	virtual int PreStartup() { return 0; }
	virtual void Startup();
	virtual std::string Version() { return {}; }
	virtual std::string Copyright() { return {}; }
	virtual int RunOnce() { return 0; }
	virtual void PreRunOnce() {}
	virtual int OnExitMainLoop();
	virtual void PrintUsage();
	virtual void OnSDLEvent(SDL_Event& e);
	virtual void PostSDLUserEvent(int code, void* data1, void* data2);
	virtual void PostSDLKeyboardEvent(bool isPressed, SDL_Keycode key, SDL_Keymod mod);
	virtual void Quit();
	virtual bool shouldSkipStatus(EApplicationState s) { return s == APP_STARTUP_GRAPHICS; }
	virtual void OnAppStateChanged(EApplicationState s);
	virtual bool CanExit() { return true; }
	virtual bool FunctionKeysDisabled() { return false; }
	virtual void OnLanguageChanged(ELanguage lang);

	int Run();
	bool Destroyed() const { return bDestroyed.load(); }

	// State
	EApplicationState status() const;
	void setStatus(EApplicationState s);
	void advanceStatus();
	void waitForStatus(EApplicationState s);
	// False when the state did not reach s within timeout.
	bool waitForStatus(EApplicationState s, std::chrono::milliseconds timeout);
	bool shuttingDown() const { return status() > APP_RUNNING; }
	bool shouldTerminate() const { return status() >= APP_TERMINATE; }
	void terminate(ETerminateType type, bool bGracefully);
	ETerminateType GetTerminationType() const { return TerminationType.load(); }

	// Reboot-on-exit: on only when asked for (DISABLE_REBOOT_ON_EXIT set to "" or "0", or this).
	void SetRebootOnExit(bool reboot) { mRebootOnExit = reboot; }
	bool RebootOnExit() const { return mRebootOnExit.load(); }

	// Loop control
	void SetLogicInterval(unsigned ms) { mLogicInterval = ms; }
	unsigned LogicInterval() const { return mLogicInterval.load(); }
	unsigned GetTargetFrequency() const { return TargetFrequency.load(); }
	int CurrentFrequency() const { return mCurrentFreq.load(); }
	int64_t GetProfilingInterval() const { return ProfilingInterval; }
	void ExecuteActionsAndTasks(bool threadSafe);
	bool IsInMainThread() const { return std::this_thread::get_id() == ThreadID_MainThread; }
	const std::string& MachineName() const { return mMachineName; }
	void SetLogFile(const std::string& file) { mLogFile = file; }
	const std::string& LogFile() const { return mLogFile; }
	const std::string& GetClientType() const { return ClientType; }

	// SDL events
	bool ProcessNextEvent();
	void AddEventListener(TAppModule* pModule, bool InsertFirst);
	void RemoveEventListener(TAppModule* pModule);

	// Language
	void SetLanguage(ELanguage lang);
	ELanguage Language() const { return mLanguage; }

	// Frame times
	void PushNewFrame(EFrameType type, float durationMs);
	void ResetFrameTimes();
	FrameDurationData FrameDurationSnapshot(EFrameType type) const;
	float ElapsedSinceReset(EFrameType type) const;
	float LastFrameDuration(EFrameType mask) const;
	float TotalFrameDuration(EFrameType mask) const;
	float MaxFrameDuration(EFrameType mask) const;
	float AvgFrameDuration(EFrameType mask) const;

	// Deferred calls
	void Defer(const DeferredType& method, bool evenIfAlreadyInMain, bool waitForExecution);
	void ExecuteDeferredMethods();

	// Signals: the shutdown a recorded signal asks for; runs on the signal thread, not in the
	// handler. Returns the exit status (the signal number).
	int SignalHandler(int SigValue);
	std::string GetBinaryPath() const;

	// How long the signal thread waits for the main loop to finish a graceful shutdown.
	static std::chrono::milliseconds SignalShutdownTimeout;

protected:
	int MainLoop();
	void ShutdownPass();
	void WriteProfilingReport(std::chrono::steady_clock::time_point reportTime);
	// Sleeps the rest of a loop period, never more than 999999999 ns per nanosleep call.
	static void SleepMicros(int64_t micros);
	void WriteCrashBacktrace(int SigValue);

	const std::chrono::steady_clock::time_point Started;
	std::atomic<unsigned> mLogicInterval{10};
	std::atomic<bool> mIsExecutingMainDeferredMethods{false};
	SDL_Event LastProcessedEvent{};
	bool bSDLInit = false;
	ThreadSafeProperty<std::queue<std::shared_ptr<DeferredQueueMember>>, std::mutex> mDeferredQueue;
	std::atomic<int> mCurrentFreq{0};
	const std::thread::id ThreadID_MainThread;
	std::thread RandomCycleThread;
	int64_t ProfilingInterval = 0;
	int SDL_InitFlags = SDL_INIT_TIMER | SDL_INIT_EVENTS;
	std::string mMachineName;
	const std::string ClientType;
	uint32_t AppStartTicks = 0;
	std::atomic<ETerminateType> TerminationType{DEFAULT};
	std::atomic<unsigned> TargetFrequency{DefaultTargetFrequency};
	std::atomic<bool> mRebootOnExit{false};
	std::string mLogFile = "tmpLog.txt";
	ELanguage mLanguage = English;
	std::array<FrameDurationDataInternal, 10> FrameDurations;
	std::list<TAppModule*> EventListenerList;
	int mSwipeDist = -1;
	ThreadSafeProperty<EApplicationState, std::mutex> mAppStatus;
	std::condition_variable mAppStatusChanged;
	int LastCPUDuration = 0;
	std::atomic<bool> bDestroyed{false};
	// Destroy may be reached from the main thread and the signal thread at once.
	std::mutex mDestroyMutex;
};
} // namespace rtfwk_sdl2
