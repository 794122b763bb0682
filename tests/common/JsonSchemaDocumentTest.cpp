#include "JsonTestUtils.h"
#include "common/JsonSchema.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
std::string Text(const Json::Value& value)
{
	return jsonutils::Compact(value);
}

JsonSchema RichSchema()
{
	JsonSchema peer({{"port", JsonSchema(Json::uintValue, "Peer port")
	                              .AddConstraint(ValueLimit(ELimitType::MoreThanOrEqual, 1))
	                              .AddConstraint(ValueLimit(ELimitType::LessThan, 65536))},
	                 {"weight", JsonSchema(Json::realValue, "Share", 1.0, false).SetInterval(0.25)}});
	JsonSchema peers(Json::objectValue, "Peers by name", Json::Value(), false);
	peers.SetChildSchema(peer, 1, 8);
	JsonSchema mode(Json::stringValue, "Mode", "auto", false);
	mode.SetPossibleVals({"auto", "on", "off"});
	mode.AddEditCondition("tls.enabled", ValueLimit(ELimitType::Equal, true));
	JsonSchema root({{"port-wss", JsonSchema(Json::uintValue, "The port to run the server on")},
	                 {"threads", JsonSchema(Json::uintValue, "Number of HTTP listener threads to start", 1, false)
	                                 .AddConstraint(ValueLimit(ELimitType::MoreThanOrEqual, 1))},
	                 {"tls.certificate", JsonSchema(Json::stringValue, "Certificate chain")},
	                 {"tls.enabled", JsonSchema(Json::booleanValue, "TLS on", true, false)},
	                 {"big", JsonSchema(Json::intValue, "Big", Json::Int64{-9007199254740993}, false)},
	                 {"mode", mode},
	                 {"peers", peers}});
	!root.Member("threads");
	root.Member("tls").Scope = ESchemaScopeType::Uncommented;
	return root;
}
} // namespace

TEST(JsonSchemaDocumentTest, SchemaWithoutTypeIsNull)
{
	EXPECT_TRUE(JsonSchema().ToJSON().isNull());
	const JsonSchema read = JsonSchema::FromJSON(Json::Value());
	EXPECT_EQ(read.GetType(), Json::nullValue);
	EXPECT_TRUE(read.GetMembers().empty());
}

TEST(JsonSchemaDocumentTest, WritesTheDocumentForm)
{
	JsonSchema schema(
	    {{"port", JsonSchema(Json::uintValue, "Port")},
	     {"name",
	      JsonSchema(Json::stringValue, "", "hub", false).AddConstraint(ValueLimit(ELimitType::NotEqual, ""))}});
	EXPECT_EQ(Text(schema.ToJSON()),
	          R"({"default":{"name":"hub","port":null},"schema":{"children":{)"
	          R"("name":{"constraints":[[{"type":"NotEqual","value":""}]],"optional":true,"type":"string"},)"
	          R"("port":{"desc":"Port","interval":1.0,"type":"uint"}},"type":"object"}})");
	JsonSchema list(Json::arrayValue, "List", Json::Value(), false);
	list.SetChildSchema(JsonSchema(Json::stringValue, "Item"), 0, 3);
	!list;
	EXPECT_EQ(Text(list.ToJSON()),
	          R"({"default":[],"schema":{"child-schema":{"default":null,"schema":{"desc":"Item","type":"string"}},)"
	          R"("desc":"List","max-children":3,"optional":true,"scope":"Exported","type":"array"}})");
}

TEST(JsonSchemaDocumentTest, RoundTripKeepsTheDocument)
{
	const Json::Value written = RichSchema().ToJSON();
	const JsonSchema read = JsonSchema::FromJSON(written);
	EXPECT_EQ(Text(read.ToJSON()), Text(written));
	EXPECT_EQ(read.GetMember("big").Default().asInt64(), -9007199254740993);
	EXPECT_EQ(read.GetMember("threads").Scope, ESchemaScopeType::Exported);
	EXPECT_EQ(read.GetMember("tls").Scope, ESchemaScopeType::Uncommented);
	EXPECT_EQ(read.GetMember("peers").GetChildrenLimit(), (std::pair<unsigned int, unsigned int>(1, 8)));
	EXPECT_EQ(read.GetMember("peers").GetChildSchema().GetMember("weight").GetLimits().Interval, 0.25);
	EXPECT_EQ(read.GetMember("mode").EditConditions.size(), 1u);
	EXPECT_EQ(read.GetMember("mode").GetLimits().Description(), "=\"auto\" (or) =\"on\" (or) =\"off\"");
	// The read schema validates like the original.
	const Json::Value good = Parse(R"({"port-wss": 1, "tls": {"certificate": "c"}, "peers": {"a": {"port": 2}}})");
	EXPECT_TRUE(read.Test(good));
	// A container read from a document keeps its default tree, which then stands in for a missing
	// container: here an empty map, below the minimum of one peer.
	EXPECT_EQ(SchemaErrorOf([&] { read.TestThrow(Parse(R"({"port-wss": 1, "tls": {"certificate": "c"}})")); }),
	          "VALUE_NOT_VALID: Value of member 'peers' does not have enough members (should have min 1)");
	EXPECT_EQ(
	    SchemaErrorOf([&] { read.TestThrow(Parse(R"({"port-wss": 1, "tls": {}, "peers": {"a": {"port": 2}}})")); }),
	    "VALUE_NOT_VALID: Missing required member 'tls.certificate' of type 'string'");
}

