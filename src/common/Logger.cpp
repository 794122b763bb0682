#include "common/Logger.h"

#include "common/Timing.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <exception>

using namespace logs;

DEFINE_LOG_CATEGORY(LogLogger, "logger");
DEFINE_LOG_CATEGORY(LogComponent, "component");
DEFINE_LOG_CATEGORY(LogApp, "app");

namespace
{
void WarnDestroyedWhileLocked()
{
	KEL_LOG(LogApp, logs::Warning, "Mutex destroyed while locked!");
}

// Installed after LogApp is constructed and removed before it is destroyed (same unit, so
// construction follows definition order and destruction the reverse).
struct LockWarningHook
{
	LockWarningHook() { lockdiag::SetDestroyedWhileLockedHook(&WarnDestroyedWhileLocked); }
	~LockWarningHook() { lockdiag::SetDestroyedWhileLockedHook(nullptr); }
} gLockWarningHook;

// An output handler that throws must not take the logging thread down; say so on stderr, at
// most once a second.
void ReportOutputFailure(const char* what) noexcept
{
	static std::atomic<uint64_t> lastReport{0};
	const uint64_t now = keltime::GetTimeMsec();
	uint64_t last = lastReport.load();
	if (now - last < 1000 && last != 0)
		return;
	if (!lastReport.compare_exchange_strong(last, now))
		return;
	std::fprintf(stderr, "logger: an output handler failed: %s\n", what);
}

LogOutputHandler CopyHandler(const LogOutputProperty& property)
{
	SharedScopedLock lock(property);
	return &property;
}

void Emit(const LogEntry& entry) noexcept
{
	try
	{
		if (entry.Category.OnLog.isBound())
			entry.Category.OnLog(entry);

		LogOutputHandler handler = CopyHandler(entry.Category.OverrideOutput);
		if (!handler)
			handler = CopyHandler(Logger::Output);
		if (handler)
			handler(entry);
		else
			Logger::DefaultConsoleOutput(entry);
	}
	catch (const std::exception& e)
	{
		ReportOutputFailure(e.what());
	}
	catch (...)
	{
		ReportOutputFailure("unknown exception");
	}
}

LogEntry MakeEntry(const LogCategory& category, EVerbosity v, std::string&& text)
{
	LogEntry entry(category);
	entry.Verbosity = v;
	entry.Time = keltime::GetSystemTimeMsec();
	entry.Message = std::move(text);
	return entry;
}

LogEntry MakeComponentEntry(const LoggingComponent& c, EVerbosity v, std::string&& text)
{
	LogEntry entry = MakeEntry(c.GetLogCategory(), v, std::move(text));
	entry.OwnerID = c.LoggingID();
	entry.ComponentName = c.LogComponentName;
	return entry;
}
} // namespace

std::atomic<size_t> Logger::MaxHistoryCacheSize{100};
LogOutputProperty Logger::Output;

// ---- verbosity and filters ----

std::map<EVerbosity, uint8_t>& logs::DefaultVerbosityColors()
{
	static auto* colors = new std::map<EVerbosity, uint8_t>{
	    {Critical, 196}, {Error, 124}, {Warning, 202}, {Important, 154},   {Info, 153},
	    {Normal, 15},    {Debug, 249}, {Verbose, 246}, {VeryVerbose, 243},
	};
	return *colors;
}

int32_t LogVerbosityFilter::Bit(EVerbosity v)
{
	const int32_t n = v._to_integral();
	return (n < 0 || n > 30) ? 0 : (int32_t(1) << n);
}

bool LogVerbosityFilter::IsSupressed(EVerbosity v) const
{
	const bool set = (Filter.load(std::memory_order_relaxed) & Bit(v)) != 0;
	return bWhitelist.load(std::memory_order_relaxed) ? set : !set;
}

int32_t LogVerbosityFilter::All()
{
	return MoreSevere_Inclusive(VeryVerbose);
}

int32_t LogVerbosityFilter::MoreSevere_Inclusive(EVerbosity v)
{
	return (Bit(v) << 1) - 1;
}

int32_t LogVerbosityFilter::MoreSevere_Exclusive(EVerbosity v)
{
	return Bit(v) - 1;
}

int32_t LogVerbosityFilter::LessSevere_Inclusive(EVerbosity v)
{
	return All() & ~MoreSevere_Exclusive(v);
}

int32_t LogVerbosityFilter::LessSevere_Exclusive(EVerbosity v)
{
	return All() & ~MoreSevere_Inclusive(v);
}

LogCategory::LogCategory(const std::string& name, EVerbosity verbosity)
    : Name(name), DefaultFilter(LogVerbosityFilter::MoreSevere_Inclusive(verbosity), false),
      ConsoleColor(DefaultVerbosityColors())
{
}

// ---- formatting and pushing ----

