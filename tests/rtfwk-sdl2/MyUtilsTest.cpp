#include "MyUtils.h"
#include "Platform.h"
#include "QuietLogTest.h"

#include "common/AsyncTaskRunner.h"

#include <gtest/gtest.h>

#include <SDL_timer.h>

#include <arpa/inet.h>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using Lines = std::vector<std::string>;

namespace
{
std::vector<logs::LogEntry> AppLines()
{
	std::vector<logs::LogEntry> newestFirst;
	logs::Logger::GetHistory(newestFirst);
	std::vector<logs::LogEntry> lines;
	for (auto it = newestFirst.rbegin(); it != newestFirst.rend(); ++it)
		if (it->Category.Name == "app")
			lines.push_back(*it);
	return lines;
}

class MyUtilsTest : public QuietLogTest
{
};

struct Adapter
{
	std::string Name;
	std::string Address;
	bool Loopback;
};

// The IPv4 adapters as the C library lists them.
std::vector<Adapter> ListAdapters()
{
	std::vector<Adapter> adapters;
	ifaddrs* list = nullptr;
	if (::getifaddrs(&list) != 0)
		return adapters;
	for (ifaddrs* a = list; a != nullptr; a = a->ifa_next)
	{
		if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET)
			continue;
		sockaddr_in in{};
		std::memcpy(&in, a->ifa_addr, sizeof(in));
		char text[INET_ADDRSTRLEN] = "";
		::inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text));
		adapters.push_back({a->ifa_name, text, (a->ifa_flags & IFF_LOOPBACK) != 0});
	}
	::freeifaddrs(list);
	return adapters;
}

std::string MissingAdapterName()
{
	for (int i = 0;; ++i)
	{
		std::string name = "nosuchif" + std::to_string(i);
		if (::if_nametoindex(name.c_str()) == 0)
			return name;
	}
}

class MyUtilsLoopbackTest : public MyUtilsTest
{
protected:
	void SetUp() override
	{
		MyUtilsTest::SetUp();
		for (const auto& a : ListAdapters())
			if (a.Loopback)
			{
				mLoopback = a;
				return;
			}
		GTEST_SKIP() << "no IPv4 loopback adapter listed";
	}
	Adapter mLoopback;
};
} // namespace

// ---- ticks ----

TEST_F(MyUtilsTest, IsTimeAgainstGivenTicks)
{
	struct Case
	{
		const char* label;
		Uint32 last, interval, now;
		bool update;
		bool expected;
		Uint32 lastAfter;
	};
	const Case cases[] = {
	    {"never ran", 0, 1000, 5, true, true, 5},
	    {"500 ms later", 5, 1000, 505, true, false, 5},
	    {"exactly the interval", 5, 1000, 1005, true, false, 5},
	    {"1001 ms later", 5, 1000, 1006, true, true, 1006},
	    {"without update", 5, 1000, 1006, false, true, 5},
	    {"interval 0, same tick", 7, 0, 7, true, false, 7},
	    {"interval 0, next tick", 7, 0, 8, true, true, 8},
	    {"counter wrapped", 4294967000u, 10, 100, true, false, 100},
	    {"last time far ahead", 100, 10, 3000000000u, true, false, 3000000000u},
	    {"last time 1 is not checked for wrapping", 1, 10, 3000000000u, true, true, 3000000000u},
	    {"near the top of the counter", 4294967000u, 100, 4294967200u, true, true, 4294967200u},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.label);
		Uint32 last = c.last;
		EXPECT_EQ(MyUtils::IsTime(last, c.interval, c.update, c.now), c.expected);
		EXPECT_EQ(last, c.lastAfter);
	}
}

