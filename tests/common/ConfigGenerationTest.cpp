#include "JsonTestUtils.h"
#include "common/JsonSchema.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
// The document as the configuration store writes it, comments included.
std::string Written(const Json::Value& value, bool bComments = true)
{
	Json::StreamWriterBuilder builder;
	builder["indentation"] = "\t";
	builder["commentStyle"] = bComments ? "All" : "None";
	return Json::writeString(builder, value);
}

JsonSchema ServerSchema()
{
	return JsonSchema({{"port-wss", JsonSchema(Json::uintValue, "The port to run the server on")},
	                   {"threads", JsonSchema(Json::uintValue, "Number of HTTP listener threads to start", 1, false)
	                                   .AddConstraint(ValueLimit(ELimitType::MoreThanOrEqual, 1))},
	                   {"tls.dh", JsonSchema(Json::stringValue, "DH parameters", "dh.pem", false)},
	                   {"tls.certificate", JsonSchema(Json::stringValue, "Certificate chain")}});
}
} // namespace

TEST(ConfigGenerationTest, CommentsStateKindRequirementDescriptionAndLimits)
{
	const JsonSchema schema = ServerSchema();
	EXPECT_EQ(schema.GetMember("port-wss").GeneratedComment(), "// <uint> [REQUIRED] The port to run the server on");
	EXPECT_EQ(schema.GetMember("threads").GeneratedComment(),
	          "// <uint> [optional] Number of HTTP listener threads to start [>=1]");
	EXPECT_EQ(schema.GeneratedComment(), "// <object> [REQUIRED] ");

	const Json::Value doc = schema.GenerateConfig(Parse(R"({"port-wss": 8080, "tls": {"certificate": "c.pem"}})"),
	                                              ESchemaScopeType::Default);
	EXPECT_EQ(doc.getComment(Json::commentAfterOnSameLine), "// <object> [REQUIRED] ");
	EXPECT_EQ(doc["port-wss"].getComment(Json::commentAfterOnSameLine),
	          "// <uint> [REQUIRED] The port to run the server on");
	EXPECT_FALSE(doc["port-wss"].hasComment(Json::commentBefore));
	// Object members get theirs on the line before.
	// Made for the first of its members, which is required.
	EXPECT_EQ(doc["tls"].getComment(Json::commentBefore), "// <object> [REQUIRED] ");
	EXPECT_FALSE(doc["tls"].hasComment(Json::commentAfterOnSameLine));
	EXPECT_EQ(Written(doc), "{\n"
	                        "\t\"port-wss\" : 8080, // <uint> [REQUIRED] The port to run the server on\n"
	                        "\t\"threads\" : 1, // <uint> [optional] Number of HTTP listener threads to start [>=1]\n"
	                        "\t// <object> [REQUIRED] \n"
	                        "\t\"tls\" : \n"
	                        "\t{\n"
	                        "\t\t\"certificate\" : \"c.pem\", // <string> [REQUIRED] Certificate chain\n"
	                        "\t\t\"dh\" : \"dh.pem\" // <string> [optional] DH parameters\n"
	                        "\t}\n"
	                        "} // <object> [REQUIRED] ");
}

TEST(ConfigGenerationTest, LineBreaksInDescriptionsStayOnTheCommentLine)
{
	const JsonSchema schema({{"a", JsonSchema(Json::stringValue, "first\nsecond\r\nthird\rfourth", "x", false)}});
	const Json::Value doc = schema.GenerateBlankConfig(ESchemaScopeType::Default);
	EXPECT_EQ(doc["a"].getComment(Json::commentAfterOnSameLine), "// <string> [optional] first second  third fourth");
}

TEST(ConfigGenerationTest, BlankDocumentLeavesRequiredSettingsWithoutDefaultNull)
{
	const JsonSchema schema({{"port", JsonSchema(Json::uintValue, "Port")},
	                         {"threads", JsonSchema(Json::uintValue, "Threads", 1, false)},
	                         {"name", JsonSchema(Json::stringValue, "Name", Json::Value(), false)}});
	const Json::Value blank = schema.GenerateBlankConfig(ESchemaScopeType::Default);
	EXPECT_EQ(OneLine(blank), R"({"name":null,"port":null,"threads":1})");
	EXPECT_TRUE(blank["port"].isNull());
	EXPECT_EQ(SchemaErrorOf([&] { schema.TestThrow(blank); }),
	          "VALUE_NOT_VALID: Value of member 'port' is null, but the schema demands 'uint'");
}