TEST(JsonSchemaDocumentTest, ReadingFailures)
{
	struct Case
	{
		const char* label;
		const char* document;
		const char* message;
	};
	const std::vector<Case> cases = {
	    {"no schema", R"({"default": null})", "Schema has no internal structure!"},
	    {"not an object", R"(5)", "Schema has no internal structure!"},
	    {"no default", R"({"schema": {"type": "int"}})", "Schema has no default value!"},
	    {"node not an object", R"({"schema": [], "default": null})", "Schema cannot be a non-object"},
	    {"no type", R"({"schema": {}, "default": null})", "Schema has no type defined"},
	    {"type not text", R"({"schema": {"type": 1}, "default": null})", "Schema has no type defined"},
	    {"unknown type", R"({"schema": {"type": "x"}, "default": null})", "Unknown schema type 'x'"},
	    {"null type", R"({"schema": {"type": "null"}, "default": null})", "Unknown schema type 'null'"},
	    {"description", R"({"schema": {"type": "int", "desc": 1}, "default": null})",
	     "Schema description must be a string!"},
	    {"child schema", R"({"schema": {"type": "array", "child-schema": {"schema": {"type": "y"}, "default": 1}},
	                        "default": []})",
	     "Child-schema is invalid: Unknown schema type 'y'"},
	    {"children kind", R"({"schema": {"type": "object", "children": []}, "default": {}})",
	     "Children is an invalid subschema node - it must be an object"},
	    {"default subtree", R"({"schema": {"type": "object", "children": {}}, "default": 1})",
	     "'default' does not contain a subtree, but the schema indicates one should exist!"},
	    {"missing child default",
	     R"({"schema": {"type": "object", "children": {"a": {"type": "int"}}}, "default": {}})",
	     "'default' is missing child 'a'!"},
	    {"bad child", R"({"schema": {"type": "object", "children": {"a": {"type": "x"}}}, "default": {"a": null}})",
	     "Child schema of member 'a' is invalid: Unknown schema type 'x'"},
	    {"nested child",
	     R"({"schema": {"type": "object", "children": {"a": {"type": "object", "children": {"b": {"type": 2}}}}},
	         "default": {"a": {"b": null}}})",
	     "Child schema of member 'a' is invalid: Child schema of member 'b' is invalid: Schema has no type defined"},
	    {"empty member name",
	     R"({"schema": {"type": "object", "children": {"": {"type": "int"}}}, "default": {"": 1}})",
	     "Child schema of member '' is invalid: Cannot add an empty member!"},
	    {"default kind", R"({"schema": {"type": "uint"}, "default": "x"})",
	     "Default value not convertible to schema type"},
	};
	for (const Case& c : cases)
	{
		SCOPED_TRACE(c.label);
		EXPECT_EQ(SchemaErrorOf([&] { JsonSchema::FromJSON(Parse(c.document)); }),
		          std::string("BAD_SCHEMA: ") + c.message);
	}
}

TEST(JsonSchemaDocumentTest, LenientFields)
{
	const JsonSchema read = JsonSchema::FromJSON(Parse(
	    R"({"schema": {"type": "object", "optional": "yes", "scope": "EXPORTED", "min-children": -1,
	                   "max-children": "2", "children": {"a.b": {"type": "int", "optional": true, "scope": 3},
	                   "n": {"type": "real", "interval": "x", "constraints": {"a": 1}}}},
	       "default": {"a.b": 4, "n": null}})"));
	EXPECT_TRUE(read.Required());
	EXPECT_EQ(read.Scope, ESchemaScopeType::Exported);
	EXPECT_EQ(read.GetChildrenLimit(), (std::pair<unsigned int, unsigned int>(0, 0)));
	// Member names are path texts.
	EXPECT_EQ(read.GetMember("a.b").Default().asInt64(), 4);
	EXPECT_EQ(read.GetMember("a.b").Scope, ESchemaScopeType::Default);
	// Without "interval" an int has no step, unlike one built in code.
	EXPECT_EQ(read.GetMember("a.b").GetLimits().Interval, 0.0);
	EXPECT_EQ(read.GetMember("n").GetLimits().Interval, 0.0);
	EXPECT_TRUE(read.GetMember("n").GetLimits().empty());
	// A container keeps its whole default tree.
	EXPECT_EQ(Text(read.Default()), R"({"a.b":4,"n":null})");
}
