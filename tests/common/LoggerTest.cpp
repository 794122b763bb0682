#include "common/Logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace logs;

DECLARE_LOG_CATEGORY(LogTestPlain, VeryVerbose);
DEFINE_LOG_CATEGORY(LogTestPlain, "test");
DECLARE_LOG_CATEGORY(LogTestCeiling, Normal);
DEFINE_LOG_CATEGORY(LogTestCeiling, "test-ceiling");

namespace
{
// Collects what reaches the process-wide output.
struct Collector
{
	std::mutex Mutex;
	std::vector<LogEntry> Entries;

	std::vector<std::string> Messages()
	{
		std::lock_guard<std::mutex> lock(Mutex);
		std::vector<std::string> out;
		for (const auto& e : Entries)
			out.push_back(e.Message);
		return out;
	}
};

std::vector<LogEntry> History()
{
	std::vector<LogEntry> newestFirst;
	Logger::GetHistory(newestFirst);
	return {newestFirst.rbegin(), newestFirst.rend()};
}

std::vector<std::string> HistoryMessages()
{
	std::vector<std::string> out;
	for (const auto& e : History())
		out.push_back(e.Message);
	return out;
}

class LoggerTest : public ::testing::Test
{
protected:
	void SetUp() override
	{
		Logger::SetCachedHistorySize(0);
		Logger::SetCachedHistorySize(100);
		Logger::Output = [this](const LogEntry& e)
		{
			std::lock_guard<std::mutex> lock(mCollector.Mutex);
			mCollector.Entries.push_back(e);
		};
		LogTestPlain.DefaultFilter = LogVerbosityFilter(LogVerbosityFilter::MoreSevere_Inclusive(Normal), false);
	}
	void TearDown() override
	{
		Logger::Output = LogOutputHandler();
		LogTestPlain.OverrideOutput = LogOutputHandler();
		Logger::SetVerbosity("app", Normal);
	}

	Collector mCollector;
};

std::string CaptureConsole(const LogEntry& entry)
{
	testing::internal::CaptureStdout();
	Logger::DefaultConsoleOutput(entry);
	return testing::internal::GetCapturedStdout();
}
} // namespace

TEST(LogVerbosityFilterTest, MasksAndTheirMeaning)
{
	struct Case
	{
		int32_t filter;
		bool whitelist;
		EVerbosity v;
		bool suppressed;
	};
	const Case cases[] = {
	    {LogVerbosityFilter::MoreSevere_Inclusive(Warning), false, Critical, false},
	    {LogVerbosityFilter::MoreSevere_Inclusive(Warning), false, Warning, false},
	    {LogVerbosityFilter::MoreSevere_Inclusive(Warning), false, Important, true},
	    {LogVerbosityFilter::MoreSevere_Inclusive(Warning), true, Warning, true},
	    {LogVerbosityFilter::MoreSevere_Inclusive(Warning), true, VeryVerbose, false},
	    {0, false, Critical, true},
	    {0, true, Critical, false},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(testing::Message() << "filter " << c.filter << " whitelist " << c.whitelist << " level "
		                                << c.v._to_string());
		EXPECT_EQ(LogVerbosityFilter(c.filter, c.whitelist).IsSupressed(c.v), c.suppressed);
	}
	EXPECT_EQ(LogVerbosityFilter::MoreSevere_Inclusive(Critical), 0x1);
	EXPECT_EQ(LogVerbosityFilter::MoreSevere_Inclusive(Warning), 0x7);
	EXPECT_EQ(LogVerbosityFilter::All(), 0x1ff);

	LogVerbosityFilter single(Debug, true);
	EXPECT_EQ(single.Filter, 1 << 6);
	single = Error;
	EXPECT_EQ(single.Filter, 1 << 1);
	EXPECT_TRUE(single.bWhitelist) << "assignments keep the flag";
}

TEST(LoggerFormatTest, PrefixNamesTheLevelUnlessNormal)
{
	EXPECT_EQ(Logger::GeneratePrefix(LogApp, Normal), "app: ");
	EXPECT_EQ(Logger::GeneratePrefix(LogApp, Warning), "app | Warning: ");
	EXPECT_EQ(Logger::GeneratePrefix(LogTestPlain, VeryVerbose), "test | VeryVerbose: ");
}

