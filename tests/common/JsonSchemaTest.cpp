#include "common/JsonSchema.h"
#include "JsonTestUtils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace
{
using T = ELimitType;

std::string Text(const Json::Value& value)
{
	return jsonutils::Compact(value);
}

JsonSchema Leaf(Json::ValueType type, std::initializer_list<ValueLimit> limits = {}, double interval = -1)
{
	JsonSchema schema(type, "");
	for (const ValueLimit& limit : limits)
		schema.AddConstraint(limit);
	if (interval >= 0)
		schema.SetInterval(interval);
	return schema;
}

// The shape of a server's configuration keys.
JsonSchema ServerSchema()
{
	JsonSchema peer({{"port", JsonSchema(Json::uintValue, "Peer port")}, {"host", JsonSchema(Json::stringValue, "")}});
	peer.Member("host").SetRequired(false);
	JsonSchema peers(Json::objectValue, "Known peers", Json::Value(), false);
	peers.SetChildSchema(peer);
	JsonSchema list(Json::arrayValue, "Allowed origins", Json::Value(), false);
	list.SetChildSchema(JsonSchema(Json::uintValue, "origin"), 2, 3);
	return JsonSchema({
	    {"port-wss", JsonSchema(Json::uintValue, "The port to run the server on")},
	    {"threads", JsonSchema(Json::uintValue, "Number of HTTP listener threads to start", 1, false)
	                    .AddConstraint(ValueLimit(T::MoreThanOrEqual, 1))},
	    {"tls.certificate", JsonSchema(Json::stringValue, "Certificate chain")},
	    {"tls.dh", JsonSchema(Json::stringValue, "DH parameters", "dh.pem", false)},
	    {"ratio", JsonSchema(Json::realValue, "", Json::Value(), false)
	                  .AddConstraint(ValueLimit(T::LessThan, 1.0))
	                  .SetInterval(0.5)},
	    {"peers", peers},
	    {"list", list},
	});
}
} // namespace