TEST(ConfigGenerationTest, MissingValuesWithDefaults)
{
	JsonSchema required(Json::uintValue, "Required with a default", 7, true);
	JsonSchema containerDefault(Json::arrayValue, "List", Parse("[1, 2]"), false);
	JsonSchema requiredContainer(Json::objectValue, "Map", Json::Value(), true);
	requiredContainer.bExplicitContainerDefault = true;
	const JsonSchema schema({{"req", required},
	                         {"list", containerDefault},
	                         {"map", requiredContainer},
	                         {"any", JsonSchema(Json::nullValue, "Anything", Json::Value(), true)}});
	const Json::Value blank = schema.GenerateBlankConfig(ESchemaScopeType::Uncommented);
	// A required setting takes the empty value of its kind, an optional one its default.
	EXPECT_EQ(OneLine(blank), R"({"any":null,"list":[1,2],"map":{},"req":0})");
}

TEST(ConfigGenerationTest, UndeclaredMembersAreCarriedWithoutComment)
{
	const Json::Value doc = ServerSchema().GenerateConfig(
	    Parse(R"({"port-wss": 1, "tls": {"certificate": "c", "extra": [1, {"x": null}]}, "other": "kept"})"),
	    ESchemaScopeType::Default);
	EXPECT_EQ(OneLine(doc["other"]), R"("kept")");
	EXPECT_FALSE(doc["other"].hasComment(Json::commentAfterOnSameLine));
	EXPECT_FALSE(doc["other"].hasComment(Json::commentBefore));
	EXPECT_EQ(OneLine(doc["tls"]["extra"]), R"([1,{"x":null}])");
}

TEST(ConfigGenerationTest, NumbersAreNormalisedToKindAndStep)
{
	JsonSchema coarse(Json::intValue, "Coarse", Json::Value(), false);
	coarse.SetInterval(1000);
	const JsonSchema schema({{"port", JsonSchema(Json::uintValue, "Port")},
	                         {"share", JsonSchema(Json::realValue, "Share", 0.5, false).SetInterval(0.25)},
	                         {"ratio", JsonSchema(Json::realValue, "Ratio", Json::Value(), false)},
	                         {"big", JsonSchema(Json::uintValue, "Big", Json::Value(), false)},
	                         {"signed", JsonSchema(Json::intValue, "Signed", Json::Value(), false)},
	                         {"coarse", coarse}});
	const Json::Value doc =
	    schema.GenerateConfig(Parse(R"({"port": 8080, "share": 1.1, "ratio": 3, "big": 18446744073709551615,
	              "signed": -9007199254740993, "coarse": 9007199254740993})"),
	                          ESchemaScopeType::Uncommented);
	EXPECT_EQ(doc["port"].type(), Json::uintValue);
	EXPECT_EQ(doc["port"].asUInt64(), 8080u);
	EXPECT_EQ(doc["share"].type(), Json::realValue);
	EXPECT_EQ(doc["share"].asDouble(), 1.0);
	EXPECT_EQ(doc["ratio"].type(), Json::realValue);
	// Integers beyond 2^53 keep every digit.
	EXPECT_EQ(doc["big"].asUInt64(), 18446744073709551615u);
	EXPECT_EQ(doc["signed"].type(), Json::intValue);
	EXPECT_EQ(doc["signed"].asInt64(), -9007199254740993);
	EXPECT_EQ(doc["coarse"].asInt64(), 9007199254741000);
}

TEST(ConfigGenerationTest, GenerateConfigValidatesFirst)
{
	EXPECT_EQ(
	    SchemaErrorOf([] { ServerSchema().GenerateConfig(Parse(R"({"port-wss": "x"})"), ESchemaScopeType::Default); }),
	    "VALUE_NOT_VALID: Value type 'string' of member 'port-wss' is not convertible to type 'uint'");
	EXPECT_EQ(
	    SchemaErrorOf([] { ServerSchema().GenerateConfig(Parse(R"({"port-wss": 1})"), ESchemaScopeType::Default); }),
	    "VALUE_NOT_VALID: Missing required member 'tls' of type 'object'");
	EXPECT_EQ(
	    SchemaErrorOf(
	        [] { ServerSchema().GenerateConfig(Parse(R"({"port-wss": 1, "tls": {}})"), ESchemaScopeType::Default); }),
	    "VALUE_NOT_VALID: Missing required member 'tls.certificate' of type 'string'");
}

TEST(ConfigGenerationTest, UncommentedIsDefaultWithoutComments)
{
	const Json::Value base = Parse(R"({"port-wss": 2, "tls": {"certificate": "c"}, "x": 1})");
	const Json::Value commented = ServerSchema().GenerateConfig(base, ESchemaScopeType::Default);
	const Json::Value plain = ServerSchema().GenerateConfig(base, ESchemaScopeType::Uncommented);
	EXPECT_EQ(Written(plain, true), Written(commented, false));
	EXPECT_NE(Written(commented, true), Written(commented, false));
}

