#include "TParamMan.h"
#include "QuietLogTest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using namespace rtfwk_sdl2;

namespace
{
struct Line
{
	logs::EVerbosity Verbosity;
	std::string Message;
};

std::vector<Line> ParamLines()
{
	std::vector<Line> lines;
	for (const logs::LogEntry& entry : LogHistory())
		if (entry.Category.Name == "params")
			lines.push_back({entry.Verbosity, entry.Message});
	return lines;
}

std::vector<std::string> LinesAt(logs::EVerbosity level)
{
	std::vector<std::string> out;
	for (const Line& line : ParamLines())
		if (line.Verbosity == level)
			out.push_back(line.Message);
	return out;
}

// Sets an environment variable for one test and removes it afterwards.
class ScopedEnv
{
public:
	ScopedEnv(const char* name, const char* value) : mName(name)
	{
		if (value != nullptr)
			setenv(name, value, 1);
		else
			unsetenv(name);
	}
	~ScopedEnv() { unsetenv(mName); }

private:
	const char* mName;
};

// A type whose text form always fails.
struct Unprintable
{
};
std::ostream& operator<<(std::ostream& os, const Unprintable&)
{
	os.setstate(std::ios::failbit);
	return os;
}

// A back-end that knows one global value and counts stores.
class GlobalBackEnd : public TParamMan
{
public:
	Parameter OnRequestValue(const std::string& UserAddress, const std::string& ParamName) override
	{
		Requests.push_back(UserAddress + "/" + ParamName);
		if (ParamName != "Shared")
			return Parameter();
		Parameter answer("GLOBAL");
		answer.SetValue("from-store");
		return answer;
	}
	void OnStoreValue(TAppParam&, EParamSaveMode, bool) override { ++Stores; }
	std::vector<std::string> Requests;
	int Stores = 0;
};

class TParamManTest : public QuietLogTest
{
protected:
	TParamMan Man;
};
} // namespace

TEST_F(TParamManTest, EnvironmentLoading)
{
	struct Case
	{
		const char* Label;
		const char* Value; // null: unset
		const char* Expected;
		bool Missing;
	};
	const Case cases[] = {
	    {"unset", nullptr, "serverhub.conf", true},
	    {"set", "/etc/hub.conf", "/etc/hub.conf", false},
	    {"set empty", "", "", false},
	};
	for (const Case& c : cases)
	{
		SCOPED_TRACE(c.Label);
		ScopedEnv env("TPARAMMANTEST_CONFIGURATION", c.Value);
		EXPECT_EQ(c.Missing, Man.LoadParamFromEnvironment("TPARAMMANTEST_CONFIGURATION", "Config", "serverhub.conf"));
		const auto param = Man.GetParam("Config", 15);
		EXPECT_FALSE(param->IsNull());
		EXPECT_EQ(c.Expected, param->AsString());
	}
	EXPECT_EQ(1u, Man.CacheSize());

	logs::Logger::SetCachedHistorySize(0);
	logs::Logger::SetCachedHistorySize(100);
	ScopedEnv env("TPARAMMANTEST_REQUIRED", nullptr);
	EXPECT_TRUE(Man.LoadParamFromEnvironment("TPARAMMANTEST_REQUIRED", "Required"));
	EXPECT_EQ(std::vector<std::string>{"Required environment variable 'TPARAMMANTEST_REQUIRED' is not set!"},
	          LinesAt(logs::Critical));
	EXPECT_TRUE(Man.GetParam("Required", 1)->IsNull());
}