TEST(JsonSchemaTest, ValidationMessages)
{
	const JsonSchema server = ServerSchema();
	// A document that passes, with the tail each case adds.
	const auto Doc = [](const std::string& extra)
	{ return R"({"port-wss": 443, "tls": {"certificate": "c.pem"})" + extra + "}"; };

	const JsonSchema badDefault(
	    {{"level", JsonSchema(Json::uintValue, "", 50, false).AddConstraint(ValueLimit(T::LessThanOrEqual, 10))}});
	JsonSchema arrayWithIndex(Json::arrayValue, "");
	arrayWithIndex.AddMember("[0]", Leaf(Json::uintValue));
	JsonSchema declaredAndChild(Json::objectValue, "");
	declaredAndChild.AddMember("fixed", Leaf(Json::stringValue)).SetChildSchema(Leaf(Json::uintValue));

	struct Case
	{
		std::string label;
		JsonSchema schema;
		std::string doc, error;
	};
	const Case cases[] = {
	    {"no type, null", JsonSchema(), "null", ""},
	    {"no type, number", JsonSchema(), "5", ""},
	    {"no type, containers", JsonSchema(), R"([{"a": "x"}])", ""},
	    {"required root null", Leaf(Json::uintValue), "null", "Root value is null, but the schema demands 'uint'"},
	    {"optional root null", JsonSchema(Json::uintValue, "", Json::Value(), false), "null", ""},
	    {"root type", JsonSchema(Json::arrayValue, ""), "{}",
	     "Root value type 'object' is not convertible to type 'array'"},
	    {"string takes a number", Leaf(Json::stringValue), "5", ""},
	    {"root limits", Leaf(Json::intValue, {{T::MoreThan, 0}}), "-1",
	     "Member '' doesn't satisfy limits: Value -1 is invalid [>0] // Value -1 is invalid [>0] // none of the "
	     "conditions were satisfied"},
	    {"valid", server, Doc(""), ""},
	    {"member type", server, R"({"port-wss": "x"})",
	     "Value type 'string' of member 'port-wss' is not convertible to type 'uint'"},
	    {"missing member", server, "{}", "Missing required member 'port-wss' of type 'uint'"},
	    {"missing nested member", server, R"({"port-wss": 1, "tls": {}})",
	     "Missing required member 'tls.certificate' of type 'string'"},
	    {"missing required object", server, R"({"port-wss": 1})", "Missing required member 'tls' of type 'object'"},
	    {"null member", server, R"({"port-wss": null})",
	     "Value of member 'port-wss' is null, but the schema demands 'uint'"},
	    {"member limits", server, Doc(R"(, "threads": 0)"),
	     "Member 'threads' doesn't satisfy limits: Value 0 is invalid [>=1] // Value 0 is invalid [>=1] // none of "
	     "the conditions were satisfied"},
	    {"default violates limits", badDefault, "{}",
	     "Member 'level' doesn't satisfy limits: Value 50 is invalid [<=10] // Value 50 is invalid [<=10] // none "
	     "of the conditions were satisfied"},
	    {"null takes the default", server, Doc(R"(, "threads": null)"), ""},
	    {"rounded down", server, Doc(R"(, "ratio": 0.7)"), ""},
	    {"rounded up", server, Doc(R"(, "ratio": 0.8)"),
	     "Member 'ratio' doesn't satisfy limits: Value 1.0 is invalid [<1.0] // Value 1.0 is invalid [<1.0] // none "
	     "of the conditions were satisfied"},
	    {"too few children", server, Doc(R"(, "list": [1])"),
	     "Value of member 'list' does not have enough members (should have min 2)"},
	    {"too many children", server, Doc(R"(, "list": [1, 2, 3, 4])"),
	     "Value of member 'list' has too many members (should have max 3)"},
	    {"child type", server, Doc(R"(, "list": [1, "x"])"),
	     "Value type 'string' of member 'list.[1]' is not convertible to type 'uint'"},
	    {"map child", server, Doc(R"(, "peers": {"a": {"port": 1}, "b": {"port": "x"}})"),
	     "Value type 'string' of member 'peers.b.port' is not convertible to type 'uint'"},
	    {"map child missing member", server, Doc(R"(, "peers": {"b": {"port": 1}, "a": {}})"),
	     "Missing required member 'peers.a.port' of type 'uint'"},
	    {"undeclared members pass", server, Doc(R"(, "extra": [1, {"x": null}])"), ""},
	    {"declared members are not children", declaredAndChild, R"({"fixed": "x", "n": 1})", ""},
	    {"other children are", declaredAndChild, R"({"fixed": "x", "n": "y"})",
	     "Value type 'string' of member 'n' is not convertible to type 'uint'"},
	    {"index member missing", arrayWithIndex, "[]", "Missing required member '[0]' of type 'uint'"},
	    {"index member type", arrayWithIndex, R"(["x"])",
	     "Value type 'string' of member '[0]' is not convertible to type 'uint'"},
	    // Integers keep all 64 bits.
	    {"largest uint", Leaf(Json::uintValue), "18446744073709551615", ""},
	    {"uint above 32 bits", Leaf(Json::uintValue, {{T::MoreThanOrEqual, 1}}), "5000000000", ""},
	    {"int above 2^53", Leaf(Json::intValue, {{T::Equal, Json::Int64{9007199254740993}}}), "9007199254740993", ""},
	    {"int above 2^53 differs", Leaf(Json::intValue, {{T::Equal, Json::Int64{9007199254740993}}}),
	     "9007199254740992",
	     "Member '' doesn't satisfy limits: Value 9007199254740992 is invalid [=9007199254740993] // Value "
	     "9007199254740992 is invalid [=9007199254740993] // none of the conditions were satisfied"},
	    {"uint rounds past its range", Leaf(Json::uintValue, {}, 10), "18446744073709551615",
	     "Root value 18446744073709551615 cannot be rounded to a multiple of 10 within the range of type 'uint'"},
	    {"int rounds past its range", JsonSchema({{"big", Leaf(Json::intValue, {}, 10)}}),
	     R"({"big": 9223372036854775807})",
	     "Value 9223372036854775807 of member 'big' cannot be rounded to a multiple of 10 within the range of type "
	     "'int'"},
	    {"smallest int", Leaf(Json::intValue, {{T::Equal, Json::Int64{INT64_MIN}}}, 2), "-9223372036854775808", ""},
	    {"uint too large for int", Leaf(Json::intValue), "9223372036854775808",
	     "Root value type 'uint' is not convertible to type 'int'"},
	    {"negative uint", Leaf(Json::uintValue), "-1", "Root value type 'int' is not convertible to type 'uint'"},
	    {"halves round away from zero", Leaf(Json::uintValue, {{T::Equal, 20}}, 10), "15", ""},
	    {"negative halves too", Leaf(Json::intValue, {{T::Equal, -20}}, 10), "-15", ""},
	    {"rounded value in the message", Leaf(Json::uintValue, {{T::Equal, 20}}, 10), "14",
	     "Member '' doesn't satisfy limits: Value 10 is invalid [=20] // Value 10 is invalid [=20] // none of the "
	     "conditions were satisfied"},
	    {"real interval", Leaf(Json::realValue, {{T::Equal, 1.0}}, 0.25), "1.1", ""},
	    {"fractional interval on an int", Leaf(Json::intValue, {{T::Equal, 5}}, 2.5), "4", ""},
	    {"real truncated in a uint", Leaf(Json::uintValue, {{T::Equal, 2}}), "2.7", ""},
	    {"real too large for a uint", Leaf(Json::uintValue), "1e30",
	     "Root value type 'real' is not convertible to type 'uint'"},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.label + ": " + c.doc);
		const Json::Value doc = Parse(c.doc);
		const Json::Value before = doc;
		EXPECT_EQ(SchemaErrorOf([&] { c.schema.TestThrow(doc); }),
		          c.error.empty() ? "" : "VALUE_NOT_VALID: " + c.error);
		EXPECT_EQ(c.schema.Test(doc), c.error.empty());
		EXPECT_EQ(doc, before) << "validation never changes the value";
	}
}

