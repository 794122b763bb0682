// Arbitrary bytes as a configuration file: loaded, validated and completed by a store whose schema
// is shaped like a server's. Only ConfigError and SchemaError may escape loading. A document that
// loads must save, load again to the same values and save to the same text.

#include "common/TConfiguration.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace
{
void Check(bool bCondition)
{
	if (!bCondition)
		std::abort();
}

const JsonSchema& ConfigSchema()
{
	static const JsonSchema schema = []
	{
		JsonSchema peer({{"port", JsonSchema(Json::uintValue, "Peer port")
		                              .AddConstraint(ValueLimit(ELimitType::MoreThanOrEqual, 1))
		                              .AddConstraint(ValueLimit(ELimitType::LessThan, 65536))},
		                 {"host", JsonSchema(Json::stringValue, "Peer host", "localhost", false)},
		                 {"weight", JsonSchema(Json::realValue, "Share", 1.0, false).SetInterval(0.25)}});
		JsonSchema peers(Json::objectValue, "Peers by name", Json::Value(), false);
		peers.SetChildSchema(peer, 0, 8);
		peers.AddMember("default", JsonSchema(Json::stringValue, "Peer used first", "", false));
		JsonSchema origins(Json::arrayValue, "Allowed origins", Json::Value(), false);
		origins.SetChildSchema(JsonSchema(Json::stringValue, "Origin"));
		JsonSchema pair(Json::arrayValue, "Pair", Json::Value(), false);
		pair.AddMember("[0]", JsonSchema(Json::intValue, "First", 0, false))
		    .AddMember("[1]", JsonSchema(Json::stringValue, "Second\nline", "", false));
		JsonSchema coarse(Json::intValue, "Coarse", Json::Value(), false);
		coarse.SetInterval(1000);
		JsonSchema exported(Json::uintValue, "Exported", 3, false);
		!exported;

		JsonSchema root({{"port-wss", JsonSchema(Json::uintValue, "The port to run the server on")},
		                 {"threads", JsonSchema(Json::uintValue, "Number of HTTP listener threads to start", 1, false)
		                                 .AddConstraint(ValueLimit(ELimitType::MoreThanOrEqual, 1))},
		                 {"http-timeout", JsonSchema(Json::uintValue, "Milliseconds", 5000, false).SetInterval(10)},
		                 {"tls.certificate", JsonSchema(Json::stringValue, "Certificate chain", "cert.pem", false)},
		                 {"tls.enabled", JsonSchema(Json::booleanValue, "TLS on", true, false)},
		                 {"cors", JsonSchema(Json::nullValue, "Anything", Json::Value(), false)},
		                 {"ratio", JsonSchema(Json::realValue, "Ratio", Json::Value(), false)},
		                 {"coarse", coarse},
		                 {"exported", exported},
		                 {"peers", peers},
		                 {"origins", origins},
		                 {"pair", pair}});
		return root;
	}();
	return schema;
}

class FuzzedServer : public TConfiguration
{
public:
	FuzzedServer() { Schema() += ConfigSchema(); }
	void OnConfigLoaded(const std::filesystem::path& filename) override
	{
		TConfiguration::OnConfigLoaded(filename);
		Check(GetConfig("port-wss").isUInt64());
		Check(GetConfig("threads").asUInt64() >= 1);
		GetConfigOptional("peers.default", "");
	}
};

// One scratch folder per process, removed when it ends.
struct Scratch
{
	Scratch()
	{
		std::string pattern = (std::filesystem::temp_directory_path() / "TConfigurationFuzz.XXXXXX").string();
		Check(::mkdtemp(pattern.data()) != nullptr);
		Folder = pattern;
	}
	~Scratch()
	{
		std::error_code ec;
		std::filesystem::remove_all(Folder, ec);
	}
	std::filesystem::path Folder;
};

void WriteFile(const std::filesystem::path& path, const char* data, size_t size)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out.write(data, static_cast<std::streamsize>(size));
	out.close();
	Check(static_cast<bool>(out));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	static const Scratch scratch;
	const std::filesystem::path input = scratch.Folder / "input.conf";
	const std::filesystem::path saved = scratch.Folder / "saved.conf";
	WriteFile(input, reinterpret_cast<const char*>(data), size);

	FuzzedServer server;
	try
	{
		server.LoadConfiguration(input);
	}
	catch (const ConfigError& e)
	{
		Check(e.Context().isNull());
		return 0;
	}
	catch (const SchemaError& e)
	{
		Check(e.ErrorCode() == VALUE_NOT_VALID);
		return 0;
	}

	server.Save(saved);
	FuzzedServer again;
	again.LoadConfiguration(saved);
	Check(again.RootConfigNode() == server.RootConfigNode());
	Check(again.SaveToString() == server.SaveToString());

	// The other generation scopes of the same document.
	server.GetSchema().GenerateConfig(server.RootConfigNode(), ESchemaScopeType::Uncommented);
	server.GetSchema().GenerateConfig(server.RootConfigNode(), ESchemaScopeType::Exported);
	again.SetConfig("peers.added.port", 1);
	again.RemoveConfig("origins");
	return 0;
}
