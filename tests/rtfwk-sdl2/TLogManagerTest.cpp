#include "TLogManager.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace rtfwk_sdl2;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace
{
time_t LocalTime(int year, int month, int day, int hour, int minute, int second)
{
	struct tm t = {};
	t.tm_year = year - 1900;
	t.tm_mon = month - 1;
	t.tm_mday = day;
	t.tm_hour = hour;
	t.tm_min = minute;
	t.tm_sec = second;
	t.tm_isdst = -1;
	return mktime(&t);
}

std::string Local(time_t when, const char* format)
{
	struct tm t = {};
	localtime_r(&when, &t);
	char text[64];
	strftime(text, sizeof(text), format, &t);
	return text;
}

std::string ReadFile(const fs::path& path)
{
	std::ifstream in(path);
	std::stringstream text;
	text << in.rdbuf();
	return text.str();
}

// Polls until the predicate holds or the time is up.
template <class F>
bool WaitFor(F predicate, std::chrono::milliseconds limit = 5000ms)
{
	const auto deadline = std::chrono::steady_clock::now() + limit;
	while (!predicate())
	{
		if (std::chrono::steady_clock::now() > deadline)
			return false;
		std::this_thread::sleep_for(10ms);
	}
	return true;
}

std::vector<std::string> LoggerMessages()
{
	std::vector<logs::LogEntry> newestFirst;
	logs::Logger::GetHistory(newestFirst);
	std::vector<std::string> out;
	for (auto it = newestFirst.rbegin(); it != newestFirst.rend(); ++it)
		out.push_back(it->Message);
	return out;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line)
{
	return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class TLogManagerTest : public ::testing::Test
{
protected:
	void SetUp() override
	{
		mDir = fs::temp_directory_path() / ("logman-" + std::to_string(getpid()) + "-" +
		                                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
		fs::remove_all(mDir);
		fs::create_directories(mDir);
		mManager.SetClock({[this] { return mNow.load(); }, [this] { return mTicks.load(); }});
		mManager.SetSaveInterval(20ms);
		logs::Logger::SetCachedHistorySize(0);
		logs::Logger::SetCachedHistorySize(200);
	}
	void TearDown() override
	{
		mManager.Destroy();
		fs::remove_all(mDir);
	}

	// Init, then wait for the worker's own first line so that it cannot interleave with a check.
	void Start(const fs::path& file)
	{
		mManager.Init(file.string());
		ASSERT_TRUE(WaitFor([&] { return mManager.GetLastLog().find("Logging to file") != std::string::npos; }));
	}

	std::string Time() const { return Local(mNow, "%a %b %d %H:%M:%S %Y"); }
	fs::path Dated(const std::string& base, time_t when) const
	{
		return mDir / (base + "_" + Local(when, "%F") + ".log");
	}

	fs::path mDir;
	std::atomic<time_t> mNow{LocalTime(2030, 3, 14, 12, 0, 0)};
	std::atomic<uint32_t> mTicks{1000};
	TLogManager mManager;
};
} // namespace

TEST_F(TLogManagerTest, LineFormatsOnTheConsole)
{
	Start(mDir / "hub.log");
	mManager.SetOutputToConsole(true);
	struct Case
	{
		const char* label;
		char color;
		TLogType type;
		std::string text;
		std::string expected; // after the time text
		unsigned colorIndex;
	};
	const Case cases[] = {
	    {"warning, default colour", 0, 4, "abc", ": WARN: abc", 202},
	    {"error, own colour", static_cast<char>(33), 5, "disk", ": ERROR: disk", 33},
	    {"plain type 0", 0, 0, "hello", ": hello", 15},
	    {"critical", 0, 7, "boom", ": CRITICAL: boom", 196},
	    {"low byte above 8: no tag", 0, 9, "raw", "raw", 0},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.label);
		testing::internal::CaptureStdout();
		mManager._WriteLog(c.color, c.type, 0, c.text);
		const std::string line = Time() + c.expected;
		const std::string expected =
		    c.colorIndex != 0 ? "\x1b[38;5;" + std::to_string(c.colorIndex) + "m" + line + "\x1b[0m\n" : line + "\n";
		EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
		EXPECT_EQ(mManager.GetLastLog(), c.text);
	}
}

TEST_F(TLogManagerTest, UserTypesLongTextsAndEmptyTexts)
{
	Start(mDir / "hub.log");
	mManager.WriteLog(65541, 0, std::string("user line"));
	mManager.WriteLog(0, 0, "%s", std::string(3000, 'x').c_str());
	mManager.WriteLog(0, 0, std::string());
	EXPECT_EQ(mManager.GetLastLog(), std::string(2047, 'x')) << "an empty text leaves the last log alone";

	const fs::path dated = Dated("hub", mNow);
	ASSERT_TRUE(WaitFor([&] { return ReadFile(dated).find(std::string(2047, 'x')) != std::string::npos; }));
	const std::string content = ReadFile(dated);
	EXPECT_NE(content.find(Time() + ": LT_USER_65541: ERROR: user line\n"), std::string::npos) << content;
	EXPECT_NE(content.find(Time() + ": " + std::string(2047, 'x') + "\n"), std::string::npos);
	EXPECT_EQ(content.find(std::string(2048, 'x')), std::string::npos);

	mManager.PopLogHistory(); // the worker's own "Logging to file" line
	EXPECT_EQ(mManager.PopLogHistory(), Time() + ": LT_USER_65541: ERROR: user line");
}

TEST_F(TLogManagerTest, LoggerEntriesReachTheDatedFileWithTheDefaultPeriod)
{
	TLogManager manager;
	const fs::path file = mDir / "serverhub.log";
	manager.Init(file.string());
	KEL_LOG(LogApp, logs::Warning, "reaching the file %d", 42);
	const auto today = std::time(nullptr);
	const fs::path dated = mDir / ("serverhub_" + Local(today, "%F") + ".log");
	EXPECT_TRUE(WaitFor(
	    [&] { return ReadFile(dated).find("app | Warning: reaching the file 42") != std::string::npos; }, 6000ms));
	EXPECT_EQ(manager.FullLogFileFilename.getCopy(), (mDir / "serverhub").string());
	manager.Destroy();
	manager.Destroy();
	EXPECT_EQ(manager.FullLogFileFilename.getCopy(), "") << "cleared when the file closes";
	EXPECT_TRUE(Contains(LoggerMessages(), "Log file " + (mDir / "serverhub").string() + " closed."));
}

TEST_F(TLogManagerTest, LoggerLinesCarryTheLoggerPrefixAndColour)
{
	Start(mDir / "hub.log");
	mManager.SetOutputToConsole(true);
	testing::internal::CaptureStdout();
	KEL_LOG(LogApp, logs::Warning, "careful");
	KEL_LOG(LogApp, logs::Debug, "hidden at the default level");
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "\x1b[38;5;202m" + Time() + ": app | Warning: careful\x1b[0m\n");
}