TEST(JsonSchemaTest, BuildingErrors)
{
	JsonSchema object({{"a", Leaf(Json::uintValue)}, {"o.x", Leaf(Json::intValue)}});
	JsonSchema uintSchema = Leaf(Json::uintValue);
	JsonSchema array(Json::arrayValue, "");
	struct Case
	{
		std::string label;
		std::function<void()> action;
		std::string error;
	};
	const Case cases[] = {
	    {"empty member", [&] { object.AddMember("", Leaf(Json::intValue)); },
	     "BAD_SCHEMA: Cannot add an empty member!"},
	    {"member of a leaf", [&] { uintSchema.AddMember("x", Leaf(Json::intValue)); },
	     "BAD_SCHEMA: Cannot add a member to a non-object schema!"},
	    {"index of an object", [&] { object.AddMember("[0]", Leaf(Json::intValue)); },
	     "BAD_SCHEMA: Can't add an array member to a non-array schema!"},
	    {"name of an array", [&] { array.AddMember("x", Leaf(Json::intValue)); },
	     "BAD_SCHEMA: Cannot add a member to a non-object schema!"},
	    {"through a leaf", [&] { object.AddMember("a.b", Leaf(Json::intValue)); },
	     "BAD_SCHEMA: Member path 'a.b' requires a member to be made of an non-object value, which can not happen!"},
	    {"through an object as an array", [&] { object.AddMember("o.[1]", Leaf(Json::intValue)); },
	     "BAD_SCHEMA: Member path 'o.[1]' requires a member to be made of an non-object value, which can not happen!"},
	    {"leaf twice", [&] { object.AddMember("a", Leaf(Json::uintValue)); },
	     "BAD_SCHEMA: Member 'a' already exist and cannot be overwritten!"},
	    {"nested leaf twice", [&] { object.AddMember("o.x", Leaf(Json::intValue)); },
	     "BAD_SCHEMA: Member 'x' already exist and cannot be overwritten!"},
	    {"sum with a common leaf",
	     [&] {
		     object += JsonSchema({{"a", Leaf(Json::uintValue)}});
	     },
	     "BAD_SCHEMA: Member 'a' already exist and cannot be overwritten!"},
	    {"sum of non-objects", [&] { uintSchema += Leaf(Json::intValue); },
	     "BAD_SCHEMA: Cannot sum two non-object schemas!"},
	    {"sum into an object", [&] { object += Leaf(Json::intValue); },
	     "BAD_SCHEMA: Cannot sum two non-object schemas!"},
	    {"difference of non-objects", [&] { object -= uintSchema; },
	     "BAD_SCHEMA: Cannot subtract two non-object schemas!"},
	    {"difference with a missing member",
	     [&] {
		     object -= JsonSchema({{"zzz", Leaf(Json::intValue)}});
	     },
	     "VALUE_NOT_VALID: No such member!"},
	    {"remove empty", [&] { object.RemoveMember(""); }, "VALUE_NOT_VALID: Cannot remove an empty member path!"},
	    {"remove missing", [&] { object.RemoveMember("b"); }, "VALUE_NOT_VALID: No such member!"},
	    {"remove below missing", [&] { object.RemoveMember("q.x"); }, "VALUE_NOT_VALID: No such member!"},
	    {"default of another kind", [&] { uintSchema.SetDefault("x"); },
	     "BAD_SCHEMA: Default value not convertible to schema type"},
	    {"negative default of a uint", [&] { uintSchema.SetDefault(-1); },
	     "BAD_SCHEMA: Default value not convertible to schema type"},
	    {"default through the constructor", [] { JsonSchema(Json::objectValue, "", 5, false); },
	     "BAD_SCHEMA: Default value not convertible to schema type"},
	    {"child schema of a leaf", [&] { uintSchema.SetChildSchema(Leaf(Json::intValue)); },
	     "BAD_SCHEMA: Cannot have a child option for a literal value - only supported for arrays and objects!"},
	    {"child schema without type", [] { JsonSchema().SetChildSchema(Leaf(Json::intValue)); },
	     "BAD_SCHEMA: Cannot have a child option for a literal value - only supported for arrays and objects!"},
	    {"no child schema", [&] { object.GetChildSchema(); }, "BAD_SCHEMA: No child schema exists"},
	    {"options of a bool", [] { Leaf(Json::booleanValue).SetPossibleVals({true}); },
	     "BAD_SCHEMA: Cannot add possible values to objects, arrays or boolean types"},
	    {"options of an object", [&] { object.SetPossibleVals({1}); },
	     "BAD_SCHEMA: Cannot add possible values to objects, arrays or boolean types"},
	    {"options without type", [] { JsonSchema().SetPossibleVals({1}); },
	     "BAD_SCHEMA: Cannot add possible values to objects, arrays or boolean types"},
	    {"option of another kind",
	     [&] {
		     uintSchema.SetPossibleVals({1, "x"});
	     },
	     "BAD_SCHEMA: Type of possible value 'string' is incompatible with schema type 'uint'"},
	    {"negative option of a uint", [&] { uintSchema.SetPossibleVals({-1}); },
	     "BAD_SCHEMA: Type of possible value 'int' is incompatible with schema type 'uint'"},
	    {"missing member", [&] { object.GetMember("o.b.c"); }, "VALUE_NOT_VALID: Member 'b.c' doesn't exist!"},
	    {"missing first member", [&] { object.Member("q.[0]"); }, "VALUE_NOT_VALID: Member 'q.[0]' doesn't exist!"},
	    {"member of a leaf member", [&] { object.GetMember("a.b"); }, "VALUE_NOT_VALID: Member 'b' doesn't exist!"},
	};
	const JsonSchema objectBefore = object;
	const JsonSchema uintBefore = uintSchema;
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.label);
		EXPECT_EQ(SchemaErrorOf(c.action), c.error);
		EXPECT_EQ(object, objectBefore) << "a failed call leaves the schema as it was";
		EXPECT_EQ(uintSchema, uintBefore);
	}
}