bool logs::FormatMessage(std::string& out, const char* format, va_list args) noexcept
{
	if (format == nullptr)
		return false;
	char buffer[Logger::MaxMessageLength + 1];
	const int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
	if (n <= 0)
		return false;
	out.assign(buffer, std::min(static_cast<size_t>(n), Logger::MaxMessageLength));
	return true;
}

void Logger::Log(const LogCategory& category, EVerbosity v, const char* format, ...) noexcept
{
	std::string text;
	va_list args;
	va_start(args, format);
	const bool formatted = FormatMessage(text, format, args);
	va_end(args);
	if (!formatted)
		return;
	if (text.back() == '\n')
		text.pop_back();
	PushLogEntry(MakeEntry(category, v, std::move(text)));
}

void Logger::Log(LogScope* scope, const LogCategory& category, EVerbosity v, const char* format, ...) noexcept
{
	std::string text;
	va_list args;
	va_start(args, format);
	const bool formatted = FormatMessage(text, format, args);
	va_end(args);
	if (!formatted)
		return;
	LogEntry entry = MakeEntry(category, v, std::move(text));
	if (scope != nullptr)
		scope->Messages.push_back(std::move(entry));
	else
		PushLogEntry(entry);
}

void Logger::ComponentLog(const LoggingComponent& c, LogScope* scope, EVerbosity v, const std::string& text) noexcept
{
	if (text.empty())
		return;
	LogEntry entry = MakeComponentEntry(c, v, std::string(text));
	if (scope != nullptr)
		scope->Messages.push_back(std::move(entry));
	else
		PushLogEntry(entry);
}

void Logger::PushLogEntry(const LogEntry& entry) noexcept
{
	{
		// A handler that logs during a batch flush already holds the history on this thread.
		auto& history = CachedHistory();
		CheckedScopedLock lock(history);
		const size_t max = MaxHistoryCacheSize.load();
		if (max != 0)
		{
			history->push_back(std::make_unique<LogEntry>(entry));
			while (history->size() > max)
				history->pop_front();
		}
	}
	Emit(entry);
}

void Logger::PushLogEntries(const std::list<LogEntry>& entries) noexcept
{
	// Other threads wait at the history lock, so the batch stays contiguous everywhere.
	ScopedLock lock(CachedHistory());
	for (const LogEntry& entry : entries)
		PushLogEntry(entry);
}

std::string Logger::GeneratePrefix(const LogCategory& category, EVerbosity v)
{
	std::string prefix = category.Name;
	if (v != Normal)
	{
		const char* name = v._to_string();
		prefix += " | ";
		prefix += name != nullptr ? std::string(name) : std::to_string(v._to_integral());
	}
	prefix += ": ";
	return prefix;
}

void Logger::DefaultConsoleOutput(const LogEntry& entry)
{
	if (entry.Category.IsSupressed(entry.Verbosity))
		return;

	const auto color = entry.Category.ConsoleColor.find(entry.Verbosity);
	const unsigned colorIndex = color != entry.Category.ConsoleColor.end() ? color->second : 0;

	const time_t seconds = static_cast<time_t>(entry.Time / 1000);
	struct tm local = {};
	char timeText[64] = "";
	if (localtime_r(&seconds, &local) != nullptr)
		std::strftime(timeText, sizeof(timeText), TimeFormat, &local);

	const std::string prefix = GeneratePrefix(entry.Category, entry.Verbosity);
	// One call per line keeps lines of concurrent threads whole.
	if (colorIndex != 0)
		std::fprintf(stdout, "\x1b[38;5;%um%s: %s%s\x1b[0m\n", colorIndex, timeText, prefix.c_str(),
		             entry.Message.c_str());
	else
		std::fprintf(stdout, "%s: %s%s\n", timeText, prefix.c_str(), entry.Message.c_str());
	std::fflush(stdout);
}

// ---- categories ----

ThreadSafeProperty<std::map<std::string, LogCategory*>, std::shared_mutex>& Logger::Categories()
{
	static auto* categories = new ThreadSafeProperty<std::map<std::string, LogCategory*>, std::shared_mutex>();
	return *categories;
}

void Logger::RegisterCategory(LogCategory& category)
{
	auto& categories = Categories();
	ScopedLock lock(categories);
	categories->emplace(category.Name, &category);
}

LogCategory* Logger::GetCategory(const std::string& name)
{
	auto& categories = Categories();
	SharedScopedLock lock(categories);
	const auto it = categories->find(name);
	return it != categories->end() ? it->second : nullptr;
}

bool Logger::CategoryExists(const std::string& name)
{
	return GetCategory(name) != nullptr;
}

void Logger::ListCategories(std::vector<LogCategory*>& out)
{
	auto& categories = Categories();
	SharedScopedLock lock(categories);
	out.reserve(out.size() + categories->size());
	for (const auto& [name, category] : &categories)
		out.push_back(category);
}

