#include "common/KelUtils.h"
#include "common/Timing.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

using Pieces = std::vector<std::string>;

TEST(SplitTest, PiecesBetweenDelimiters)
{
	struct Case
	{
		std::string phrase, delimiter;
		bool dropEmpty;
		Pieces expected;
	};
	const Case cases[] = {
	    {"a//b", "/", false, {"a", "", "b"}},
	    {"a//b", "/", true, {"a", "b"}},
	    {"a/b/", "/", false, {"a", "b", ""}},
	    {"a/b/", "/", true, {"a", "b"}},
	    {"/list", "/", false, {"", "list"}},
	    {"/nodes/abc/def/api", "/", true, {"nodes", "abc", "def", "api"}},
	    {"one", "/", false, {"one"}},
	    {"", "/", false, {}},
	    {"a::b", "::", false, {"a", "b"}},
	    {"abc", "", false, {"abc"}},
	    {"/", "/", true, {}},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE("'" + c.phrase + "' at '" + c.delimiter + "'");
		EXPECT_EQ(kelutils::Split(c.phrase, c.delimiter, c.dropEmpty), c.expected);
	}
}

TEST(StrToInt2Test, WholeTextMustBeANumber)
{
	struct Case
	{
		std::string text;
		bool ok;
		long value;
	};
	const Case cases[] = {
	    {"42", true, 42},  {" 42", true, 42},
	    {"-7", true, -7},  {"+3", true, 3},
	    {"", true, 0},     {"12x", false, 0},
	    {"42 ", false, 0}, {"x", false, 0},
	    {"1.5", false, 0}, {"99999999999999999999", true, std::numeric_limits<long>::max()},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE("'" + c.text + "'");
		long value = -1;
		EXPECT_EQ(kelutils::strToInt2(c.text, value), c.ok);
		EXPECT_EQ(value, c.ok ? c.value : -1) << "untouched on failure";
	}
	int narrow = 0;
	EXPECT_TRUE(kelutils::strToInt2("-12", narrow));
	EXPECT_EQ(narrow, -12);
}

TEST(ThreadNameTest, LongNamesAreCutToTheKernelLimit)
{
	std::atomic<bool> named{false};
	std::atomic<bool> done{false};
	std::thread t(
	    [&]
	    {
		    while (!named)
			    std::this_thread::sleep_for(std::chrono::milliseconds(1));
		    while (!done)
			    std::this_thread::sleep_for(std::chrono::milliseconds(1));
	    });
	kelutils::SetThreadName(t, "abcdefghijklmnopqrst");
	named = true;
	char name[32] = "";
	EXPECT_EQ(pthread_getname_np(t.native_handle(), name, sizeof(name)), 0);
	done = true;
	t.join();
	EXPECT_STREQ(name, "abcdefghijklmno");
}

TEST(TimingTest, ClocksAndConversions)
{
	const uint64_t usec = keltime::GetTimeUsec();
	EXPECT_LE(usec / 1000, keltime::GetTimeMsec());
	EXPECT_GT(keltime::GetSystemTimeMsec(), 1600000000000ull);
	EXPECT_EQ(keltime::KelToEpoch(keltime::EpochToKel(1700000000000ull)), 1700000000000ull);
	EXPECT_EQ(keltime::EpochToKel(keltime::OnStartEpoch), keltime::OnStartKel);
}