TEST(JsonSchemaTest, Construction)
{
	const JsonSchema port(Json::uintValue, "The port", 8080, false);
	EXPECT_EQ(port.GetType(), Json::uintValue);
	EXPECT_EQ(port.Default().type(), Json::uintValue) << "the default takes the schema's kind";
	EXPECT_EQ(port.Default().asUInt(), 8080u);
	EXPECT_FALSE(port.Required());
	EXPECT_TRUE(port.bExplicitContainerDefault);
	EXPECT_EQ(port.GetLimits().Interval, 1.0);
	EXPECT_EQ(port.GetDescription(), "The port");

	const JsonSchema required(Json::intValue, nullptr);
	EXPECT_TRUE(required.Required());
	EXPECT_FALSE(required.bExplicitContainerDefault);
	EXPECT_EQ(required.GetDescription(), "");
	EXPECT_EQ(required.GetLimits().Interval, 1.0);

	struct DefaultCase
	{
		Json::ValueType type;
		Json::Value given;
		Json::ValueType storedType;
		std::string stored;
	};
	const DefaultCase defaults[] = {
	    {Json::nullValue, "x", Json::stringValue, "\"x\""},
	    {Json::nullValue, 5, Json::intValue, "5"},
	    {Json::realValue, 1, Json::realValue, "1.0"},
	    {Json::stringValue, 5, Json::stringValue, "\"5\""},
	    {Json::booleanValue, 2, Json::booleanValue, "true"},
	    {Json::intValue, 2.9, Json::intValue, "2"},
	    {Json::uintValue, Json::UInt64{18446744073709551615u}, Json::uintValue, "18446744073709551615"},
	    {Json::intValue, Json::UInt64{9223372036854775807u}, Json::intValue, "9223372036854775807"},
	    {Json::arrayValue, Parse("[1]"), Json::arrayValue, "[1]"},
	};
	for (const auto& d : defaults)
	{
		SCOPED_TRACE(Text(d.given) + " for " + jsonutils::KindName(d.type));
		const JsonSchema schema(d.type, "", d.given, false);
		EXPECT_EQ(schema.GetType(), d.storedType);
		EXPECT_EQ(schema.Default().type(), d.storedType);
		EXPECT_EQ(Text(schema.Default()), d.stored);
	}
	EXPECT_EQ(JsonSchema(Json::realValue, "", 1, false).GetLimits().Interval, 0.0);
	JsonSchema anyDefault;
	anyDefault.SetDefault(5);
	EXPECT_EQ(Text(anyDefault.Default()), "5") << "a schema without a type takes any default";
	anyDefault.SetDefault(Json::Value());
	EXPECT_TRUE(anyDefault.Default().isNull());

	// Member names are path texts; containers on the way are optional exactly when the member is.
	const JsonSchema nested({{"a.b", JsonSchema(Json::intValue, "", 1, false)}, {"c.[1]", Leaf(Json::intValue)}}, "",
	                        false);
	EXPECT_FALSE(nested.Required());
	EXPECT_FALSE(nested.GetMember("a").Required());
	EXPECT_EQ(nested.GetMember("a").GetType(), Json::objectValue);
	EXPECT_TRUE(nested.GetMember("c").Required());
	EXPECT_EQ(nested.GetMember("c").GetType(), Json::arrayValue);
	EXPECT_TRUE(nested.IsMember("c.[1]"));
	EXPECT_TRUE(nested.IsMember(""));
	EXPECT_FALSE(nested.IsMember("c.[0]"));
	EXPECT_EQ(&nested.GetMember(""), &nested);

	EXPECT_FALSE(JsonSchema(Leaf(Json::intValue), false).Required());
	EXPECT_TRUE(JsonSchema(JsonSchema(Json::intValue, "", 1, false), true).Required());
	EXPECT_TRUE(JsonSchema().GetType() == Json::nullValue && !JsonSchema().Required());
	EXPECT_EQ(JsonSchema::Empty, JsonSchema());
}

