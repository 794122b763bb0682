#include "common/TConfiguration.h"
#include "JsonTestUtils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace
{
// Declared the way components declare their keys.
const JsonSchema& ServerSchema()
{
	static const JsonSchema schema(
	    {{"port-wss", JsonSchema(Json::uintValue, "The port to run the server on")},
	     {"threads", JsonSchema(Json::uintValue, "Number of HTTP listener threads to start", 1, false)
	                     .AddConstraint(ValueLimit(ELimitType::MoreThanOrEqual, 1))}});
	return schema;
}

const JsonSchema& HubSchema()
{
	static const JsonSchema schema(
	    {{"http-timeout", JsonSchema(Json::uintValue, "Milliseconds before a forwarded request fails", 5000, false)},
	     {"tls.certificate", JsonSchema(Json::stringValue, "Certificate chain", "cert.pem", false)},
	     {"big", JsonSchema(Json::intValue, "A wide setting", Json::Value(), false)},
	     {"note", JsonSchema(Json::stringValue, "Free text\nover two lines", Json::Value(), false)}});
	return schema;
}

class TestServer : public TConfiguration
{
public:
	TestServer() { Schema() += ServerSchema(); }
	void OnConfigLoaded(const fs::path& filename) override
	{
		TConfiguration::OnConfigLoaded(filename);
		Loaded.push_back(filename);
		mPort = GetConfig("port-wss").asUInt();
	}
	void OnConfigChanged(const JsonPath& nodePath, const Json::Value& value) override
	{
		Changes.emplace_back(nodePath.ToString(), OneLine(value));
	}

	std::vector<fs::path> Loaded;
	std::vector<std::pair<std::string, std::string>> Changes;
	unsigned int mPort = 0;
};

class TestHub : public TestServer
{
public:
	TestHub() { Schema() += HubSchema(); }
};

class TConfigurationTest : public ::testing::Test
{
protected:
	void SetUp() override
	{
		std::string pattern = (fs::temp_directory_path() / "TConfigurationTest.XXXXXX").string();
		ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
		mDir = pattern;
	}
	void TearDown() override
	{
		std::error_code ec;
		fs::permissions(mDir, fs::perms::owner_all, fs::perm_options::add, ec);
		fs::remove_all(mDir, ec);
	}

	fs::path Write(const std::string& name, const std::string& content)
	{
		const fs::path path = mDir / name;
		std::ofstream(path, std::ios::binary) << content;
		return path;
	}
	static std::string Read(const fs::path& path)
	{
		std::ifstream in(path, std::ios::binary);
		return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
	}
	std::vector<std::string> Files() const
	{
		std::vector<std::string> names;
		for (const fs::directory_entry& entry : fs::directory_iterator(mDir))
			names.push_back(entry.path().filename().string());
		std::sort(names.begin(), names.end());
		return names;
	}
	static std::string ConfigErrorOf(const std::function<void()>& action)
	{
		try
		{
			action();
		}
		catch (const ConfigError& e)
		{
			return e.what();
		}
		return "";
	}

	fs::path mDir;
};
} // namespace

TEST_F(TConfigurationTest, SchemasOfTheChainAreMerged)
{
	const TestHub hub;
	EXPECT_EQ(hub.GetSchema().GetMemberNames(true).size(), 6u);
	EXPECT_TRUE(hub.GetSchema().Required());
	EXPECT_TRUE(TConfiguration().RootConfigNode().isNull());
	EXPECT_EQ(TConfiguration().GetSchema().GetType(), Json::nullValue);

	struct Clashing : TestServer
	{
		Clashing() { Schema() += JsonSchema({{"threads", JsonSchema(Json::intValue, "Again")}}); }
	};
	EXPECT_EQ(SchemaErrorOf([] { Clashing(); }),
	          "BAD_SCHEMA: Member 'threads' already exist and cannot be overwritten!");
}