TEST(ConfigGenerationTest, OwnScopeSwitchesTheSubtree)
{
	JsonSchema schema = ServerSchema();
	schema.Member("tls").Scope = ESchemaScopeType::Uncommented;
	const Json::Value doc = schema.GenerateBlankConfig(ESchemaScopeType::Default);
	EXPECT_TRUE(doc["port-wss"].hasComment(Json::commentAfterOnSameLine));
	EXPECT_FALSE(doc["tls"].hasComment(Json::commentBefore));
	EXPECT_FALSE(doc["tls"]["dh"].hasComment(Json::commentAfterOnSameLine));
	EXPECT_EQ(OneLine(doc["tls"]), R"({"certificate":null,"dh":"dh.pem"})");
}

TEST(ConfigGenerationTest, ExportedKeepsOnlyMarkedMembers)
{
	const Json::Value base = Parse(R"({"port-wss": 2, "tls": {"certificate": "c", "extra": 1}, "x": 1})");
	EXPECT_EQ(OneLine(ServerSchema().GenerateConfig(base, ESchemaScopeType::Exported)), "{}");

	JsonSchema schema = ServerSchema();
	!schema.Member("threads");
	!schema.Member("tls");
	!schema.Member("tls.dh");
	EXPECT_EQ(OneLine(schema.GenerateConfig(base, ESchemaScopeType::Exported)),
	          R"({"threads":1,"tls":{"dh":"dh.pem","extra":1}})");
	// A root marked Exported switches the Default scope to Exported: no comments, and the unmarked
	// tls is left out while the root's undeclared members are carried.
	JsonSchema root = ServerSchema();
	!root;
	!root.Member("threads");
	const Json::Value doc = root.GenerateConfig(base, ESchemaScopeType::Default);
	EXPECT_EQ(OneLine(doc), R"({"threads":1,"x":1})");
	EXPECT_FALSE(doc.hasComment(Json::commentAfterOnSameLine));
}

TEST(ConfigGenerationTest, ChildSchemaGeneratesEveryUndeclaredChild)
{
	JsonSchema peer({{"port", JsonSchema(Json::uintValue, "Peer port")},
	                 {"host", JsonSchema(Json::stringValue, "Peer host", "localhost", false)}});
	JsonSchema peers(Json::objectValue, "Peers", Json::Value(), false);
	peers.SetChildSchema(peer);
	peers.AddMember("main", JsonSchema(Json::stringValue, "Main peer", "none", false));
	const JsonSchema schema({{"peers", peers}});
	const Json::Value doc = schema.GenerateConfig(
	    Parse(R"({"peers": {"a": {"port": 1}, "b": {"port": 2, "host": "h", "x": true}, "main": "a"}})"),
	    ESchemaScopeType::Default);
	EXPECT_EQ(OneLine(doc),
	          R"({"peers":{"a":{"host":"localhost","port":1},"b":{"host":"h","port":2,"x":true},"main":"a"}})");
	EXPECT_EQ(doc["peers"]["a"].getComment(Json::commentBefore), "// <object> [REQUIRED] ");
	// A declared member stays with its own schema.
	EXPECT_EQ(doc["peers"]["main"].getComment(Json::commentAfterOnSameLine), "// <string> [optional] Main peer");
}

TEST(ConfigGenerationTest, ArraysWithDeclaredMembers)
{
	JsonSchema pair(Json::arrayValue, "Pair", Json::Value(), false);
	pair.AddMember("[0]", JsonSchema(Json::intValue, "First", 5, false));
	pair.AddMember("[1]", JsonSchema(Json::stringValue, "Second", "s", false));
	const JsonSchema schema({{"pair", pair}});
	EXPECT_EQ(OneLine(schema.GenerateBlankConfig(ESchemaScopeType::Uncommented)), R"({"pair":[5,"s"]})");
	EXPECT_EQ(OneLine(schema.GenerateConfig(Parse(R"({"pair": [1, "t", 3]})"), ESchemaScopeType::Uncommented)),
	          R"({"pair":[1,"t",3]})");
}

TEST(ConfigGenerationTest, SchemaWithoutTypeCopiesTheBase)
{
	const Json::Value base = Parse(R"({"a": [1, 2.5, "x"]})");
	EXPECT_EQ(OneLine(JsonSchema().GenerateConfig(base, ESchemaScopeType::Default)), OneLine(base));
	EXPECT_EQ(JsonSchema().GenerateConfig(base, ESchemaScopeType::Default).getComment(Json::commentAfterOnSameLine),
	          "// <null> [optional] ");
}