TEST(JsonSchemaTest, CopiesAreDeepAndEqualityIgnoresEditorData)
{
	JsonSchema original(Json::arrayValue, "list");
	original.SetChildSchema(JsonSchema({{"x", Leaf(Json::intValue)}}), 1, 2);
	JsonSchema copy = original;
	EXPECT_EQ(copy, original);
	EXPECT_NE(&copy.GetChildSchema(), &original.GetChildSchema());
	copy.GetChildSchema().Member("x").SetDescription("changed");
	EXPECT_EQ(original.GetChildSchema().GetMember("x").GetDescription(), "");
	EXPECT_NE(copy, original);

	copy = original;
	copy.AddEditCondition("other.key", ValueLimit(T::Equal, true));
	copy.bExplicitContainerDefault = !original.bExplicitContainerDefault;
	EXPECT_EQ(copy, original);
	EXPECT_EQ(copy.EditConditions.at(JsonPath("other.key")).size(), 1u);

	struct Change
	{
		std::string label;
		std::function<void(JsonSchema&)> change;
	};
	const Change changes[] = {
	    {"scope", [](JsonSchema& s) { !s; }},
	    {"description", [](JsonSchema& s) { s.SetDescription("x"); }},
	    {"required", [](JsonSchema& s) { s.SetRequired(false); }},
	    {"limits", [](JsonSchema& s) { s.AddConstraint(ValueLimit(T::LessThan, 1)); }},
	    {"interval", [](JsonSchema& s) { s.SetInterval(2); }},
	    {"children limit", [](JsonSchema& s) { s.SetChildSchema(s.GetChildSchema(), 0, 2); }},
	    {"child schema", [](JsonSchema& s) { s.ChildSchema.reset(); }},
	    {"members", [](JsonSchema& s) { s.AddMember("[0]", Leaf(Json::intValue)); }},
	    {"default", [](JsonSchema& s) { s.SetDefault(Parse("[]")); }},
	};
	for (const auto& c : changes)
	{
		SCOPED_TRACE(c.label);
		JsonSchema changed = original;
		changed.Modify(c.change);
		EXPECT_NE(changed, original);
	}
	JsonSchema self = original;
	const JsonSchema& alias = self;
	self = alias;
	EXPECT_EQ(self, original);
	self = self.GetChildSchema();
	EXPECT_EQ(self, original.GetChildSchema()) << "assigning a part of itself";
}

