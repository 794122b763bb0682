#include "Platform.h"
#include "MyUtils.h"
#include "QuietLogTest.h"

#include "common/AsyncTaskRunner.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <sched.h>
#include <string>
#include <sys/reboot.h>
#include <vector>

using namespace rtfwk_sdl2;

namespace
{
// Sets or unsets a variable for the scope and restores it afterwards.
class ScopedEnv
{
public:
	ScopedEnv(const char* name, const char* value) : mName(name)
	{
		if (const char* old = std::getenv(name))
			mOld = old;
		if (value != nullptr)
			::setenv(name, value, 1);
		else
			::unsetenv(name);
	}
	~ScopedEnv()
	{
		if (mOld)
			::setenv(mName.c_str(), mOld->c_str(), 1);
		else
			::unsetenv(mName.c_str());
	}

private:
	std::string mName;
	std::optional<std::string> mOld;
};

// The real machine with its raw calls replaced: proves what the guards let through without
// ever reaching the kernel or the shell.
class GuardedMachine : public SystemPlatform
{
public:
	std::vector<int> RawReboots;
	std::vector<std::string> RawPowerCommands;

protected:
	int RawReboot(int how) override
	{
		RawReboots.push_back(how);
		return 0;
	}
	int RawPowerCommand(const std::string& command) override
	{
		RawPowerCommands.push_back(command);
		return 0;
	}
};

size_t CountAppLines(logs::EVerbosity v, const std::string& message)
{
	std::vector<logs::LogEntry> entries;
	logs::Logger::GetHistory(entries);
	size_t n = 0;
	for (const auto& e : entries)
		if (e.Category.Name == "app" && e.Verbosity == v && e.Message == message)
			++n;
	return n;
}

class PlatformTest : public QuietLogTest
{
};
} // namespace

TEST_F(PlatformTest, RealMachineUnlessAnotherIsInstalled)
{
	EXPECT_NE(dynamic_cast<SystemPlatform*>(&Platform()), nullptr);
	RecordingPlatform outer, inner;
	{
		ScopedPlatform installOuter(outer);
		EXPECT_EQ(&Platform(), &outer);
		{
			ScopedPlatform installInner(inner);
			EXPECT_EQ(&Platform(), &inner);
		}
		EXPECT_EQ(&Platform(), &outer);
		EXPECT_EQ(SetPlatform(nullptr), &outer);
		EXPECT_NE(dynamic_cast<SystemPlatform*>(&Platform()), nullptr);
		EXPECT_EQ(SetPlatform(&outer), nullptr);
	}
	EXPECT_NE(dynamic_cast<SystemPlatform*>(&Platform()), nullptr);
}

TEST_F(PlatformTest, DoubleRecordsEveryRequest)
{
	RecordingPlatform recorder;
	ScopedPlatform install(recorder);
	EXPECT_EQ(Platform().System("echo one"), 0);
	recorder.SetSystemResult(3);
	EXPECT_EQ(Platform().System("echo two"), 3);
	EXPECT_EQ(Platform().PowerCommand("/sbin/init 6"), 0);
	EXPECT_EQ(Platform().Reboot(RB_AUTOBOOT), 0);
	EXPECT_EQ(Platform().SetScheduler(SCHED_RR, 8), 0);
	Platform().Sync();

	EXPECT_EQ(recorder.Commands(), (std::vector<std::string>{"echo one", "echo two"}));
	EXPECT_EQ(recorder.PowerCommands(), (std::vector<std::string>{"/sbin/init 6"}));
	EXPECT_EQ(recorder.Reboots(), (std::vector<int>{RB_AUTOBOOT}));
	EXPECT_EQ(recorder.SchedulerRequests(), (std::vector<std::pair<int, int>>{{SCHED_RR, 8}}));
	EXPECT_EQ(recorder.Syncs(), 1u);
}