TEST_F(TConfigurationTest, LoadingErrorTexts)
{
	TestServer server;
	const fs::path missing = mDir / "missing.conf";
	EXPECT_EQ(ConfigErrorOf([&] { server.LoadConfiguration(missing); }),
	          "Configuration file \"" + missing.string() + "\" doesn't exist!");

	// A folder exists but cannot be read as a file (permission bits do not stop root).
	const fs::path folder = mDir / "folder.conf";
	fs::create_directory(folder);
	EXPECT_EQ(ConfigErrorOf([&] { server.LoadConfiguration(folder); }),
	          "Can't open file \"" + folder.string() + "\", but it does exist (permissions maybe?)");
	if (::geteuid() != 0)
	{
		const fs::path locked = Write("locked.conf", "{}");
		fs::permissions(locked, fs::perms::none);
		EXPECT_EQ(ConfigErrorOf([&] { server.LoadConfiguration(locked); }),
		          "Can't open file \"" + locked.string() + "\", but it does exist (permissions maybe?)");
	}

	const fs::path broken = Write("broken.conf", "{\"port-wss\": }");
	EXPECT_EQ(ConfigErrorOf([&] { server.LoadConfiguration(broken); }),
	          "* Line 1, Column 14\n  Syntax error: value, object or array expected.\n");
	const fs::path empty = Write("empty.conf", "");
	EXPECT_EQ(ConfigErrorOf([&] { server.LoadConfiguration(empty); }),
	          "* Line 1, Column 1\n  Syntax error: value, object or array expected.\n");
	// Deeper than the reader allows: an error, not an escaping library exception.
	const fs::path deep = Write("deep.conf", std::string(5000, '['));
	EXPECT_EQ(ConfigErrorOf([&] { server.LoadConfiguration(deep); }), "Exceeded stackLimit in readValue().");
	EXPECT_TRUE(server.Loaded.empty());
	EXPECT_TRUE(server.SettingsPath().empty());
}

TEST_F(TConfigurationTest, MissingRequiredKeyKeepsTheRawDocument)
{
	TestServer server;
	const fs::path file = Write("server.conf", "// no port\n{\"threads\": 2, \"x\": [1]}");
	EXPECT_EQ(SchemaErrorOf([&] { server.LoadConfiguration(file); }),
	          "VALUE_NOT_VALID: Missing required member 'port-wss' of type 'uint'");
	EXPECT_TRUE(server.Loaded.empty());
	EXPECT_EQ(OneLine(server.RootConfigNode()), R"({"threads":2,"x":[1]})");
	EXPECT_EQ(server.SettingsPath(), file);
}

TEST_F(TConfigurationTest, DefaultsAreFilledInAndVisible)
{
	TestHub hub;
	const fs::path file = Write("hub.conf", "{\n\t// the port\n\t\"port-wss\": 8443 /* inline */, \"extra\": true\n}");
	hub.LoadConfiguration(file);
	ASSERT_EQ(hub.Loaded.size(), 1u);
	EXPECT_EQ(hub.Loaded[0], file);
	EXPECT_EQ(hub.mPort, 8443u);
	EXPECT_EQ(hub.SettingsPath(), file);
	EXPECT_EQ(hub.GetConfig("threads").asUInt(), 1u);
	EXPECT_EQ(hub.GetConfig("tls.certificate").asString(), "cert.pem");
	EXPECT_EQ(OneLine(hub.RootConfigNode()),
	          R"({"big":null,"extra":true,"http-timeout":5000,"note":null,"port-wss":8443,)"
	          R"("threads":1,"tls":{"certificate":"cert.pem"}})");
	EXPECT_TRUE(hub.ConfigExists("threads"));
	EXPECT_TRUE(hub.ConfigExists("tls.certificate"));
	EXPECT_FALSE(hub.ConfigExists("tls.key"));
}