TEST_F(MyUtilsTest, IsTimeReportsAWrappedCounter)
{
	Uint32 last = 4294967000u;
	EXPECT_FALSE(MyUtils::IsTime(last, 10, true, 100));
	const auto lines = AppLines();
	ASSERT_EQ(lines.size(), 1u);
	EXPECT_EQ(lines[0].Verbosity, logs::Warning);
	EXPECT_EQ(lines[0].Message,
	          "SDLGetTicks overflow detected (LastTime=4294967000, GetTicks()=100, overflow_constant=2147483647)");
	// From the new reference, the interval counts again.
	EXPECT_FALSE(MyUtils::IsTime(last, 10, true, 110));
	EXPECT_TRUE(MyUtils::IsTime(last, 10, true, 111));
	EXPECT_EQ(AppLines().size(), 1u);
}

TEST_F(MyUtilsTest, IsTimeOnTheTickCounter)
{
	// The counter starts at 0 in a fresh process, and a last time of 0 means "never".
	for (int i = 0; i < 100 && SDL_GetTicks() < 2; ++i)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	Uint32 last = 0;
	EXPECT_TRUE(MyUtils::IsTime(last, 100000, true));
	const Uint32 first = last;
	EXPECT_FALSE(MyUtils::IsTime(last, 100000, true));
	EXPECT_EQ(last, first);
}

// ---- text ----

TEST_F(MyUtilsTest, CurrentDate)
{
	auto today = []
	{
		const time_t now = std::time(nullptr);
		tm local{};
		localtime_r(&now, &local);
		char text[16];
		std::strftime(text, sizeof(text), "%Y-%m-%d", &local);
		return std::string(text);
	};
	const std::string before = today();
	const std::string date = MyUtils::GetCurrentDateString();
	const std::string after = today();
	EXPECT_TRUE(std::regex_match(date, std::regex(R"(\d{4}-\d{2}-\d{2})"))) << date;
	EXPECT_TRUE(date == before || date == after) << date;
}

TEST_F(MyUtilsTest, Trim)
{
	struct Case
	{
		std::string in, out;
	};
	const Case cases[] = {
	    {"  abc ", "abc"}, {"  abc", "abc"},       {"abc", "abc"},   {"   ", ""},
	    {"", ""},          {"\tabc\n", "\tabc\n"}, {" a b ", "a b"}, {" \t x \t ", "\t x \t"},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE("'" + c.in + "'");
		EXPECT_EQ(MyUtils::trim(c.in), c.out);
		std::string inPlace = c.in;
		MyUtils::trimString(inPlace);
		EXPECT_EQ(inPlace, c.out);
	}
}

TEST_F(MyUtilsTest, StringReplace)
{
	struct Case
	{
		std::string text, from, to, expected;
	};
	const Case cases[] = {
	    {"a/b.log.log", ".log", "", "a/b"}, {"aaa", "a", "aa", "aaaaaa"}, {"aaaa", "aa", "b", "bb"},
	    {"abc", "x", "y", "abc"},           {"abc", "", "y", "abc"},      {"", "a", "b", ""},
	    {"x.txt", ".txt", ".log", "x.log"},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE("'" + c.text + "': '" + c.from + "' -> '" + c.to + "'");
		std::string text = c.text;
		MyUtils::StringReplace(text, c.from, c.to);
		EXPECT_EQ(text, c.expected);
	}
}

TEST_F(MyUtilsTest, Itoa)
{
	struct Case
	{
		long value;
		int base;
		std::string expected;
	};
	const Case cases[] = {
	    {0, 10, "0"},
	    {42, 10, "42"},
	    {-42, 10, "-42"},
	    {255, 16, "ff"},
	    {-255, 16, "-ff"},
	    {10, 2, "1010"},
	    {65536, 8, "200000"},
	    {LONG_MAX, 16, "7fffffffffffffff"},
	    {LONG_MIN, 10, "-9223372036854775808"},
	    {LONG_MAX, 2, std::string(30, '1')},
	    {5, 1, ""},
	    {5, 17, ""},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(std::to_string(c.value) + " in base " + std::to_string(c.base));
		EXPECT_EQ(std::string(MyUtils::itoa(c.value, c.base)), c.expected);
		char buffer[32];
		EXPECT_EQ(MyUtils::itoa(c.value, buffer, c.base), buffer);
		EXPECT_EQ(std::string(buffer), c.expected);
	}
}