TEST(LoggerFormatTest, ConsoleLineHasTimeColourPrefixAndReset)
{
	LogEntry entry(LogApp);
	entry.Verbosity = Warning;
	entry.Message = "disk nearly full";
	entry.Time = 1700000000123ull;
	const std::regex line("\x1b\\[38;5;202m[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d 2023: "
	                      "app \\| Warning: disk nearly full\x1b\\[0m\n");
	EXPECT_TRUE(std::regex_match(CaptureConsole(entry), line)) << CaptureConsole(entry);

	entry.Verbosity = Critical;
	EXPECT_NE(CaptureConsole(entry).find("\x1b[38;5;196m"), std::string::npos) << "palette index printed unsigned";
}

TEST(LoggerFormatTest, ConsoleLineWithoutColourAndSuppressedLevels)
{
	LogTestPlain.ConsoleColor[Normal] = 0;
	LogEntry entry(LogTestPlain);
	entry.Message = "plain";
	entry.Time = 1700000000000ull;
	const std::regex line("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d 2023: test: plain\n");
	EXPECT_TRUE(std::regex_match(CaptureConsole(entry), line)) << CaptureConsole(entry);
	LogTestPlain.ConsoleColor = DefaultVerbosityColors();

	entry.Verbosity = Debug;
	EXPECT_EQ(CaptureConsole(entry), "") << "Debug is above the default run-time level";
}

TEST_F(LoggerTest, MessagesAreCutAndLoseOneTrailingNewline)
{
	Logger::Log(LogTestPlain, Normal, "%s", std::string(5000, 'x').c_str());
	Logger::Log(LogTestPlain, Normal, "one\n");
	Logger::Log(LogTestPlain, Normal, "two\n\n");
	Logger::Log(nullptr, LogTestPlain, Normal, "scoped keeps it\n");
	Logger::Log(LogTestPlain, Normal, "%s", "");
	const auto messages = HistoryMessages();
	ASSERT_EQ(messages.size(), 4u) << "an empty message makes no entry";
	EXPECT_EQ(messages[0], std::string(4095, 'x'));
	EXPECT_EQ(messages[1], "one");
	EXPECT_EQ(messages[2], "two\n");
	EXPECT_EQ(messages[3], "scoped keeps it\n");
	EXPECT_EQ(mCollector.Messages(), messages);
}

TEST_F(LoggerTest, HistoryIsBoundedAndCanBeOff)
{
	for (int i = 1; i <= 101; ++i)
		Logger::Log(LogTestPlain, Normal, "entry %d", i);
	auto messages = HistoryMessages();
	ASSERT_EQ(messages.size(), 100u);
	EXPECT_EQ(messages.front(), "entry 2");
	EXPECT_EQ(messages.back(), "entry 101");

	std::vector<LogEntry> newest;
	EXPECT_EQ(Logger::GetHistory(newest, 3), 100u) << "returns the size of the whole history";
	ASSERT_EQ(newest.size(), 3u);
	EXPECT_EQ(newest[0].Message, "entry 101");

	Logger::SetCachedHistorySize(0);
	Logger::Log(LogTestPlain, Normal, "not kept");
	EXPECT_TRUE(History().empty());
	EXPECT_EQ(mCollector.Messages().back(), "not kept") << "output still happens";
}

TEST_F(LoggerTest, RunTimeFilterLimitsTheConsoleOnly)
{
	Logger::Output = LogOutputHandler();
	std::vector<std::string> observed;
	DelegateHandle observer = LogTestPlain.OnLog.bind([&](const LogEntry& e) { observed.push_back(e.Message); });
	LogTestPlain.DefaultFilter = LogVerbosityFilter::MoreSevere_Inclusive(Warning);

	testing::internal::CaptureStdout();
	for (const EVerbosity v : EVerbosity::_values())
		Logger::Log(LogTestPlain, v, "%s", v._to_string());
	const std::string console = testing::internal::GetCapturedStdout();

	for (const EVerbosity v : EVerbosity::_values())
	{
		const std::string tag = std::string(v == Normal ? "test: " : "test | ") + v._to_string();
		EXPECT_EQ(console.find(tag) != std::string::npos, v <= Warning) << v._to_string();
	}
	EXPECT_EQ(observed.size(), EVerbosity::_size());
	EXPECT_EQ(HistoryMessages().size(), EVerbosity::_size());
}

TEST_F(LoggerTest, OutputPrecedence)
{
	std::vector<std::string> overridden;
	LogTestPlain.OverrideOutput = [&](const LogEntry& e) { overridden.push_back(e.Message); };
	Logger::Log(LogTestPlain, Normal, "to the override");
	Logger::Log(LogApp, Normal, "to the process-wide output");
	EXPECT_EQ(overridden, std::vector<std::string>{"to the override"});
	EXPECT_EQ(mCollector.Messages(), std::vector<std::string>{"to the process-wide output"});
}