TEST_F(TParamManTest, LookupFailures)
{
	const auto missing = Man.GetParam("Nope", 15);
	EXPECT_EQ(TParamMan::pVoidParam(), missing);
	EXPECT_EQ("NULL", missing->Name());
	EXPECT_TRUE(missing->IsNull());
	EXPECT_EQ("", missing->AsString());
	EXPECT_EQ(std::vector<std::string>{"No parameter named 'Nope' for ID 'GLOBAL' exists!"}, LinesAt(logs::Warning));
	EXPECT_EQ(std::vector<std::string>{"(unimplemented) Requested value for parameter Nope of GLOBAL"},
	          LinesAt(logs::Debug));
	EXPECT_EQ(0u, Man.CacheSize());

	logs::Logger::SetCachedHistorySize(0);
	logs::Logger::SetCachedHistorySize(100);
	struct Case
	{
		const char* Label;
		std::string Name;
		int Mask;
	};
	const Case silent[] = {{"cache only", "Nope", 1}, {"empty name", "", 15}, {"empty mask", "Nope", 0}};
	for (const Case& c : silent)
	{
		SCOPED_TRACE(c.Label);
		EXPECT_EQ(TParamMan::pVoidParam(), Man.GetParam(c.Name, c.Mask));
	}
	EXPECT_TRUE(ParamLines().empty());

	EXPECT_EQ(TParamMan::pVoidParam(), Man.GetParamFromCache("Nope", PARAM_CACHE, false));
	EXPECT_EQ(std::vector<std::string>{"application::Parameter \"Nope\" searched in cache with no proper domain."},
	          LinesAt(logs::Warning));

	// The shared null parameter cannot be changed by whoever got it.
	missing->SetValue("x");
	EXPECT_EQ(0u, missing->AddListener([](TAppParam*, int) {}));
	EXPECT_TRUE(TParamMan::pVoidParam()->IsNull());
	EXPECT_THROW(missing->Save(LOG_CHANGE, false), const char*);
}

TEST_F(TParamManTest, GetOrSetTwiceReturnsTheSameParameter)
{
	const auto first =
	    Man.GetOrSetParam("SHELL_CMD_SHUTDOWN", "/sbin/init 0", "", "", PARAM_READ_CACHE_WRITE_CACHE, false);
	ASSERT_FALSE(first->IsNull());
	EXPECT_EQ("/sbin/init 0", first->AsString());
	first->SetValue("echo down");
	const auto second =
	    Man.GetOrSetParam("SHELL_CMD_SHUTDOWN", "/sbin/init 0", "", "", PARAM_READ_CACHE_WRITE_CACHE, false);
	EXPECT_EQ(first, second);
	EXPECT_EQ("echo down", second->AsString());
	EXPECT_EQ(1u, Man.CacheSize());
	EXPECT_TRUE(LinesAt(logs::Warning).empty()) << "a get-or-set miss is not reported";

	EXPECT_EQ("7", Man.GetOrSetParam("Typed", 7)->AsString());
	EXPECT_EQ(TParamMan::pVoidParam(), Man.GetOrSetParam("Bad", Unprintable{}));
	EXPECT_EQ(TParamMan::pVoidParam(), Man.SetParam("Bad", Unprintable{}));
	EXPECT_TRUE(Man.GetParam("Bad", 1)->IsNull());
}

TEST_F(TParamManTest, WeirdGetOrSetModes)
{
	const std::pair<int, std::string> weird[] = {
	    {PARAM_GROUP | (PARAM_MINE << 4), "Weird GetOrSet for param 'W'-> writing mine but reading something else"},
	    {PARAM_MINE | (PARAM_GLOBAL << 4), "Weird GetOrSet for param 'W'-> reading only mine but writing global"},
	};
	for (const auto& c : weird)
	{
		SCOPED_TRACE(c.second);
		logs::Logger::SetCachedHistorySize(0);
		logs::Logger::SetCachedHistorySize(100);
		EXPECT_EQ(TParamMan::pVoidParam(),
		          Man.GetOrSetParam("W", "v", "", "", static_cast<ParameterReadWriteMode>(c.first), false));
		EXPECT_EQ(std::vector<std::string>{c.second}, LinesAt(logs::Error));
	}
	EXPECT_EQ(0u, Man.CacheSize());
}

TEST_F(TParamManTest, ListenersByPriorityAndOneNotificationPerSet)
{
	const auto param = Man.SetParam("P", "1");
	std::vector<std::string> calls;
	param->AddListener([&](TAppParam*, int) { calls.push_back("5a"); }, 5);
	param->AddListener([&](TAppParam*, int) { calls.push_back("10"); }, 10);
	const unsigned last = param->AddListener([&](TAppParam*, int) { calls.push_back("5b"); }, 5);

	const auto again = Man.SetParam("P", "2", PARAM_CACHE, "caption", "description");
	EXPECT_EQ(param, again);
	EXPECT_EQ((std::vector<std::string>{"10", "5a", "5b"}), calls) << "one call each for value, caption, description";

	calls.clear();
	Man.SetParam("P", "2", PARAM_CACHE, "caption", "description");
	EXPECT_TRUE(calls.empty()) << "nothing changed, nothing heard";

	param->RemoveListener(last);
	param->AddConsumingListener(
	    [&](TAppParam*, int)
	    {
		    calls.push_back("consumer");
		    return true;
	    },
	    7);
	param->SetValue("3");
	EXPECT_EQ((std::vector<std::string>{"10", "consumer"}), calls);

	Man.SaveParams();
	EXPECT_TRUE(LinesAt(logs::Debug).empty()) << "cache-only parameters are never queued for storing";
}