void Logger::SetVerbosity(const std::string& name, EVerbosity v)
{
	// Categories are never unregistered: the pointer outlives the look-up's lock.
	LogCategory* category = GetCategory(name);
	if (category == nullptr)
		return;

	const int32_t changed = category->DefaultFilter.Filter.exchange(LogVerbosityFilter::MoreSevere_Inclusive(v)) ^
	                        LogVerbosityFilter::MoreSevere_Inclusive(v);
	for (const EVerbosity level : EVerbosity::_values())
	{
		if ((changed & LogVerbosityFilter::Bit(level)) == 0)
			continue;
		const bool hidden = category->IsSupressed(level);
		KEL_LOG(LogLogger, logs::Important, "Log category '%s' changed verbosity %s(%d) from %s to %s!",
		        category->Name.c_str(), level._to_string(), level._to_integral(), hidden ? "shown" : "hidden",
		        hidden ? "hidden" : "shown");
	}
}

// ---- components ----

ThreadSafeProperty<std::map<uint32_t, const LoggingComponent*>, std::shared_mutex>& Logger::Components()
{
	static auto* components = new ThreadSafeProperty<std::map<uint32_t, const LoggingComponent*>, std::shared_mutex>();
	return *components;
}

uint32_t Logger::RegisterComponent(const LoggingComponent* component)
{
	// A counter, not the table's size: after an unregistration the size would hand out an
	// identifier that a living component still has.
	static uint32_t lastID = 0;
	auto& components = Components();
	ScopedLock lock(components);
	uint32_t id = ++lastID;
	while (id == 0 || components->count(id) != 0)
		id = ++lastID;
	components->emplace(id, component);
	return id;
}

void Logger::UnregisterComponent(uint32_t id)
{
	auto& components = Components();
	ScopedLock lock(components);
	components->erase(id);
}

LoggingComponent::LoggingComponent() : mLogID(Logger::RegisterComponent(this))
{
}

LoggingComponent::LoggingComponent(const LoggingComponent& other)
    : LogComponentName(other.LogComponentName), mLogID(Logger::RegisterComponent(this))
{
}

LoggingComponent& LoggingComponent::operator=(const LoggingComponent& other)
{
	LogComponentName = other.LogComponentName;
	return *this;
}

LoggingComponent::~LoggingComponent()
{
	if (mLogID != 0)
		Logger::UnregisterComponent(mLogID);
}

const LogCategory& LoggingComponent::GetLogCategory() const
{
	return LogComponent;
}

void LoggingComponent::Log(EVerbosity v, const char* format, ...) const
{
	std::string text;
	va_list args;
	va_start(args, format);
	const bool formatted = FormatMessage(text, format, args);
	va_end(args);
	std::string line = LogPrefix();
	if (formatted)
		line += text;
	Logger::ComponentLog(*this, nullptr, v, line);
}

// ---- history ----

ThreadSafeProperty<std::list<std::unique_ptr<LogEntry>>, std::shared_mutex>& Logger::CachedHistory()
{
	static auto* history = new ThreadSafeProperty<std::list<std::unique_ptr<LogEntry>>, std::shared_mutex>();
	return *history;
}

void Logger::SetCachedHistorySize(size_t n)
{
	auto& history = CachedHistory();
	ScopedLock lock(history);
	MaxHistoryCacheSize = n;
	while (history->size() > n)
		history->pop_front();
}

size_t Logger::GetHistory(std::vector<LogEntry>& out, size_t max)
{
	auto& history = CachedHistory();
	SharedScopedLock lock(history);
	const size_t total = history->size();
	const size_t count = max == 0 ? total : std::min(max, total);
	out.reserve(out.size() + count);
	auto it = history->rbegin();
	for (size_t i = 0; i < count; ++i, ++it)
		out.push_back(**it);
	return total;
}

std::string Logger::GetLastLog(EVerbosity v)
{
	auto& history = CachedHistory();
	SharedScopedLock lock(history);
	for (auto it = history->rbegin(); it != history->rend(); ++it)
		if ((*it)->Verbosity <= v)
			return (*it)->Message;
	return {};
}

// ---- scopes ----

LogScope::~LogScope()
{
	if (!Messages.empty())
		Logger::PushLogEntries(Messages);
}

void LogScope::Log(const LogCategory& category, EVerbosity v, const char* format, ...)
{
	std::string text;
	va_list args;
	va_start(args, format);
	const bool formatted = FormatMessage(text, format, args);
	va_end(args);
	if (formatted)
		Messages.push_back(MakeEntry(category, v, std::move(text)));
}

void LogScope::Log(const LoggingComponent& component, EVerbosity v, const char* format, ...)
{
	std::string text;
	va_list args;
	va_start(args, format);
	const bool formatted = FormatMessage(text, format, args);
	va_end(args);
	std::string line = component.LogPrefix();
	if (formatted)
		line += text;
	if (!line.empty())
		Messages.push_back(MakeComponentEntry(component, v, std::move(line)));
}
