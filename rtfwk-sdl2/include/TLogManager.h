#pragma once
// Output stage for log lines: stamps each line with the local time and a level tag, prints it to
// the console, and queues it for the "log-save" worker, which appends batches to a dated file
// (<base>_YYYY-MM-DD.log), switches files when the date changes and prunes old files.
//
// Callers never wait for the disk: formatting and console output happen on the logging thread,
// file output on the worker every save interval (2 s).

#include "common/Logger.h"
#include "common/Semaphore.h"
#include "common/ThreadSafeProperty.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>

namespace rtfwk_sdl2
{
// 0 to 8 select the level tag; above 0x10000 a user type, marked "LT_USER_<n>".
using TLogType = uint32_t;

struct TLogEntry
{
	TLogType LogType = 0;
	uint64_t GameId = 0;
	int16_t LogEntryIndex = 0;
	// The whole line as written to the file, without line end.
	std::string Message;
	// 256-colour palette index for the console; 0 for none.
	char Color = 0;
};

// Where the log manager reads the time, so that a test can cross midnight without waiting.
struct TLogClock
{
	std::function<time_t()> Now;     // wall clock, for line stamps and file dates
	std::function<uint32_t()> Ticks; // millisecond tick counter, for the worker's timers
	static TLogClock System();
};

class TLogManager
{
public:
	static constexpr size_t MaxHistoryLines = 50;
	static constexpr size_t MaxOldFiles = 39;
	static constexpr size_t MaxFormattedLength = 2047;
	static constexpr uint32_t DateCheckIntervalMs = 10000;
	static constexpr uint32_t FlushIntervalMs = 100;
	static constexpr uint32_t ReopenIntervalMs = 37840;

	TLogManager();
	TLogManager(const TLogManager&) = delete;
	TLogManager& operator=(const TLogManager&) = delete;
	// Destroy must have been called; the destructor only stops a worker that is still running.
	virtual ~TLogManager();

	// Starts the worker and becomes the logger's output. Always 0.
	int Init(const std::string& LogFileFilename);
	void SetOutputToConsole(bool enabled) { OutputToConsole = enabled; }

	// Formats one line and queues it; callable from any thread. Empty text is ignored.
	virtual void _WriteLog(char color, TLogType LogType, unsigned long GameId, const std::string& Text);
	void WriteLog(TLogType LogType, unsigned long GameId, const std::string& Text);
	void WriteLog(TLogType LogType, unsigned long GameId, const char* pText, ...) KEL_PRINTF_FORMAT(4, 5);
	void WriteColoredLog(char color, TLogType LogType, unsigned long GameId, const char* pText, ...)
	    KEL_PRINTF_FORMAT(5, 6);

	std::string PopLogHistory();
	std::string GetLastLog() { return LastLog.getCopy(); }

	// Stops the worker after one last pass and unhooks from the logger. Safe to repeat.
	void Close();
	// Close, then flush the file system's buffers. Safe to repeat, also after a failed Init.
	void Destroy();

	// Before Init: the time source and the worker's pass period.
	void SetClock(TLogClock clock) { mClock = std::move(clock); }
	void SetSaveInterval(std::chrono::milliseconds interval) { mSaveInterval = interval; }
	std::filesystem::path GetLogFileLocation() const { return mLogFileLocation.getCopy(); }

	bool bAppendPrefix = true;
	ThreadSafeProperty<std::string, std::recursive_mutex> LogFileFilename;
	// The configured name without ".log"/".txt" in its file name: the base of the dated names.
	ThreadSafeProperty<std::string, std::recursive_mutex> FullLogFileFilename;
	ThreadSafeProperty<std::string, std::recursive_mutex> CurrentDateString;
	std::atomic<bool> OutputToConsole{false};

protected:
	// Called by the worker after each line is written.
	virtual void OnWriteLog(const TLogEntry& pLogEntry, int LinesToGo);

	ThreadSafeProperty<std::filesystem::path, std::recursive_mutex> mLogFileLocation;
	uint32_t LastTime = 0;
	uint32_t FileOpenTime = 0;
	uint32_t FileFlushTime = 0;
	int LinesToGo = 0;
	ThreadSafeProperty<std::string, std::recursive_mutex> LastLog;

private:
	// Lets Close wait for logger calls in progress and turns later ones into no-ops.
	struct OutputGate;

	void WriteLine(char color, TLogType LogType, unsigned long GameId, const std::string& Text, bool appendPrefix);
	void OnLoggerEntry(const logs::LogEntry& entry);
	std::string TimeText() const;
	std::string DateText() const;
	bool Due(uint32_t& last, uint32_t interval) const;

	void SaveWorker();
	// Runs one step of the worker; an exception is logged, not fatal to the worker.
	void Guarded(const std::function<void()>& work);
	void WriteBatch(std::list<TLogEntry>& batch);
	void SwitchFileIfDateChanged();
	void RefreshLogFileLocation();
	bool OpenLogFile(bool report);
	void CloseLogFile(logs::EVerbosity verbosity, const char* message);
	void PruneOldFiles(const std::filesystem::path& directory, const std::string& base);

	TLogClock mClock;
	std::chrono::milliseconds mSaveInterval{2000};
	std::shared_ptr<OutputGate> mGate;
	Semaphore ShouldQuit{1, 0};
	std::thread mSaveToFileThread;
	std::ofstream mLogFile; // worker thread only
	ThreadSafeProperty<std::list<TLogEntry>, std::mutex> mLogEntries;
	ThreadSafeProperty<std::list<TLogEntry>, std::recursive_mutex> mLogHistory;
};

namespace logman
{
// The first initialised log manager, or null.
extern std::atomic<TLogManager*> pDefInst;

void WriteLog(const std::string& Text);
void WriteLog(unsigned LogType, const std::string& Text);
void WriteLog(unsigned LogType, unsigned long GameId, const std::string& Text);
void WriteLog(unsigned LogType, unsigned long GameId, const char* pText, ...) KEL_PRINTF_FORMAT(3, 4);
void WriteColoredLog(char color, unsigned LogType, unsigned long GameId, const char* pText, ...)
    KEL_PRINTF_FORMAT(4, 5);
std::string GetLastLog();
} // namespace logman
} // namespace rtfwk_sdl2