TEST_F(TParamManTest, TypedValuesReadOnlyAndSave)
{
	const auto param = Man.SetParam("N", 1);
	param->SetValue(1.5, false);
	EXPECT_EQ("1.500000", param->AsString());
	param->SetValue(int64_t{-3});
	EXPECT_EQ(-3, param->AsInteger());

	param->SetValue("4", true);
	EXPECT_FALSE(param->Modified()) << "saving marks the value as stored";
	EXPECT_EQ(std::vector<std::string>{"(unimplemented) Requested store for parameter\nN = '4' with\ncaption = ''\n"
	                                   "description = ''"},
	          LinesAt(logs::Debug));

	param->SetReadOnly(true);
	try
	{
		param->Save(LOG_CHANGE, false);
		ADD_FAILURE() << "no exception";
	}
	catch (const char* text)
	{
		EXPECT_STREQ("Parameter is read only!", text);
	}
}

TEST_F(TParamManTest, FallbacksAndAddresses)
{
	Man.SetClientID("grp_7");
	EXPECT_EQ("grp", Man.GetGroupDomain("abc"));
	EXPECT_EQ("abc", Man.GetGroupDomain("abc_1"));
	struct AddressCase
	{
		ParameterDomain Domain;
		const char* Expected;
	};
	const AddressCase addresses[] = {{PARAM_CACHE, "grp_7"},   {PARAM_MINE, "grp_7"}, {PARAM_OTHER, "grp_7"},
	                                 {PARAM_GLOBAL, "GLOBAL"}, {PARAM_GROUP, "grp"},  {ParameterDomain(3), ""}};
	for (const AddressCase& c : addresses)
	{
		SCOPED_TRACE(c.Domain);
		EXPECT_EQ(c.Expected, Man.AddressOf(c.Domain, "grp_7"));
	}

	Man.SetParam("F", "global", PARAM_GLOBAL);
	Man.SetParam("F", "group", PARAM_GROUP);
	EXPECT_EQ("group", Man.GetParam("F", PARAM_CACHE | PARAM_GLOBAL | PARAM_GROUP)->AsString())
	    << "the more specific address wins";
	EXPECT_EQ("global", Man.GetParam("F", PARAM_CACHE | PARAM_GLOBAL)->AsString());
	EXPECT_EQ(2u, Man.CacheSize());

	// Asking for mine when only the group has it creates a bound parameter at mine.
	const auto mine = Man.GetParam("F", 15);
	EXPECT_EQ("grp_7", mine->GetRawDomain());
	EXPECT_EQ("group", mine->AsString());
	EXPECT_EQ(3u, Man.CacheSize());
	EXPECT_EQ(mine, Man.GetParam("F", 15));
	EXPECT_EQ("grp", mine->GetSourceRawDomain());
	EXPECT_EQ(PARAM_GROUP, mine->GetSourceDomain("grp_7"));

	const auto group = Man.GetParamFromCache("F", PARAM_GROUP, false);
	group->SetValue("changed");
	EXPECT_EQ("changed", mine->AsString()) << "the bound parameter shares the group's data";
	mine->Unbind();
	EXPECT_TRUE(mine->IsNull());
	EXPECT_EQ("changed", group->AsString());

	// Stores go to the back-end queue unless cache-only.
	logs::Logger::SetCachedHistorySize(0);
	logs::Logger::SetCachedHistorySize(100);
	Man.SaveParams();
	EXPECT_EQ(std::vector<std::string>{"(unimplemented) Requested store of param list (2). Will do nothing!"},
	          LinesAt(logs::Debug));
}