TEST_F(MyUtilsTest, ItoaIsSafeOnManyThreads)
{
	std::atomic<int> wrong{0};
	std::vector<std::thread> threads;
	for (int t = 0; t < 4; ++t)
		threads.emplace_back(
		    [t, &wrong]
		    {
			    for (long i = 0; i < 2000; ++i)
			    {
				    const long value = t * 100000 + i;
				    if (std::string(MyUtils::itoa(value, 10)) != std::to_string(value))
					    ++wrong;
			    }
		    });
	for (auto& t : threads)
		t.join();
	EXPECT_EQ(wrong, 0);
}

// ---- shell commands ----

TEST_F(MyUtilsTest, SystemExecCollectsOutputLines)
{
	struct Case
	{
		std::string command;
		Lines expected;
	};
	const Case cases[] = {
	    {"printf 'a\\nb\\n'", {"a", "b"}},
	    {"printf 'a\\nb'", {"a", "b"}},
	    {"printf 'a\\n\\nb\\n'", {"a", "", "b"}},
	    {"true", {}},
	    {"head -c 2500 /dev/zero | tr '\\000' x; echo",
	     {std::string(1023, 'x'), std::string(1023, 'x'), std::string(454, 'x')}},
	    {"head -c 1023 /dev/zero | tr '\\000' y; echo; echo z", {std::string(1023, 'y'), "z"}},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.command);
		Lines lines;
		MyUtils::SystemExec(c.command, lines);
		EXPECT_EQ(lines, c.expected);
	}
}

TEST_F(MyUtilsTest, SystemExecAppends)
{
	Lines lines{"kept"};
	MyUtils::SystemExec("printf 'a\\nb\\n'", lines);
	EXPECT_EQ(lines, (Lines{"kept", "a", "b"}));
}

TEST_F(MyUtilsTest, SystemExecWithoutPipeDoesNothing)
{
	rtfwk_sdl2::RecordingPlatform recorder;
	rtfwk_sdl2::ScopedPlatform install(recorder);
	recorder.SetPipeAvailable(false);
	Lines lines{"kept"};
	MyUtils::SystemExec("anything", lines);
	EXPECT_EQ(lines, (Lines{"kept"}));
}

TEST_F(MyUtilsTest, SystemAsyncRunsOnTheFallbackRunner)
{
	rtfwk_sdl2::RecordingPlatform recorder;
	rtfwk_sdl2::ScopedPlatform install(recorder);
	MyUtils::SystemAsync("echo fallback");
	ASSERT_TRUE(recorder.WaitForCommands(1, 3000));
	MyUtils::FallbackAsyncRunner().ClearAllTasks();
	EXPECT_EQ(recorder.Commands(), (Lines{"echo fallback"}));

	size_t found = 0;
	for (const auto& line : AppLines())
		if (line.Verbosity == logs::Debug && line.Message == "Executing system command: echo fallback")
			++found;
	EXPECT_EQ(found, 1u);
}

TEST_F(MyUtilsTest, SystemAsyncUsesTheRegisteredRunner)
{
	struct CountingRunner : AsyncTaskRunner
	{
		size_t OneOffs()
		{
			ScopedLock lock(mAsyncTasks);
			return mAsyncTasks->size();
		}
	};
	rtfwk_sdl2::RecordingPlatform recorder;
	rtfwk_sdl2::ScopedPlatform install(recorder);
	CountingRunner runner;
	MyUtils::SetAsyncRunner(&runner);
	MyUtils::SystemAsync("echo registered");
	EXPECT_EQ(runner.OneOffs(), 1u);
	ASSERT_TRUE(recorder.WaitForCommands(1, 3000));
	runner.ClearAllTasks();
	MyUtils::SetAsyncRunner(nullptr);
	EXPECT_EQ(recorder.Commands(), (Lines{"echo registered"}));
}