TEST_F(TLogManagerTest, PruningKeepsTheNewestOwnFilesAndNothingElse)
{
	const auto base = fs::file_time_type::clock::now();
	for (int day = 1; day <= 45; ++day)
	{
		char name[64];
		std::snprintf(name, sizeof(name), "hub_2020-01-%02d.log", day % 31 + 1);
		if (day > 31)
			std::snprintf(name, sizeof(name), "hub_2020-02-%02d.log", day - 31);
		std::ofstream(mDir / name) << "old";
		fs::last_write_time(mDir / name, base - std::chrono::hours(24 * (46 - day)));
	}
	const char* foreign[] = {"hub_notes.log",        "hub-2020-01-01.log",   "hub_2020-01-01.log.bak",
	                         "other_2020-01-01.log", "hubby_2020-01-01.log", "hub_2020-01-01.txt"};
	for (const char* name : foreign)
	{
		std::ofstream(mDir / name) << "not ours";
		fs::last_write_time(mDir / name, base - std::chrono::hours(24 * 400));
	}

	mManager.Init((mDir / "hub.txt").string());
	ASSERT_TRUE(WaitFor([&] { return fs::exists(Dated("hub", mNow)); }));

	size_t own = 0;
	for (const auto& entry : fs::directory_iterator(mDir))
	{
		const std::string name = entry.path().filename().string();
		if (name.rfind("hub_20", 0) == 0 && entry.path().extension() == ".log")
			++own;
	}
	EXPECT_EQ(own, 39u + 1u) << "39 old files and today's";
	EXPECT_FALSE(fs::exists(mDir / "hub_2020-01-02.log")) << "the least recently modified go";
	EXPECT_TRUE(fs::exists(mDir / "hub_2020-02-14.log"));
	for (const char* name : foreign)
		EXPECT_TRUE(fs::exists(mDir / name)) << name;
}