TEST_F(TParamManTest, BackEndChain)
{
	GlobalBackEnd man;
	man.SetClientID("grp_1");
	const auto param = man.GetParam("Shared", 15);
	ASSERT_FALSE(param->IsNull());
	EXPECT_EQ("grp_1", param->GetRawDomain());
	EXPECT_EQ("from-store", param->AsString());
	EXPECT_EQ("GLOBAL", param->GetSourceRawDomain());
	EXPECT_EQ(3u, man.CacheSize()) << "global, group and mine";
	EXPECT_EQ(std::vector<std::string>{"grp_1/Shared"}, man.Requests);
	EXPECT_EQ(0, man.Stores);
	EXPECT_EQ(param, man.GetParam("Shared", 15));
}

TEST_F(TParamManTest, DropAndListing)
{
	const auto param = Man.SetParam("Long", std::string(45, 'x'), PARAM_CACHE, "cap", "desc");
	EXPECT_EQ(0, Man.DropParamFromCache(param));
	EXPECT_EQ(-2, Man.DropParamFromCache(param));
	EXPECT_EQ(-1, Man.DropParamFromCache(TParamMan::pVoidParam()));
	EXPECT_EQ(-1, Man.DropParamFromCache(std::shared_ptr<TAppParam>()));
	EXPECT_EQ(-1, Man.DropParamFromCache("", 15));
	EXPECT_EQ(0u, Man.CacheSize());
	EXPECT_EQ(std::string(45, 'x'), param->AsString()) << "a dropped parameter keeps its value";

	Man.AddParamToCache2(param);
	EXPECT_FALSE(Man.AddParamToCache2(std::make_shared<TAppParam>("Long", "", &Man)));
	EXPECT_EQ(std::vector<std::string>{"Parameter \"Long\" of ID  already exists in this application"},
	          LinesAt(logs::Warning));

	logs::Logger::SetCachedHistorySize(0);
	logs::Logger::SetCachedHistorySize(100);
	Man.PrintParamList();
	const auto lines = LinesAt(logs::Normal);
	ASSERT_EQ(6u, lines.size());
	char expected[512];
	std::snprintf(expected, sizeof(expected), "%-4d: %-40s | %-15s | %-6ld | %-42s | %-40s | %s", 0, "Long", "", 0L,
	              ("\"" + std::string(37, 'x') + "...\"").c_str(), "cap", "desc");
	EXPECT_EQ(expected, lines[2]);
	EXPECT_EQ(" #  : Name                                     | Domain          | Restr. | Value                    "
	          "                  | Caption                                  | Description",
	          lines[0]);
	EXPECT_EQ(std::string(150, '='), lines[1]);
	EXPECT_EQ(0u, lines[4].find("# od data instances: "));
}

TEST_F(TParamManTest, Restrictions)
{
	EXPECT_EQ(1025, Man.GetRestrictionState());
	std::vector<long> heard;
	const auto handle = Man.AddRestrictionListener([&](long state) { heard.push_back(state); }, true);
	Man.SetRestriction(EParameterRestrictions::Hidden, false);
	Man.SetRestriction(EParameterRestrictions::Hidden, false);
	Man.SetRestriction(EParameterRestrictions::LogicDoor, true);
	EXPECT_EQ((std::vector<long>{1025, 1, 5}), heard);
}

TEST_F(TParamManTest, ConcurrentGetSetListenDrop)
{
	constexpr int Threads = 4;
	constexpr int Iterations = 300;
	std::atomic<int> notifications{0};
	std::vector<std::thread> workers;
	for (int t = 0; t < Threads; ++t)
	{
		workers.emplace_back(
		    [&, t]
		    {
			    for (int i = 0; i < Iterations; ++i)
			    {
				    const std::string name = "Hot" + std::to_string(i % 3);
				    switch ((i + t) % 5)
				    {
					    case 0:
						    Man.SetParam(name, std::to_string(i));
						    break;
					    case 1:
						    (void)Man.GetParam(name, 15)->AsInteger();
						    break;
					    case 2:
					    {
						    const auto p = Man.GetOrSetParam(name, "0");
						    const unsigned id = p->AddListener([&](TAppParam*, int) { ++notifications; });
						    p->SetValue(std::to_string(t));
						    p->RemoveListener(id);
						    break;
					    }
					    case 3:
						    Man.DropParamFromCache(name, PARAM_MINE);
						    break;
					    default:
						    Man.SaveParams();
						    (void)Man.GetParamFromCache(name, PARAM_MINE, true)->Value();
				    }
			    }
		    });
	}
	for (auto& worker : workers)
		worker.join();
	EXPECT_GT(notifications.load(), 0);
	EXPECT_LE(Man.CacheSize(), 3u);
}