TEST_F(TConfigurationTest, SavedFileLoadsAgainWithTheSameValues)
{
	TestHub hub;
	const fs::path file =
	    Write("hub.conf", R"({"port-wss": 8443, "big": -9007199254740993, "threads": 18446744073709551613,
	                          "http-timeout": 18446744073709551615,
	                          "extra": {"raw": "\u00e9 \u0000", "n": 1.5, "u": 18446744073709551614}})");
	hub.LoadConfiguration(file);
	const fs::path saved = mDir / "saved.conf";
	hub.Save(saved);
	EXPECT_EQ(Read(saved),
	          "{\n"
	          "\t\"big\" : -9007199254740993, // <int> [optional] A wide setting\n"
	          "\t\"extra\" : \n"
	          "\t{\n"
	          "\t\t\"n\" : 1.5,\n"
	          "\t\t\"raw\" : \"\xc3\xa9 \\u0000\",\n"
	          "\t\t\"u\" : 18446744073709551614\n"
	          "\t},\n"
	          "\t\"http-timeout\" : 18446744073709551615, // <uint> [optional] Milliseconds before a forwarded request "
	          "fails\n"
	          "\t\"note\" : null, // <string> [optional] Free text over two lines\n"
	          "\t\"port-wss\" : 8443, // <uint> [REQUIRED] The port to run the server on\n"
	          "\t\"threads\" : 18446744073709551613, // <uint> [optional] Number of HTTP listener threads to start "
	          "[>=1]\n"
	          "\t// <object> [optional] \n"
	          "\t\"tls\" : \n"
	          "\t{\n"
	          "\t\t\"certificate\" : \"cert.pem\" // <string> [optional] Certificate chain\n"
	          "\t}\n"
	          "} // <object> [REQUIRED] ");

	TestHub again;
	again.LoadConfiguration(saved);
	EXPECT_EQ(again.RootConfigNode(), hub.RootConfigNode());
	EXPECT_EQ(again.GetConfig("big").asInt64(), -9007199254740993);
	EXPECT_EQ(again.GetConfig("threads").asUInt64(), 18446744073709551613u) << "above 2^63 and limited by >=1";
	EXPECT_EQ(again.GetConfig("http-timeout").asUInt64(), 18446744073709551615u);
	again.Save(mDir / "again.conf");
	EXPECT_EQ(Read(mDir / "again.conf"), Read(saved));
}

TEST_F(TConfigurationTest, StringBytesSurviveSaving)
{
	TConfiguration config;
	config.SetConfig("bytes", std::string("\xff\xfe invalid \xc3 utf-8 \x01", 20));
	config.SetConfig("key\nwith break", 1);
	config.Save(mDir / "bytes.conf");
	TConfiguration again;
	again.LoadConfiguration(mDir / "bytes.conf");
	EXPECT_EQ(again.RootConfigNode(), config.RootConfigNode());
}

TEST_F(TConfigurationTest, SaveReplacesTheFileWhole)
{
	TestServer server;
	server.LoadSubconfiguration(Parse(R"({"port-wss": 1})"), "");
	const fs::path file = Write("server.conf", std::string(100000, ' ') + "{}");
	fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
	server.Save(file);
	EXPECT_EQ(Read(file), server.SaveToString());
	// The old file's permissions stay; no temporary file is left behind.
	EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
	EXPECT_EQ(Files(), std::vector<std::string>{"server.conf"});

	// Through a link, the file it points to is replaced and the link stays.
	fs::create_symlink("server.conf", mDir / "link.conf");
	server.SetConfig("threads", 3);
	server.Save(mDir / "link.conf");
	EXPECT_TRUE(fs::is_symlink(mDir / "link.conf"));
	EXPECT_EQ(Read(file), server.SaveToString());
}

