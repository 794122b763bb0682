#pragma once
// Shared by the test suites: a fixture that keeps log lines off the console and starts each test
// with an empty logger history, and a reader of that history.

#include "common/Logger.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class QuietLogTest : public ::testing::Test
{
protected:
	void SetUp() override
	{
		logs::Logger::SetCachedHistorySize(0);
		logs::Logger::SetCachedHistorySize(1000);
		logs::Logger::Output = [](const logs::LogEntry&) {};
	}
	void TearDown() override { logs::Logger::Output = logs::LogOutputHandler(); }
};

// The logger's history, oldest first.
inline std::vector<logs::LogEntry> LogHistory()
{
	std::vector<logs::LogEntry> newestFirst;
	logs::Logger::GetHistory(newestFirst);
	return {newestFirst.rbegin(), newestFirst.rend()};
}

struct LogLine
{
	logs::EVerbosity Verbosity;
	std::string Message;
};

// Lines of one category (empty: every category) since the history was last emptied, oldest first.
inline std::vector<LogLine> LinesOf(const std::string& category)
{
	std::vector<LogLine> lines;
	for (const auto& entry : LogHistory())
		if (category.empty() || entry.Category.Name == category)
			lines.push_back({entry.Verbosity, entry.Message});
	return lines;
}