// ---- adapters ----

TEST_F(MyUtilsTest, MissingAdapterLeavesOutputsUnchanged)
{
	const std::string missing = MissingAdapterName();
	char mac[18] = "unchanged";
	unsigned char hex[6] = {1, 2, 3, 4, 5, 6};
	EXPECT_EQ(MyUtils::GetMacAddress(missing.c_str(), mac, hex), 1);
	EXPECT_STREQ(mac, "unchanged");
	EXPECT_EQ(hex[0], 1);

	std::string ip = "127.0.0.2!";
	EXPECT_EQ(MyUtils::GetIPAddress(missing, ip), 1);
	EXPECT_EQ(ip, "127.0.0.2!");

	// A documentation-only address (TEST-NET-3) that no adapter here carries.
	bool carried = false;
	for (const auto& a : ListAdapters())
		carried = carried || a.Address == "203.0.113.77";
	if (!carried)
	{
		char name[IFNAMSIZ] = "unchanged";
		EXPECT_EQ(MyUtils::GetMacAddressForIP("203.0.113.77", name, mac, nullptr), 1);
		EXPECT_STREQ(name, "unchanged");
	}
}

TEST_F(MyUtilsTest, AdapterLookupsRefuseMissingArguments)
{
	EXPECT_EQ(MyUtils::GetMacAddress("lo", nullptr, nullptr), -1);
	EXPECT_EQ(MyUtils::GetMacAddress(nullptr, nullptr, nullptr), -1);
	EXPECT_EQ(MyUtils::GetMacAddressForIP(nullptr, nullptr, nullptr, nullptr), -1);
}

TEST_F(MyUtilsTest, FirstMacAddressIsANameAndAMacOrNothing)
{
	std::string mac = "CAN_NOT_FETCH_MAC!";
	const std::string name = MyUtils::GetFirstMacAddress(mac, nullptr, "");
	if (name.empty())
		EXPECT_EQ(mac, "CAN_NOT_FETCH_MAC!");
	else
		EXPECT_TRUE(std::regex_match(mac, std::regex("([0-9a-f]{2}:){5}[0-9a-f]{2}"))) << mac;
}

TEST_F(MyUtilsLoopbackTest, MacAndAddressOfTheLoopback)
{
	char mac[18] = "";
	unsigned char hex[6] = {1, 1, 1, 1, 1, 1};
	ASSERT_EQ(MyUtils::GetMacAddress(mLoopback.Name.c_str(), mac, hex), 0);
	EXPECT_STREQ(mac, "00:00:00:00:00:00");
	for (unsigned char byte : hex)
		EXPECT_EQ(byte, 0);

	std::string ip;
	ASSERT_EQ(MyUtils::GetIPAddress(mLoopback.Name, ip), 0);
	bool listed = false;
	for (const auto& a : ListAdapters())
		listed = listed || (a.Name == mLoopback.Name && a.Address == ip);
	EXPECT_TRUE(listed) << ip;

	char name[IFNAMSIZ] = "";
	char macForIP[18] = "";
	ASSERT_EQ(MyUtils::GetMacAddressForIP(ip.c_str(), name, macForIP, nullptr), 0);
	EXPECT_EQ(std::string(name), mLoopback.Name);
	EXPECT_STREQ(macForIP, "00:00:00:00:00:00");
}

TEST_F(MyUtilsLoopbackTest, FirstMacAddressPrefersTheGivenName)
{
	std::string mac = "CAN_NOT_FETCH_MAC!";
	EXPECT_EQ(MyUtils::GetFirstMacAddress(mac, nullptr, mLoopback.Name), mLoopback.Name);
	EXPECT_EQ(mac, "00:00:00:00:00:00");
}