TEST_F(TConfigurationTest, SaveFailuresAreReportedAndKeepTheOldFile)
{
	TestServer server;
	server.LoadSubconfiguration(Parse(R"({"port-wss": 1})"), "");

	const fs::path noFolder = mDir / "missing" / "server.conf";
	EXPECT_EQ(ConfigErrorOf([&] { server.Save(noFolder); }),
	          "Can't save configuration file \"" + noFolder.string() + "\": No such file or directory");
	EXPECT_FALSE(fs::exists(noFolder.parent_path()));

	// The file beside it cannot be created: its name is too long, the target's is not.
	const fs::path longName = Write(std::string(250, 'n'), "old");
	EXPECT_EQ(ConfigErrorOf([&] { server.Save(longName); }),
	          "Can't save configuration file \"" + longName.string() + "\": File name too long");
	EXPECT_EQ(Read(longName), "old");

	// The new file is written but cannot replace a folder.
	const fs::path folder = mDir / "folder.conf";
	fs::create_directories(folder / "inside");
	EXPECT_EQ(ConfigErrorOf([&] { server.Save(folder); }),
	          "Can't save configuration file \"" + folder.string() + "\": Is a directory");
	EXPECT_TRUE(fs::is_directory(folder / "inside"));
	EXPECT_EQ(Files(), (std::vector<std::string>{"folder.conf", std::string(250, 'n')}));

	if (::geteuid() != 0)
	{
		const fs::path locked = mDir / "locked";
		fs::create_directory(locked);
		const fs::path old = locked / "server.conf";
		std::ofstream(old) << "old";
		fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
		EXPECT_EQ(ConfigErrorOf([&] { server.Save(old); }),
		          "Can't save configuration file \"" + old.string() + "\": Permission denied");
		EXPECT_EQ(Read(old), "old");
	}
}

TEST_F(TConfigurationTest, GetConfig)
{
	TestHub hub;
	hub.LoadSubconfigurationUnchecked(Parse(R"({"port-wss": 5, "other": {"x": 1}})"), "unchecked.conf");
	EXPECT_TRUE(hub.Loaded.empty());
	EXPECT_EQ(hub.SettingsPath(), fs::path("unchecked.conf"));
	EXPECT_EQ(OneLine(hub.GetConfig("port-wss")), "5");
	EXPECT_EQ(OneLine(hub.GetConfig("other.x")), "1");
	EXPECT_EQ(OneLine(hub.GetConfig("threads")), "1");
	EXPECT_EQ(OneLine(hub.GetConfig("big")), "null");
	EXPECT_EQ(ConfigErrorOf([&] { hub.GetConfig("nope"); }), "Member 'nope' doesn't exist!");
	EXPECT_EQ(ConfigErrorOf([&] { hub.GetConfig("tls.key.file"); }), "Member 'key.file' doesn't exist!");
	try
	{
		hub.GetConfig("nope");
	}
	catch (const ConfigError& e)
	{
		EXPECT_TRUE(e.Context().isNull());
	}

	EXPECT_EQ(OneLine(hub.GetConfigOptional("port-wss", 9)), "5");
	EXPECT_EQ(OneLine(hub.GetConfigOptional("threads", 9)), "1");
	EXPECT_EQ(OneLine(hub.GetConfigOptional("big", 9)), "9");
	EXPECT_EQ(OneLine(hub.GetConfigOptional("nope.deeper", "d")), "\"d\"");
}