TEST_F(TLogManagerTest, ExtensionsAreStrippedFromTheFileNameOnly)
{
	struct Case
	{
		std::string configured, expectedBase;
	};
	const Case cases[] = {
	    {"logs.txt.d/hub.log.txt", "logs.txt.d/hub"},
	    {"a.log/b.log.log", "a.log/b"},
	    {"folder/", "folder/"},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.configured);
		const fs::path dir = mDir / fs::path(c.configured).parent_path();
		fs::create_directories(dir);
		std::ofstream(dir / "unrelated.log") << "keep";
		TLogManager manager;
		manager.SetClock({[this] { return mNow.load(); }, [this] { return mTicks.load(); }});
		manager.Init((mDir / c.configured).string());
		const fs::path expected = mDir / (c.expectedBase + "_" + Local(mNow, "%F") + ".log");
		EXPECT_TRUE(WaitFor([&] { return fs::exists(expected); })) << expected;
		manager.Destroy();
		EXPECT_TRUE(fs::exists(dir / "unrelated.log"));
	}
}

TEST_F(TLogManagerTest, AMissingFolderTurnsTheConsoleOn)
{
	const fs::path file = mDir / "no" / "such" / "hub.log";
	mManager.Init(file.string());
	ASSERT_TRUE(WaitFor([&] { return mManager.OutputToConsole.load(); }));
	const auto messages = LoggerMessages();
	EXPECT_TRUE(Contains(messages, "Can't open log file " + Dated("no/such/hub", mNow).string()));
	EXPECT_TRUE(Contains(messages, "No channels to output. Will output to console."));
	testing::internal::CaptureStdout();
	mManager.WriteLog(0, 0, std::string("still on the console"));
	EXPECT_NE(testing::internal::GetCapturedStdout().find("still on the console"), std::string::npos);
}

TEST_F(TLogManagerTest, TheFileSwitchesAtMidnight)
{
	mNow = LocalTime(2030, 3, 14, 23, 59, 50);
	const time_t firstDay = mNow;
	mManager.Init((mDir / "hub.log").string());
	mManager.WriteLog(0, 0, std::string("before midnight"));
	ASSERT_TRUE(WaitFor([&] { return ReadFile(Dated("hub", firstDay)).find("before midnight") != std::string::npos; }));

	mNow = LocalTime(2030, 3, 15, 0, 0, 5);
	mTicks += 5000;
	mManager.WriteLog(0, 0, std::string("early, date not checked yet"));
	ASSERT_TRUE(WaitFor(
	    [&] { return ReadFile(Dated("hub", firstDay)).find("early, date not checked yet") != std::string::npos; }));

	mTicks += 5001;
	mManager.WriteLog(0, 0, std::string("after midnight"));
	ASSERT_TRUE(WaitFor([&] { return ReadFile(Dated("hub", mNow)).find("after midnight") != std::string::npos; }));
	const std::string old = ReadFile(Dated("hub", firstDay));
	const std::string tail = "Switching to log with date 2030-03-15";
	ASSERT_GE(old.size(), tail.size());
	EXPECT_EQ(old.substr(old.size() - tail.size()), tail);
	EXPECT_EQ(mManager.CurrentDateString.getCopy(), "2030-03-15");
}

TEST_F(TLogManagerTest, HistoryAndDefaultInstance)
{
	EXPECT_EQ(mManager.PopLogHistory(), "");
	logman::WriteLog("nobody listens yet");
	mManager.Destroy();
	mManager.Destroy();

	mManager.Init((mDir / "hub.log").string());
	EXPECT_EQ(logman::pDefInst.load(), &mManager);
	logman::WriteLog(4, 0, "via %s", "logman");
	EXPECT_EQ(logman::GetLastLog(), "via logman");
	for (int i = 0; i < 60; ++i)
		mManager.WriteLog(0, 0, "line %d", i);
	ASSERT_TRUE(WaitFor([&] { return ReadFile(Dated("hub", mNow)).find("line 59") != std::string::npos; }));
	std::vector<std::string> history;
	for (std::string line = mManager.PopLogHistory(); !line.empty(); line = mManager.PopLogHistory())
		history.push_back(line);
	EXPECT_EQ(history.size(), 50u);
	EXPECT_TRUE(Contains(history, Time() + ": line 59"));
	EXPECT_FALSE(Contains(history, Time() + ": line 0")) << "the oldest lines are dropped";
	mManager.Destroy();
	EXPECT_EQ(logman::pDefInst.load(), nullptr);
	EXPECT_EQ(logman::GetLastLog(), "");
}
