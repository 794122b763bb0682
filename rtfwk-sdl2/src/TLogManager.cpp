#include "TLogManager.h"

#include "MyUtils.h"
#include "Platform.h"
#include "common/KelUtils.h"

#include <SDL.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <shared_mutex>
#include <vector>

namespace fs = std::filesystem;

namespace rtfwk_sdl2
{
std::atomic<TLogManager*> logman::pDefInst{nullptr};

struct TLogManager::OutputGate
{
	std::shared_mutex Mutex;
	TLogManager* Target = nullptr; // guarded by Mutex
};

namespace
{
// The manager whose handler is the logger's output now.
std::atomic<TLogManager*> gInstalled{nullptr};

struct LogTypeInfo
{
	const char* Tag;
	logs::EVerbosity::_enumerated ColorOf;
};

const LogTypeInfo kLogTypes[] = {
    {": ", logs::Normal},          {": ", logs::Info},
    {": debINFO: ", logs::Debug},  {": INFO: ", logs::Important},
    {": WARN: ", logs::Warning},   {": ERROR: ", logs::Error},
    {": debERROR: ", logs::Debug}, {": CRITICAL: ", logs::Critical},
    {": ", logs::Verbose},
};

TLogType LogTypeOf(logs::EVerbosity v)
{
	switch (v)
	{
		case logs::EVerbosity::Critical:
		case logs::EVerbosity::Important:
			return 3;
		case logs::EVerbosity::Error:
			return 5;
		case logs::EVerbosity::Warning:
			return 4;
		case logs::EVerbosity::Info:
			return 1;
		case logs::EVerbosity::Debug:
			return 2;
		default:
			return 0;
	}
}

std::string FormatLocal(time_t seconds, const char* format)
{
	struct tm local = {};
	char text[64] = "";
	if (localtime_r(&seconds, &local) != nullptr)
		std::strftime(text, sizeof(text), format, &local);
	return text;
}

// "YYYY-MM-DD"
bool IsDateText(const std::string& text)
{
	if (text.size() != 10)
		return false;
	for (size_t i = 0; i < text.size(); ++i)
	{
		const bool hyphen = i == 4 || i == 7;
		if (hyphen ? text[i] != '-' : (text[i] < '0' || text[i] > '9'))
			return false;
	}
	return true;
}

// Only this log's own dated files: <base>_YYYY-MM-DD.log.
bool IsDatedLogOf(const std::string& fileName, const std::string& base)
{
	const std::string suffix = ".log";
	const size_t expected = base.size() + 1 + 10 + suffix.size();
	return fileName.size() == expected && fileName.compare(0, base.size(), base) == 0 && fileName[base.size()] == '_' &&
	       IsDateText(fileName.substr(base.size() + 1, 10)) &&
	       fileName.compare(fileName.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string FormatArgs(const char* format, va_list args)
{
	char buffer[TLogManager::MaxFormattedLength + 1];
	const int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
	if (n <= 0)
		return {};
	return std::string(buffer, std::min(static_cast<size_t>(n), TLogManager::MaxFormattedLength));
}
} // namespace

TLogClock TLogClock::System()
{
	return {[] { return std::time(nullptr); }, [] { return static_cast<uint32_t>(SDL_GetTicks()); }};
}

TLogManager::TLogManager() : mClock(TLogClock::System()), mGate(std::make_shared<OutputGate>())
{
}

TLogManager::~TLogManager()
{
	TLogManager* self = this;
	logman::pDefInst.compare_exchange_strong(self, nullptr);
	Close();
}

int TLogManager::Init(const std::string& logFileFilename)
{
	Close();
	CurrentDateString = std::string();
	FullLogFileFilename = std::string();
	LogFileFilename = logFileFilename;
	OutputToConsole = false;
	LastTime = FileOpenTime = FileFlushTime = mClock.Ticks();
	TLogManager* none = nullptr;
	logman::pDefInst.compare_exchange_strong(none, this);

	{
		std::unique_lock<std::shared_mutex> lock(mGate->Mutex);
		mGate->Target = this;
	}
	logs::Logger::Output = [gate = mGate](const logs::LogEntry& entry)
	{
		std::shared_lock<std::shared_mutex> lock(gate->Mutex);
		if (gate->Target != nullptr)
			gate->Target->OnLoggerEntry(entry);
	};
	gInstalled = this;

	while (ShouldQuit.TryAcquire())
	{
	}
	mSaveToFileThread = std::thread(&TLogManager::SaveWorker, this);
	kelutils::SetThreadName(mSaveToFileThread, "log-save");
	return 0;
}

void TLogManager::Close()
{
	if (mSaveToFileThread.joinable())
	{
		ShouldQuit.Release();
		mSaveToFileThread.join();
	}
	TLogManager* self = this;
	if (gInstalled.compare_exchange_strong(self, nullptr))
		logs::Logger::Output = logs::LogOutputHandler();
	// Waits for logger calls that are writing through this manager right now.
	std::unique_lock<std::shared_mutex> lock(mGate->Mutex);
	mGate->Target = nullptr;
}

void TLogManager::Destroy()
{
	TLogManager* self = this;
	logman::pDefInst.compare_exchange_strong(self, nullptr);
	Close();
	Platform().Sync();
}

// ---- formatting, on the caller's thread ----

std::string TLogManager::TimeText() const
{
	return FormatLocal(mClock.Now(), logs::Logger::TimeFormat);
}

std::string TLogManager::DateText() const
{
	return FormatLocal(mClock.Now(), "%F");
}

void TLogManager::_WriteLog(char color, TLogType LogType, unsigned long GameId, const std::string& Text)
{
	WriteLine(color, LogType, GameId, Text, bAppendPrefix);
}

void TLogManager::WriteLine(char color, TLogType LogType, unsigned long GameId, const std::string& Text,
                            bool appendPrefix)
{
	if (Text.empty())
		return;

	TLogEntry entry;
	entry.LogType = LogType;
	entry.GameId = GameId;
	const std::string time = TimeText();
	entry.Message = time;
	const size_t low = LogType & 0xFF;
	if (!appendPrefix)
		entry.Message += ": ";
	else if (low < std::size(kLogTypes))
	{
		entry.Message += kLogTypes[low].Tag;
		if (color == 0)
			color = static_cast<char>(logs::DefaultVerbosityColors()[kLogTypes[low].ColorOf]);
	}
	entry.Message += Text;
	if (LogType > 0x10000)
		entry.Message.insert(time.size(), ": LT_USER_" + std::to_string(LogType));
	entry.Color = color;

	if (OutputToConsole)
	{
		// The palette index is a byte: print it unsigned.
		const unsigned index = static_cast<unsigned char>(color);
		if (index != 0)
			std::fprintf(stdout, "\x1b[38;5;%um%s\x1b[0m\n", index, entry.Message.c_str());
		else
			std::fprintf(stdout, "%s\n", entry.Message.c_str());
		std::fflush(stdout);
	}
	LastLog = Text;

	ScopedLock lock(mLogEntries);
	mLogEntries->push_back(std::move(entry));
}

void TLogManager::WriteLog(TLogType LogType, unsigned long GameId, const std::string& Text)
{
	_WriteLog(0, LogType, GameId, Text);
}

void TLogManager::WriteLog(TLogType LogType, unsigned long GameId, const char* pText, ...)
{
	if (pText == nullptr)
		return;
	va_list args;
	va_start(args, pText);
	const std::string text = FormatArgs(pText, args);
	va_end(args);
	_WriteLog(0, LogType, GameId, text);
}

void TLogManager::WriteColoredLog(char color, TLogType LogType, unsigned long GameId, const char* pText, ...)
{
	if (pText == nullptr)
		return;
	va_list args;
	va_start(args, pText);
	const std::string text = FormatArgs(pText, args);
	va_end(args);
	_WriteLog(color, LogType, GameId, text);
}

void TLogManager::OnLoggerEntry(const logs::LogEntry& entry)
{
	if (entry.Category.IsSupressed(entry.Verbosity))
		return;
	const auto color = entry.Category.ConsoleColor.find(entry.Verbosity);
	const char colorIndex = color != entry.Category.ConsoleColor.end() ? static_cast<char>(color->second) : 0;
	const std::string text = logs::Logger::GeneratePrefix(entry.Category, entry.Verbosity) + entry.Message;
	// The logger's prefix stands in for the level tag.
	WriteLine(colorIndex, LogTypeOf(entry.Verbosity), 0, text, false);
}

std::string TLogManager::PopLogHistory()
{
	ScopedLock lock(mLogHistory);
	if (mLogHistory->empty())
		return {};
	std::string line = std::move(mLogHistory->front().Message);
	mLogHistory->pop_front();
	return line;
}

void TLogManager::OnWriteLog(const TLogEntry&, int)
{
}

// ---- the worker ----

bool TLogManager::Due(uint32_t& last, uint32_t interval) const
{
	return MyUtils::IsTime(last, interval, true, mClock.Ticks());
}

void TLogManager::SaveWorker()
{
	// Nothing may end this thread early: the lines would pile up in memory for good.
	Guarded([this] {
		RefreshLogFileLocation();
		OpenLogFile(true);
	});
	for (bool last = false; !last;)
	{
		last = ShouldQuit.TryAcquireFor(mSaveInterval);
		std::list<TLogEntry> batch;
		{
			ScopedLock lock(mLogEntries);
			batch.swap(&mLogEntries);
		}
		if (!batch.empty())
			Guarded([&] { WriteBatch(batch); });
	}
	Guarded([this] { CloseLogFile(logs::Important, "Log file %s closed."); });
}

void TLogManager::Guarded(const std::function<void()>& work)
{
	try
	{
		work();
	}
	catch (const std::exception& e)
	{
		KEL_LOG(LogLogger, logs::Error, "LogManager: writing the log file failed: %s", e.what());
	}
}

void TLogManager::WriteBatch(std::list<TLogEntry>& batch)
{
	LinesToGo = static_cast<int>(batch.size());
	{
		ScopedLock lock(mLogHistory);
		mLogHistory->insert(mLogHistory->end(), batch.begin(), batch.end());
		while (mLogHistory->size() > MaxHistoryLines)
			mLogHistory->pop_front();
	}
	if (Due(LastTime, DateCheckIntervalMs))
		SwitchFileIfDateChanged();

	for (const TLogEntry& entry : batch)
	{
		--LinesToGo;
		mLogFile << entry.Message << '\n' << std::flush;
		try
		{
			OnWriteLog(entry, LinesToGo);
		}
		catch (const std::exception& e)
		{
			KEL_LOG(LogLogger, logs::Error, "LogManager:Poll:OnWriteLog unhandled exception: %s", e.what());
		}
		catch (...)
		{
			KEL_LOG(LogLogger, logs::Error, "LogManager:Poll:OnWriteLog unhandled unknown exception");
		}
	}

	if (mLogFile.is_open())
	{
		if (Due(FileFlushTime, FlushIntervalMs))
			mLogFile.flush();
	}
	else if (Due(FileOpenTime, ReopenIntervalMs))
		OpenLogFile(false);
}

void TLogManager::SwitchFileIfDateChanged()
{
	const std::string today = DateText();
	if (today == CurrentDateString.getCopy())
		return;
	mLogFile << "Switching to log with date " << today << std::flush;
	CloseLogFile(logs::Info, "Log file %s closed due to file switch.");
	RefreshLogFileLocation();
	OpenLogFile(false);
	if (mLogFile.is_open())
		KEL_LOG(LogLogger, logs::Important, "Logging to file %s", LogFileFilename.getCopy().c_str());
}

void TLogManager::RefreshLogFileLocation()
{
	const std::string configured = LogFileFilename.getCopy();
	// Strip the extensions from the file name only: a folder such as "logs.txt/" keeps its name.
	const size_t nameStart = configured.find_last_of('/') + 1; // 0 when there is no folder
	std::string base = configured.substr(nameStart);
	MyUtils::StringReplace(base, ".log", "");
	MyUtils::StringReplace(base, ".txt", "");
	const std::string full = configured.substr(0, nameStart) + base;
	FullLogFileFilename = full;

	const fs::path parent = fs::path(configured).parent_path();
	std::error_code ec;
	const fs::path directory = parent.empty() ? fs::current_path(ec) : parent;
	if (!ec)
		PruneOldFiles(directory, base);

	const std::string today = DateText();
	CurrentDateString = today;
	mLogFileLocation = fs::path(full + "_" + today + ".log");
}

void TLogManager::PruneOldFiles(const fs::path& directory, const std::string& base)
{
	struct Found
	{
		fs::path Path;
		fs::file_time_type Modified;
	};
	std::vector<Found> files;
	std::error_code ec;
	fs::directory_iterator it(directory, ec);
	for (; !ec && it != fs::directory_iterator(); it.increment(ec))
	{
		std::error_code entryError;
		if (!it->is_regular_file(entryError) || !IsDatedLogOf(it->path().filename().string(), base))
			continue;
		const auto modified = it->last_write_time(entryError);
		if (!entryError)
			files.push_back({it->path(), modified});
	}
	if (files.size() <= MaxOldFiles)
		return;
	std::sort(files.begin(), files.end(), [](const Found& a, const Found& b) { return a.Modified > b.Modified; });
	for (size_t i = MaxOldFiles; i < files.size(); ++i)
	{
		std::error_code removeError;
		if (!fs::remove(files[i].Path, removeError) && removeError)
			KEL_LOG(LogLogger, logs::Warning, "Can't delete old log file %s: %s", files[i].Path.c_str(),
			        removeError.message().c_str());
	}
}

bool TLogManager::OpenLogFile(bool report)
{
	const fs::path location = mLogFileLocation.getCopy();
	mLogFile.open(location, std::ios::out | std::ios::app);
	if (mLogFile.is_open())
	{
		if (report)
			KEL_LOG(LogLogger, logs::Important, "Logging to file %s", LogFileFilename.getCopy().c_str());
		return true;
	}
	if (report)
	{
		KEL_LOG(LogLogger, logs::Error, "Can't open log file %s", location.c_str());
		KEL_LOG(LogLogger, logs::Warning, "No channels to output. Will output to console.");
		OutputToConsole = true;
	}
	return false;
}

void TLogManager::CloseLogFile(logs::EVerbosity verbosity, const char* message)
{
	if (!mLogFile.is_open())
		return;
	mLogFile.close();
	logs::Logger::Log(LogLogger, verbosity, message, FullLogFileFilename.getCopy().c_str());
	FullLogFileFilename = std::string();
}

// ---- the default instance ----

void logman::WriteLog(const std::string& Text)
{
	WriteLog(0, 0, Text);
}

void logman::WriteLog(unsigned LogType, const std::string& Text)
{
	WriteLog(LogType, 0, Text);
}

void logman::WriteLog(unsigned LogType, unsigned long GameId, const std::string& Text)
{
	if (TLogManager* manager = pDefInst.load())
		manager->WriteLog(LogType, GameId, Text);
}

void logman::WriteLog(unsigned LogType, unsigned long GameId, const char* pText, ...)
{
	TLogManager* manager = pDefInst.load();
	if (manager == nullptr || pText == nullptr)
		return;
	va_list args;
	va_start(args, pText);
	const std::string text = FormatArgs(pText, args);
	va_end(args);
	manager->WriteLog(LogType, GameId, text);
}

void logman::WriteColoredLog(char color, unsigned LogType, unsigned long GameId, const char* pText, ...)
{
	TLogManager* manager = pDefInst.load();
	if (manager == nullptr || pText == nullptr)
		return;
	va_list args;
	va_start(args, pText);
	const std::string text = FormatArgs(pText, args);
	va_end(args);
	manager->_WriteLog(color, LogType, GameId, text);
}

std::string logman::GetLastLog()
{
	TLogManager* manager = pDefInst.load();
	return manager != nullptr ? manager->GetLastLog() : std::string();
}
} // namespace rtfwk_sdl2