TEST_F(TConfigurationTest, SetAndRemoveConfig)
{
	TestServer server;
	server.SetConfig("a.b", 1);
	EXPECT_EQ(OneLine(server.RootConfigNode()), R"({"a":{"b":1}})");
	server.SetConfig("list.[1]", "x");
	EXPECT_EQ(OneLine(server.RootConfigNode()), R"({"a":{"b":1},"list":[null,"x"]})");
	server.RemoveConfig("a.b");
	server.RemoveConfig("a.b");
	server.RemoveConfig("gone.child");
	EXPECT_EQ(OneLine(server.RootConfigNode()), R"({"a":{},"list":[null,"x"]})");
	EXPECT_EQ(server.Changes, (std::vector<std::pair<std::string, std::string>>{
	                              {"a.b", "1"}, {"list.[1]", "\"x\""}, {"a.b", "null"}, {"gone.child", "null"}}));

	// A path that cannot be made leaves the settings as they were.
	const std::string before = OneLine(server.RootConfigNode());
	try
	{
		server.SetConfig("fresh.[100000000]", 7);
		ADD_FAILURE() << "no error";
	}
	catch (const ConfigError& e)
	{
		EXPECT_EQ(OneLine(e.Context()), "7");
	}
	EXPECT_EQ(OneLine(server.RootConfigNode()), before);

	server.LoadSubconfigurationUnchecked(Parse("[1]"), "");
	server.Changes.clear();
	try
	{
		server.SetConfig("a", Parse(R"({"v": 2})"));
		ADD_FAILURE() << "no error";
	}
	catch (const ConfigError& e)
	{
		EXPECT_STREQ(e.what(), "Could not set config because settings aren't a valid object!");
		EXPECT_EQ(OneLine(e.Context()), R"({"v":2})");
	}
	try
	{
		server.RemoveConfig("a");
		ADD_FAILURE() << "no error";
	}
	catch (const ConfigError& e)
	{
		EXPECT_STREQ(e.what(), "Could not remove config because settings aren't a valid object!");
		EXPECT_TRUE(e.Context().isNull());
	}
	server.Clear();
	EXPECT_EQ(ConfigErrorOf([&] { server.RemoveConfig("a"); }),
	          "Could not remove config because settings aren't a valid object!");
	EXPECT_TRUE(server.Changes.empty());
}

TEST_F(TConfigurationTest, ResetToDefault)
{
	TestServer server;
	server.SetSettingsPath("old.conf");
	server.ResetToDefault();
	// The required port has no default: the blank document stays and nothing is notified.
	EXPECT_EQ(OneLine(server.RootConfigNode()), R"({"port-wss":null,"threads":1})");
	EXPECT_TRUE(server.SettingsPath().empty());
	EXPECT_TRUE(server.Loaded.empty());

	TConfiguration complete(JsonSchema({{"threads", JsonSchema(Json::uintValue, "Threads", 2, false)}}));
	complete.ResetToDefault();
	EXPECT_EQ(OneLine(complete.RootConfigNode()), R"({"threads":2})");
	EXPECT_EQ(complete.RootConfigNode()["threads"].getComment(Json::commentAfterOnSameLine),
	          "// <uint> [optional] Threads");

	TConfiguration copy(complete);
	complete.Clear();
	EXPECT_TRUE(complete.RootConfigNode().isNull());
	EXPECT_EQ(OneLine(copy.RootConfigNode()), R"({"threads":2})");
	EXPECT_EQ(copy.GetSchema(), complete.GetSchema());
}

TEST_F(TConfigurationTest, OnConfigLoadedErrorsPropagate)
{
	struct Strict : TestServer
	{
		void OnConfigLoaded(const fs::path& filename) override
		{
			TestServer::OnConfigLoaded(filename);
			if (mPort == 0)
				throw ConfigError("Port 0 is not a port", GetConfig("port-wss"));
		}
	};
	Strict strict;
	EXPECT_EQ(ConfigErrorOf([&] { strict.LoadConfiguration(Write("zero.conf", R"({"port-wss": 0})")); }),
	          "Port 0 is not a port");
}

TEST_F(TConfigurationTest, ConcurrentReadersOfALoadedStore)
{
	TestHub hub;
	hub.LoadConfiguration(Write("hub.conf", R"({"port-wss": 1})"));
	std::vector<std::thread> readers;
	for (int t = 0; t < 4; ++t)
	{
		readers.emplace_back(
		    [&hub]
		    {
			    for (int i = 0; i < 200; ++i)
			    {
				    EXPECT_EQ(hub.GetConfig("threads").asUInt(), 1u);
				    EXPECT_EQ(hub.GetConfigOptional("missing", 3).asInt(), 3);
				    EXPECT_FALSE(hub.SaveToString().empty());
			    }
		    });
	}
	for (std::thread& reader : readers)
		reader.join();
}