TEST(JsonSchemaTest, MergingAndSubtracting)
{
	const JsonSchema a({{"tls.certificate", Leaf(Json::stringValue)}, {"port", Leaf(Json::uintValue)}}, "A");
	const JsonSchema b({{"tls.key", Leaf(Json::stringValue)}, {"threads", Leaf(Json::uintValue)}}, "B", false);

	const JsonSchema sum = a + b;
	EXPECT_EQ(sum.GetDescription(), "A") << "the left schema keeps its own settings";
	EXPECT_TRUE(sum.Required());
	EXPECT_EQ(sum.GetMemberNames(true), (std::set<JsonPath>{JsonPath("port"), JsonPath("threads"),
	                                                        JsonPath("tls.certificate"), JsonPath("tls.key")}));
	EXPECT_EQ(sum.GetMemberNames(false), (std::set<JsonPath>{JsonPath("port"), JsonPath("threads"), JsonPath("tls")}));

	JsonSchema empty;
	empty += a;
	EXPECT_EQ(empty, a) << "a schema without a type becomes the other";
	JsonSchema unchanged = a;
	unchanged += JsonSchema();
	EXPECT_EQ(unchanged, a);

	EXPECT_EQ(sum - b, a);
	EXPECT_EQ((sum - b).GetMember("tls").GetMemberNames(false), std::set<JsonPath>{JsonPath("certificate")});
	JsonSchema all = sum;
	const JsonSchema& sameSchema = all;
	all -= sameSchema;
	EXPECT_EQ(all.GetMemberNames(true), std::set<JsonPath>{JsonPath("tls")}) << "emptied containers stay";

	JsonSchema objects = a;
	objects.AddMember("tls", JsonSchema({{"ca", Leaf(Json::stringValue)}}));
	EXPECT_TRUE(objects.IsMember("tls.ca") && objects.IsMember("tls.certificate")) << "objects added twice merge";
	JsonSchema twice = a;
	EXPECT_EQ(SchemaErrorOf([&] { twice += twice; }),
	          "BAD_SCHEMA: Member 'port' already exist and cannot be overwritten!");
}