TEST_F(LoggerTest, SetVerbosityReportsEachChangedLevel)
{
	auto reports = []
	{
		std::vector<std::string> out;
		for (const auto& e : History())
			if (&e.Category == &LogLogger)
			{
				EXPECT_EQ(e.Verbosity, Important);
				out.push_back(e.Message);
			}
		return out;
	};
	Logger::SetVerbosity("app", Debug);
	EXPECT_EQ(reports(),
	          std::vector<std::string>{"Log category 'app' changed verbosity Debug(6) from hidden to shown!"});
	EXPECT_FALSE(LogApp.IsSupressed(Debug));

	Logger::SetCachedHistorySize(0);
	Logger::SetCachedHistorySize(100);
	Logger::SetVerbosity("app", Normal);
	EXPECT_EQ(reports(),
	          std::vector<std::string>{"Log category 'app' changed verbosity Debug(6) from shown to hidden!"});

	Logger::SetVerbosity("no such category", Debug);
	Logger::SetVerbosity("app", Normal);
	EXPECT_EQ(reports().size(), 1u) << "unknown names and unchanged levels report nothing";
}

TEST_F(LoggerTest, CompileTimeCeilingSkipsFormatting)
{
	int evaluated = 0;
	auto argument = [&]
	{
		++evaluated;
		return "text";
	};
	KEL_LOG(LogTestCeiling, logs::Debug, "%s", argument());
	EXPECT_EQ(evaluated, 0);
	EXPECT_TRUE(History().empty());
	KEL_LOG(LogTestCeiling, logs::Normal, "%s", argument());
	EXPECT_EQ(evaluated, 1);
	EXPECT_EQ(HistoryMessages(), std::vector<std::string>{"text"});
}

TEST_F(LoggerTest, RegistryOfCategories)
{
	EXPECT_TRUE(Logger::CategoryExists("app"));
	EXPECT_EQ(Logger::GetCategory("test-ceiling"), &LogTestCeiling);
	EXPECT_EQ(Logger::GetCategory("nope"), nullptr);

	LogCategoryLogTestPlain duplicate("test");
	EXPECT_EQ(Logger::GetCategory("test"), &LogTestPlain) << "the first registration stays";

	std::vector<LogCategory*> all;
	Logger::ListCategories(all);
	std::vector<std::string> names;
	for (auto* c : all)
		names.push_back(c->Name);
	EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
	for (const char* name : {"app", "component", "logger", "test", "test-ceiling"})
		EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
}

TEST_F(LoggerTest, LastLogAtOrAboveASeverity)
{
	Logger::Log(LogTestPlain, Info, "info");
	Logger::Log(LogTestPlain, Error, "error");
	Logger::Log(LogTestPlain, Debug, "debug");
	EXPECT_EQ(Logger::GetLastLog(Warning), "error");
	EXPECT_EQ(Logger::GetLastLog(VeryVerbose), "debug");
	EXPECT_EQ(Logger::GetLastLog(Critical), "");
}

namespace
{
struct Prefixed : LoggingComponent
{
	std::string LogPrefix() const override { return mPrefix; }
	const LogCategory& GetLogCategory() const override { return LogTestPlain; }
	std::string mPrefix;
};
} // namespace

TEST_F(LoggerTest, ComponentsLogAsThemselves)
{
	Prefixed c;
	c.LogComponentName = "node-a";
	c.mPrefix = "[a] ";
	c.Log(Warning, "value %d", 7);
	c.mPrefix.clear();
	c.Log(Warning, "%s", "");

	const auto history = History();
	ASSERT_EQ(history.size(), 1u) << "an empty prefix and text make no entry";
	EXPECT_EQ(history[0].Message, "[a] value 7");
	EXPECT_EQ(history[0].OwnerID, c.LoggingID());
	EXPECT_EQ(history[0].ComponentName, "node-a");
	EXPECT_EQ(&history[0].Category, &LogTestPlain);
	EXPECT_EQ(&LoggingComponent().GetLogCategory(), &LogComponent);
}

TEST_F(LoggerTest, ComponentIdentifiersStayUniqueAfterUnregistration)
{
	auto first = std::make_unique<LoggingComponent>();
	auto second = std::make_unique<LoggingComponent>();
	auto third = std::make_unique<LoggingComponent>();
	const uint32_t thirdID = third->LoggingID();
	second.reset();
	LoggingComponent fourth;
	EXPECT_NE(fourth.LoggingID(), thirdID);
	EXPECT_NE(fourth.LoggingID(), first->LoggingID());
	LoggingComponent copy(fourth);
	EXPECT_NE(copy.LoggingID(), fourth.LoggingID());

	auto& components = Logger::Components();
	SharedScopedLock lock(components);
	EXPECT_EQ(components->at(thirdID), third.get());
	EXPECT_EQ(components->at(fourth.LoggingID()), &fourth);
}

