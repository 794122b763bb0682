#pragma once
// All-static logger: printf-style calls become LogEntry records that go to a bounded history,
// to the category's observers and to one output (category override, process-wide handler, or
// the coloured console writer).
//
// Category statements go through KEL_LOG so that a statement above the category's compile-time
// ceiling costs one constant comparison and formats nothing.

#include "common/Enums.h"
#include "common/KelDelegate.h"
#include "common/ThreadSafeProperty.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <type_traits>
#include <vector>

#define KEL_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))

namespace logs
{
NAMED_ENUM(EVerbosity, int32_t, Critical, Error, Warning, Important, Info, Normal, Debug, Verbose, VeryVerbose);

constexpr EVerbosity::_enumerated Critical = EVerbosity::Critical;
constexpr EVerbosity::_enumerated Error = EVerbosity::Error;
constexpr EVerbosity::_enumerated Warning = EVerbosity::Warning;
constexpr EVerbosity::_enumerated Important = EVerbosity::Important;
constexpr EVerbosity::_enumerated Info = EVerbosity::Info;
constexpr EVerbosity::_enumerated Normal = EVerbosity::Normal;
constexpr EVerbosity::_enumerated Debug = EVerbosity::Debug;
constexpr EVerbosity::_enumerated Verbose = EVerbosity::Verbose;
constexpr EVerbosity::_enumerated VeryVerbose = EVerbosity::VeryVerbose;

// Verbosity to 256-colour palette index; categories start from a copy of it.
std::map<EVerbosity, uint8_t>& DefaultVerbosityColors();

// Bit n stands for verbosity n. Without bWhitelist the mask lists the shown levels; with it, the
// suppressed ones. Atomic so that the filter can change while other threads log.
struct LogVerbosityFilter
{
	std::atomic<int32_t> Filter{0};
	std::atomic<bool> bWhitelist{false};

	LogVerbosityFilter() = default;
	LogVerbosityFilter(int32_t filter, bool whitelist) : Filter(filter), bWhitelist(whitelist) {}
	LogVerbosityFilter(EVerbosity v, bool whitelist) : Filter(Bit(v)), bWhitelist(whitelist) {}
	// A bare enumerator would otherwise pick the mask overloads through integral promotion.
	LogVerbosityFilter(EVerbosity::_enumerated v, bool whitelist) : LogVerbosityFilter(EVerbosity(v), whitelist) {}
	LogVerbosityFilter(const LogVerbosityFilter& other)
	    : Filter(other.Filter.load()), bWhitelist(other.bWhitelist.load())
	{
	}
	LogVerbosityFilter& operator=(const LogVerbosityFilter& other)
	{
		Filter = other.Filter.load();
		bWhitelist = other.bWhitelist.load();
		return *this;
	}
	LogVerbosityFilter& operator=(int32_t filter)
	{
		Filter = filter;
		return *this;
	}
	LogVerbosityFilter& operator=(EVerbosity v)
	{
		Filter = Bit(v);
		return *this;
	}
	LogVerbosityFilter& operator=(EVerbosity::_enumerated v) { return *this = EVerbosity(v); }

	bool IsSupressed(EVerbosity v) const;

	static int32_t All();
	static int32_t MoreSevere_Inclusive(EVerbosity v);
	static int32_t MoreSevere_Exclusive(EVerbosity v);
	static int32_t LessSevere_Inclusive(EVerbosity v);
	static int32_t LessSevere_Exclusive(EVerbosity v);
	// 0 for values outside the 32 bits of the mask.
	static int32_t Bit(EVerbosity v);
};

struct LogEntry;
using FOnLogCallback = SimpleSyncDelegate<const LogEntry&>;
using LogOutputHandler = std::function<void(const LogEntry&)>;
// Handlers are swapped at run time while other threads log: read under the shared lock.
using LogOutputProperty = ThreadSafeProperty<LogOutputHandler, std::shared_mutex>;

class LogCategory
{
public:
	LogCategory(const std::string& name, EVerbosity verbosity);
	LogCategory(const LogCategory&) = delete;
	LogCategory& operator=(const LogCategory&) = delete;
	// Categories live for the whole process and are never unregistered.
	virtual ~LogCategory() = default;

	virtual EVerbosity CompileTimeVerbosity() const = 0;
	bool IsSupressed(EVerbosity v) const { return DefaultFilter.IsSupressed(v); }

	std::string Name;
	LogVerbosityFilter DefaultFilter;
	FOnLogCallback OnLog;
	LogOutputProperty OverrideOutput;
	std::map<EVerbosity, uint8_t> ConsoleColor;
};

struct LogEntry
{
	explicit LogEntry(const LogCategory& category) : Category(category) {}
	LogEntry(const LogEntry&) = default;

	uint32_t OwnerID = 0;
	std::string ComponentName;
	const LogCategory& Category;
	EVerbosity Verbosity = EVerbosity::Normal;
	std::string Message;
	uint64_t Time = 0;
};

class LogScope;

// Base of objects that log as themselves.
class LoggingComponent
{
public:
	LoggingComponent();
	// A copy is another object and gets an identifier of its own.
	LoggingComponent(const LoggingComponent& other);
	LoggingComponent& operator=(const LoggingComponent& other);
	virtual ~LoggingComponent();