TEST(JsonSchemaTest, ConstraintsAndOptions)
{
	JsonSchema real = Leaf(Json::realValue);
	real.SetPossibleVals({1, 2.5});
	EXPECT_EQ(real.GetLimits().GetOptions(), (ValueLimitList{{T::Equal, 1.0}, {T::Equal, 2.5}}));
	EXPECT_EQ(real.GetLimits().GetOptions().front().Value.type(), Json::realValue);
	real.SetPossibleVals({});
	EXPECT_EQ(real.GetLimits().size(), 1u) << "no values, no group";

	JsonSchema text = Leaf(Json::stringValue);
	text.SetPossibleVals({"a", 1, true});
	EXPECT_EQ(text.GetLimits().Description(), R"(="a" (or) ="1" (or) ="true")");
	EXPECT_TRUE(text.Test("1"));
	EXPECT_FALSE(text.Test("2"));

	JsonSchema big = Leaf(Json::uintValue);
	big.SetPossibleVals({Json::UInt64{18446744073709551615u}, 7});
	EXPECT_EQ(big.GetLimits().Description(), "=18446744073709551615 (or) =7");
	EXPECT_TRUE(big.Test(Parse("18446744073709551615")));
	EXPECT_FALSE(big.Test(Parse("18446744073709551614")));

	JsonSchema limited = Leaf(Json::intValue);
	limited.AddConstraint(ValueLimit(T::MoreThan, 0)).AddConstraint(ValueLimit(T::None, 0));
	limited.AddConstraints({{T::LessThan, 5}, {T::Equal, 10}}).AddConstraints({});
	EXPECT_EQ(limited.GetLimits().Description(), ">0 AND <5 (or) =10");
	limited.RemoveLastConstraint();
	EXPECT_EQ(limited.GetLimits().Description(), ">0");
	limited.RemoveLastConstraint();
	limited.RemoveLastConstraint();
	EXPECT_TRUE(limited.GetLimits().empty());

	JsonSchema exported = !Leaf(Json::intValue);
	EXPECT_EQ(exported.Scope, ESchemaScopeType::Exported);
	EXPECT_EQ(ESchemaScopeType::_from_string_nocase("uncommented"), ESchemaScopeType::Uncommented);
	EXPECT_EQ(Leaf(Json::arrayValue).SetChildSchema(Leaf(Json::intValue), 1, 4).GetChildrenLimit(),
	          std::make_pair(1u, 4u));
}

TEST(JsonSchemaTest, ForEachChildMatching)
{
	JsonSchema schema({{"a.x.port", Leaf(Json::uintValue)},
	                   {"a.y.port", Leaf(Json::uintValue)},
	                   {"a.y.host", Leaf(Json::stringValue)},
	                   {"a.z", Leaf(Json::uintValue)},
	                   {"b.port", Leaf(Json::uintValue)}});
	schema.Member("a.x").SetChildSchema(JsonSchema({{"port", Leaf(Json::intValue)}}));
	struct Case
	{
		std::string pattern;
		std::vector<std::string> visited;
	};
	const Case cases[] = {
	    {"a.*.port", {"a.x.port", "a.y.port"}},
	    {"*.port", {"b.port"}},
	    {"*", {"a", "b"}},
	    {"a.*", {"a.x", "a.y", "a.z"}},
	    {"", {""}},
	    {"a.z.q", {}},
	    {"c.*", {}},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE("'" + c.pattern + "'");
		std::vector<std::string> visited;
		schema.ForEachChildMatching(JsonPathPattern(c.pattern),
		                            [&](const JsonPath& path, JsonSchema&) { visited.push_back(path.ToString()); });
		EXPECT_EQ(visited, c.visited);
	}
	schema.ForEachChildMatching("a.*.port", [](const JsonPath&, JsonSchema& member)
	                            { member.AddConstraint(ValueLimit(T::MoreThanOrEqual, 1024)); });
	EXPECT_EQ(schema.GetMember("a.y.port").GetLimits().Description(), ">=1024");
	EXPECT_TRUE(schema.GetMember("b.port").GetLimits().empty());
}