TEST_F(LoggerTest, ScopeFlushesAsOneBatchWhileAnotherThreadLogs)
{
	Logger::SetCachedHistorySize(100000);
	std::atomic<bool> stop{false};
	std::atomic<int> noise{0};
	std::thread other(
	    [&]
	    {
		    for (int i = 0; i < 200000 && !stop; ++i, ++noise)
			    Logger::Log(LogTestPlain, Normal, "noise");
	    });
	while (noise < 50)
		std::this_thread::yield();
	{
		LogScope scope;
		scope.Log(LogTestPlain, Normal, "batch %d", 1);
		scope.Log(LogTestPlain, Warning, "batch %d", 2);
		Logger::Log(&scope, LogTestPlain, Normal, "batch %d", 3);
		EXPECT_EQ(scope.Messages.size(), 3u);
		while (noise < 100)
			std::this_thread::yield();
	}
	const int before = noise;
	while (noise < before + 50 && noise < 200000)
		std::this_thread::yield();
	stop = true;
	other.join();

	auto contiguous = [](const std::vector<std::string>& messages)
	{
		const auto it = std::find(messages.begin(), messages.end(), "batch 1");
		return it != messages.end() && messages.end() - it >= 3 && it[1] == "batch 2" && it[2] == "batch 3";
	};
	EXPECT_TRUE(contiguous(HistoryMessages()));
	EXPECT_TRUE(contiguous(mCollector.Messages()));
}

TEST_F(LoggerTest, HandlersMayLogDuringABatchFlush)
{
	std::atomic<int> depth{0};
	Logger::Output = [&](const LogEntry& e)
	{
		if (&e.Category == &LogTestPlain && depth++ == 0)
			Logger::Log(LogApp, Normal, "logged by the handler");
	};
	{
		LogScope scope;
		scope.Log(LogTestPlain, Normal, "first");
		scope.Log(LogTestPlain, Normal, "second");
	}
	EXPECT_EQ(HistoryMessages(), (std::vector<std::string>{"first", "logged by the handler", "second"}));
}

TEST_F(LoggerTest, AThrowingHandlerDoesNotEscapeTheLogCall)
{
	Logger::Output = [](const LogEntry&) { throw std::runtime_error("sink broke"); };
	DelegateHandle observer = LogTestPlain.OnLog.bind([](const LogEntry&) { throw 42; });
	testing::internal::CaptureStderr();
	Logger::Log(LogTestPlain, Error, "still fine");
	Logger::Log(LogTestPlain, Error, "and again");
	const std::string err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(HistoryMessages(), (std::vector<std::string>{"still fine", "and again"}));
	EXPECT_NE(err.find("sink broke"), std::string::npos);
}

TEST_F(LoggerTest, LockDestroyedWhileHeldWarnsUnderApp)
{
	{
		Lockable<std::mutex> lock;
		lock.SoftLock();
	}
	const auto history = History();
	ASSERT_EQ(history.size(), 1u);
	EXPECT_EQ(&history[0].Category, &LogApp);
	EXPECT_EQ(history[0].Verbosity, Warning);
	EXPECT_EQ(history[0].Message, "Mutex destroyed while locked!");
}

TEST_F(LoggerTest, FilterChangesWhileOtherThreadsLog)
{
	std::atomic<int> shown{0};
	LogTestPlain.OverrideOutput = [&](const LogEntry& e)
	{
		if (!e.Category.IsSupressed(e.Verbosity))
			++shown;
	};
	std::atomic<bool> stop{false};
	std::vector<std::thread> loggers;
	for (int t = 0; t < 2; ++t)
		loggers.emplace_back(
		    [&]
		    {
			    for (int i = 0; i < 5000 && !stop; ++i)
				    Logger::Log(LogTestPlain, Debug, "level test %d", i);
		    });
	for (int i = 0; i < 200; ++i)
		Logger::SetVerbosity("test", i % 2 ? Debug : Normal);
	stop = true;
	for (auto& t : loggers)
		t.join();
	Logger::SetVerbosity("test", Normal);
	EXPECT_TRUE(LogTestPlain.IsSupressed(Debug));
}