TEST_F(PlatformTest, DoublePipesServeTheirOutput)
{
	RecordingPlatform recorder;
	recorder.SetPipeOutput("hello\n");
	std::FILE* pipe = recorder.OpenReadPipe("anything");
	ASSERT_NE(pipe, nullptr);
	char buffer[16] = "";
	ASSERT_NE(std::fgets(buffer, sizeof(buffer), pipe), nullptr);
	EXPECT_STREQ(buffer, "hello\n");
	EXPECT_EQ(recorder.ClosePipe(pipe), 0);
	recorder.SetPipeAvailable(false);
	EXPECT_EQ(recorder.OpenReadPipe("again"), nullptr);
	EXPECT_EQ(recorder.PipeCommands(), (std::vector<std::string>{"anything", "again"}));
}

TEST_F(PlatformTest, EnvironmentDecidesWhetherRebootIsDisabled)
{
	struct Case
	{
		const char* value;
		bool disabled;
	};
	const Case cases[] = {{nullptr, false}, {"", false}, {"0", false}, {"1", true}, {"yes", true}};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.value != nullptr ? std::string("'") + c.value + "'" : std::string("unset"));
		ScopedEnv env("DISABLE_REBOOT_ON_EXIT", c.value);
		EXPECT_EQ(RebootDisabledByEnvironment(), c.disabled);
	}
}

TEST_F(PlatformTest, RealMachineRefusesRebootAndPowerWhenDisabled)
{
	ScopedEnv env("DISABLE_REBOOT_ON_EXIT", "1");
	GuardedMachine machine;
	errno = 0;
	EXPECT_EQ(machine.Reboot(RB_AUTOBOOT), -1);
	EXPECT_EQ(errno, EPERM);
	errno = 0;
	EXPECT_EQ(machine.PowerCommand("/sbin/init 0"), -1);
	EXPECT_EQ(errno, EPERM);
	EXPECT_TRUE(machine.RawReboots.empty());
	EXPECT_TRUE(machine.RawPowerCommands.empty());
	EXPECT_EQ(CountAppLines(logs::Warning, "Reboot refused: DISABLE_REBOOT_ON_EXIT is set"), 1u);
	EXPECT_EQ(CountAppLines(logs::Warning, "Power command refused: DISABLE_REBOOT_ON_EXIT is set (/sbin/init 0)"), 1u);
}

TEST_F(PlatformTest, GuardLetsThroughWhenNotDisabled)
{
	// Only the overridden raw calls can be reached here.
	GuardedMachine machine;
	{
		ScopedEnv env("DISABLE_REBOOT_ON_EXIT", "0");
		EXPECT_EQ(machine.Reboot(RB_AUTOBOOT), 0);
		EXPECT_EQ(machine.PowerCommand("/sbin/init 6"), 0);
	}
	EXPECT_EQ(machine.RawReboots, (std::vector<int>{RB_AUTOBOOT}));
	EXPECT_EQ(machine.RawPowerCommands, (std::vector<std::string>{"/sbin/init 6"}));
}

TEST_F(PlatformTest, RealMachineRunsHarmlessCommands)
{
	SystemPlatform machine;
	EXPECT_EQ(machine.System("true"), 0);
	EXPECT_NE(machine.System("false"), 0);
	std::FILE* pipe = machine.OpenReadPipe("printf hi");
	ASSERT_NE(pipe, nullptr);
	char buffer[8] = "";
	ASSERT_NE(std::fgets(buffer, sizeof(buffer), pipe), nullptr);
	EXPECT_STREQ(buffer, "hi");
	EXPECT_EQ(machine.ClosePipe(pipe), 0);
	EXPECT_EQ(machine.ClosePipe(nullptr), -1);
}

TEST_F(PlatformTest, ShellCommandsOfTheUtilitiesGoThroughTheSeam)
{
	RecordingPlatform recorder;
	ScopedPlatform install(recorder);
	recorder.SetPipeOutput("x\ny\n");
	std::vector<std::string> lines;
	MyUtils::SystemExec("list things", lines);
	EXPECT_EQ(lines, (std::vector<std::string>{"x", "y"}));

	MyUtils::SystemAsync("/sbin/init 0");
	ASSERT_TRUE(recorder.WaitForCommands(1, 3000));
	MyUtils::FallbackAsyncRunner().ClearAllTasks();
	EXPECT_EQ(recorder.Commands(), (std::vector<std::string>{"/sbin/init 0"}));
	EXPECT_EQ(recorder.PipeCommands(), (std::vector<std::string>{"list things"}));
}