TEST(JsonSchemaTest, RoundToInterval)
{
	struct Case
	{
		Json::ValueType type;
		std::string value;
		double interval;
		std::string expected; // empty: out of range
	};
	const Case cases[] = {
	    {Json::intValue, "7", 0, "7"},
	    {Json::intValue, "7.9", 0, "7"},
	    {Json::intValue, "true", 1, "1"},
	    {Json::intValue, "15", 10, "20"},
	    {Json::intValue, "14", 10, "10"},
	    {Json::intValue, "-15", 10, "-20"},
	    {Json::intValue, "-14", 10, "-10"},
	    {Json::intValue, "9007199254740993", 1, "9007199254740993"},
	    {Json::intValue, "9007199254740993", 2, "9007199254740994"},
	    {Json::intValue, "9223372036854775807", 1, "9223372036854775807"},
	    {Json::intValue, "9223372036854775807", 2, ""},
	    {Json::intValue, "-9223372036854775808", 2, "-9223372036854775808"},
	    {Json::intValue, "-9223372036854775807", 3, "-9223372036854775806"},
	    {Json::intValue, "-9223372036854775808", 3, ""},
	    {Json::intValue, "9223372036854775808", 1, ""},
	    {Json::intValue, "4", 2.5, "5"},
	    {Json::intValue, "9223372036854775807", 0.5, ""},
	    {Json::intValue, "5", 1e-320, "5"},
	    {Json::intValue, "5", 1e300, "0"},
	    {Json::intValue, "-9223372036854775808", 18446744073709551616.0, ""},
	    {Json::intValue, "-9223372036854775807", 18446744073709551616.0, "0"},
	    {Json::uintValue, "18446744073709551615", 1, "18446744073709551615"},
	    {Json::uintValue, "18446744073709551615", 5, "18446744073709551615"},
	    {Json::uintValue, "18446744073709551615", 2, ""},
	    {Json::uintValue, "18446744073709551613", 2, "18446744073709551614"},
	    {Json::uintValue, "9223372036854775808", 18446744073709551616.0, ""},
	    {Json::uintValue, "9223372036854775807", 18446744073709551616.0, "0"},
	    {Json::uintValue, "7", std::numeric_limits<double>::infinity(), "0"},
	    {Json::uintValue, "-1", 1, ""},
	    {Json::uintValue, "\"7\"", 1, ""},
	    {Json::realValue, "1.1", 0.25, "1.0"},
	    {Json::realValue, "-0.375", 0.25, "-0.5"},
	    {Json::realValue, "3", 0, "3.0"},
	    {Json::realValue, "1.7e308", 1e308, ""},
	    {Json::realValue, "5", 1e-320, "5.0"},
	    {Json::stringValue, "5", 2, "5"},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.value + " to " + std::to_string(c.interval) + " as " + jsonutils::KindName(c.type));
		Json::Value out("untouched");
		const bool ok = JsonSchema::RoundToInterval(Parse(c.value), c.type, c.interval, out);
		EXPECT_EQ(ok, !c.expected.empty());
		if (ok)
		{
			EXPECT_EQ(Text(out), c.expected);
			EXPECT_EQ(out.type(), c.type == Json::stringValue ? Json::intValue : c.type);
		}
	}
}

TEST(JsonSchemaTest, ConcurrentValidation)
{
	const JsonSchema server = ServerSchema();
	const Json::Value good = Parse(R"({"port-wss": 1, "tls": {"certificate": "c"}, "list": [1, 2]})");
	const Json::Value bad = Parse(R"({"port-wss": 1, "tls": {"certificate": "c"}, "threads": 0})");
	std::atomic<int> failures{0};
	std::vector<std::thread> threads;
	for (int t = 0; t < 4; ++t)
	{
		threads.emplace_back(
		    [&]
		    {
			    for (int i = 0; i < 200; ++i)
			    {
				    if (!server.Test(good) || server.Test(bad) || !ParameterLimits::Schema().Test(Parse("[[]]")))
					    ++failures;
			    }
		    });
	}
	for (std::thread& t : threads)
		t.join();
	EXPECT_EQ(failures, 0);
}