	uint32_t LoggingID() const { return mLogID; }
	void Log(EVerbosity v, const char* format, ...) const KEL_PRINTF_FORMAT(3, 4);

	virtual std::string LogPrefix() const { return {}; }
	virtual const LogCategory& GetLogCategory() const;

	std::string LogComponentName;

protected:
	uint32_t mLogID = 0;
};

// Collects entries and hands them over as one uninterrupted batch when destroyed.
class LogScope
{
public:
	LogScope() = default;
	LogScope(const LogScope&) = delete;
	LogScope& operator=(const LogScope&) = delete;
	~LogScope();

	void Log(const LogCategory& category, EVerbosity v, const char* format, ...) KEL_PRINTF_FORMAT(4, 5);
	void Log(const LoggingComponent& component, EVerbosity v, const char* format, ...) KEL_PRINTF_FORMAT(4, 5);

	std::list<LogEntry> Messages;
};

class Logger
{
public:
	static constexpr size_t MaxMessageLength = 4095;
	static constexpr const char* TimeFormat = "%a %b %d %H:%M:%S %Y";

	static void Log(const LogCategory& category, EVerbosity v, const char* format, ...) noexcept
	    KEL_PRINTF_FORMAT(3, 4);
	static void Log(LogScope* scope, const LogCategory& category, EVerbosity v, const char* format, ...) noexcept
	    KEL_PRINTF_FORMAT(4, 5);
	static void ComponentLog(const LoggingComponent& c, LogScope* scope, EVerbosity v,
	                         const std::string& text) noexcept;

	static void PushLogEntry(const LogEntry& entry) noexcept;
	static void PushLogEntries(const std::list<LogEntry>& entries) noexcept;

	static std::string GeneratePrefix(const LogCategory& category, EVerbosity v);
	static void DefaultConsoleOutput(const LogEntry& entry);

	static void RegisterCategory(LogCategory& category);
	static void SetVerbosity(const std::string& name, EVerbosity v);
	static bool CategoryExists(const std::string& name);
	static LogCategory* GetCategory(const std::string& name);
	static void ListCategories(std::vector<LogCategory*>& out);

	static uint32_t RegisterComponent(const LoggingComponent* component);
	static void UnregisterComponent(uint32_t id);

	static void SetCachedHistorySize(size_t n);
	static size_t GetHistory(std::vector<LogEntry>& out, size_t max = 0);
	static std::string GetLastLog(EVerbosity v);

	// Created on first use and never destroyed: categories and components register from static
	// initialisers in many translation units, and may log during static destruction.
	static ThreadSafeProperty<std::map<std::string, LogCategory*>, std::shared_mutex>& Categories();
	static ThreadSafeProperty<std::list<std::unique_ptr<LogEntry>>, std::shared_mutex>& CachedHistory();
	static ThreadSafeProperty<std::map<uint32_t, const LoggingComponent*>, std::shared_mutex>& Components();

	// 0 keeps the history empty. Change it through SetCachedHistorySize.
	static std::atomic<size_t> MaxHistoryCacheSize;
	// The process-wide output (the log manager's); empty means the console writer.
	static LogOutputProperty Output;
};

// Formats like vsnprintf into at most MaxMessageLength characters; false when nothing came out.
bool FormatMessage(std::string& out, const char* format, va_list args) noexcept;
} // namespace logs

// Declares the category structure LogCategory<Global> and its global instance <Global>.
#define DECLARE_LOG_CATEGORY(Global, CompileTimeLevel)                                                                 \
	struct LogCategory##Global : public ::logs::LogCategory                                                            \
	{                                                                                                                  \
		static constexpr ::logs::EVerbosity::_enumerated kCompileTimeVerbosity = ::logs::EVerbosity::CompileTimeLevel; \
		explicit LogCategory##Global(const std::string& name) : ::logs::LogCategory(name, ::logs::Normal)              \
		{                                                                                                              \
			::logs::Logger::RegisterCategory(*this);                                                                   \
		}                                                                                                              \
		::logs::EVerbosity CompileTimeVerbosity() const override { return kCompileTimeVerbosity; }                     \
	};                                                                                                                 \
	extern LogCategory##Global Global

#define DEFINE_LOG_CATEGORY(Global, NameString) LogCategory##Global Global(NameString)

// Whether a category statement at this verbosity survives the category's compile-time ceiling.
#define KEL_LOG_ACTIVE(Category, Verbosity)                                                                            \
	(static_cast<int>(std::remove_reference_t<decltype(Category)>::kCompileTimeVerbosity) >=                           \
	 static_cast<int>(Verbosity))

#define KEL_LOG(Category, Verbosity, ...)                                                                              \
	do                                                                                                                 \
	{                                                                                                                  \
		if constexpr (KEL_LOG_ACTIVE(Category, Verbosity))                                                             \
			::logs::Logger::Log(Category, Verbosity, __VA_ARGS__);                                                     \
	} while (0)

DECLARE_LOG_CATEGORY(LogLogger, VeryVerbose);
DECLARE_LOG_CATEGORY(LogComponent, VeryVerbose);
// Declared with the logger because the lock layer below the framework reports under it.
DECLARE_LOG_CATEGORY(LogApp, VeryVerbose);
