#include "common/ParameterLimits.h"
#include "JsonTestUtils.h"
#include "common/JsonSchema.h"

#include <gtest/gtest.h>

#include <functional>
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

ParameterLimits Limits(std::initializer_list<ValueLimitList> groups, double interval = 0)
{
	ParameterLimits limits;
	for (const ValueLimitList& group : groups)
		limits.AddList(group);
	limits.Interval = interval;
	return limits;
}

const Json::Value Null;
} // namespace

TEST(ParameterLimitsTest, ValueLimitComparesOneValue)
{
	struct Case
	{
		ValueLimit limit;
		std::string value;
		bool ok;
		std::string error;
	};
	const Case cases[] = {
	    // The convertibility check comes first, even for None.
	    {{T::None, Null}, "5", false, "Value is not convertible to null"},
	    {{T::None, Null}, "null", true, ""},
	    {{T::None, 3}, "\"x\"", false, "Value is not convertible to int"},
	    {{T::None, 3}, "4", true, ""},
	    {{T::LessThanOrEqual, 10}, "10", true, ""},
	    {{T::LessThanOrEqual, 10}, "9", true, ""},
	    {{T::LessThanOrEqual, 10}, "11", false, "Value of 11 is not less than 10"},
	    {{T::LessThan, 10}, "10", false, "Value of 10 is not less than 10"},
	    {{T::MoreThan, 5}, "5", false, "Value of 5 is not more than 5"},
	    {{T::MoreThanOrEqual, 5}, "5", true, ""},
	    {{T::MoreThanOrEqual, 1}, "0", false, "Value of 0 is not more than 1"},
	    // Reals are read as the bound's kind: 0.5 is the integer 0 here.
	    {{T::LessThan, 0}, "0.5", false, "Value of 0.5 is not less than 0"},
	    {{T::Equal, 0}, "0.5", true, ""},
	    {{T::MoreThanOrEqual, Json::UInt64{0}}, "-1", false, "Value is not convertible to uint"},
	    {{T::Equal, 4}, "3", false, "Value of 3 does not equal 4, which is not allowed"},
	    {{T::NotEqual, 3}, "3", false, "Value of 3 equals 3, which is not allowed!"},
	    {{T::NotEqual, 3}, "true", true, ""},
	    {{T::LessThan, 1.5}, "1.5", false, "Value of 1.5 is not less than 1.5"},
	    {{T::LessThan, 1.5}, "1", true, ""},
	    {{T::MoreThan, 1.5}, "\"2\"", false, "Value is not convertible to real"},
	    {{T::Equal, "a"}, "\"b\"", false, "Value of \"b\" does not equal \"a\", which is not allowed"},
	    {{T::Equal, "a"}, "\"a\"", true, ""},
	    {{T::LessThan, "b"}, "\"a\"", true, ""},
	    // Booleans have no order: Equal tests equality, every other type inequality.
	    {{T::Equal, true}, "false", false, "Value of false does not equal true, which is not allowed"},
	    {{T::LessThanOrEqual, true}, "1", true, ""},
	    {{T::LessThan, true}, "true", false, "Value of true is not less than true"},
	    {{T::MoreThan, false}, "true", true, ""},
	    {{T::Equal, Parse("[1,2]")}, "[1,2]", true, ""},
	    {{T::Equal, Parse("[1,2]")}, "5", false, "Value is not convertible to array"},
	    {{T::NotEqual, Parse(R"({"a":1})")},
	     R"({"a":1})",
	     false,
	     R"(Value of {"a":1} equals {"a":1}, which is not allowed!)"},
	    // 64-bit values compare exactly.
	    {{T::LessThan, Json::Int64{9007199254740993}}, "9007199254740992", true, ""},
	    {{T::LessThan, Json::Int64{9007199254740993}},
	     "9007199254740993",
	     false,
	     "Value of 9007199254740993 is not less than 9007199254740993"},
	    {{T::MoreThanOrEqual, 1}, "5000000000", true, ""},
	    {{T::MoreThanOrEqual, Json::UInt64{1}}, "5000000000", true, ""},
	    {{T::MoreThan, Json::UInt64{9223372036854775808u}}, "18446744073709551615", true, ""},
	    {{T::LessThan, 0}, "9223372036854775808", false, "Value of 9223372036854775808 is not less than 0"},
	    {{T::MoreThanOrEqual, 1}, "18446744073709551615", true, ""},
	    {{T::LessThan, 0}, "1e300", false, "Value is not convertible to int"},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.limit.ToString() + " (" + jsonutils::KindName(c.limit.Value.type()) + ") with " + c.value);
		std::string error = "untouched";
		EXPECT_EQ(c.limit.Test(Parse(c.value), &error), c.ok);
		EXPECT_EQ(error, c.ok ? "untouched" : c.error);
		EXPECT_EQ(c.limit.Test(Parse(c.value)), c.ok);
	}
}

TEST(ParameterLimitsTest, ValueLimitTextForms)
{
	struct Case
	{
		ValueLimit limit;
		std::string text, json;
	};
	const Case cases[] = {
	    {{T::None, 1}, "", R"({"type":"None","value":1})"},
	    {{T::LessThan, 1}, "<1", R"({"type":"LessThan","value":1})"},
	    {{T::MoreThan, 1}, ">1", R"({"type":"MoreThan","value":1})"},
	    {{T::Equal, "x"}, "=\"x\"", R"({"type":"Equal","value":"x"})"},
	    {{T::NotEqual, Null}, "!=null", R"({"type":"NotEqual","value":null})"},
	    {{T::LessThanOrEqual, 2.5}, "<=2.5", R"({"type":"LessThanOrEqual","value":2.5})"},
	    {{T::MoreThanOrEqual, 1}, ">=1", R"({"type":"MoreThanOrEqual","value":1})"},
	    {{T::_from_integral_unchecked(3), 1}, "1", R"({"type":3,"value":1})"},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.json);
		EXPECT_EQ(c.limit.ToString(), c.text);
		EXPECT_EQ(Text(c.limit.ToJSON()), c.json);
	}
	EXPECT_EQ(SchemaErrorOf([] { ValueLimit(T::_from_integral_unchecked(T::Equal | T::NotEqual), 1); }),
	          "BAD_SCHEMA: Value limit type cannot be both Equal and NotEqual!");
	EXPECT_EQ(ValueLimit(), ValueLimit(T::None, Null));
	EXPECT_NE(ValueLimit(T::Equal, 1), ValueLimit(T::Equal, 2));
}

TEST(ParameterLimitsTest, ValueLimitReadsItsJsonFormLeniently)
{
	struct Case
	{
		std::string json;
		ELimitType type;
		std::string bound;
	};
	const Case cases[] = {
	    {R"({"type": "equal", "value": 3})", T::Equal, "3"},
	    {R"({"type": "MORETHANOREQUAL", "value": [1]})", T::MoreThanOrEqual, "[1]"},
	    {R"({"type": "bogus", "value": 3})", T::None, "3"},
	    {R"({"type": ["LessThan"], "value": 1})", T::None, "1"},
	    {R"({"type": {"a": 1}, "value": 1})", T::None, "1"},
	    {R"({"type": 5, "value": 1})", T::None, "1"},
	    {R"({"type": null, "value": 1})", T::None, "1"},
	    {R"({"type": "LessThan\u0000x", "value": 1})", T::None, "1"},
	    {R"({"type": "LessThan"})", T::None, "null"},
	    {R"({"value": 1})", T::None, "null"},
	    {R"([{"type": "LessThan", "value": 1}])", T::None, "null"},
	    {"5", T::None, "null"},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.json);
		const ValueLimit limit(Parse(c.json));
		EXPECT_EQ(limit.Type, c.type);
		EXPECT_EQ(Text(limit.Value), c.bound);
	}
}

TEST(ParameterLimitsTest, ValueLimitListIsAnOrGroup)
{
	const ValueLimitList group = {{T::LessThan, 10}, {T::MoreThan, 20}};
	struct Case
	{
		std::string value;
		bool bAll, ok;
		std::string error;
	};
	const Case cases[] = {
	    {"5", false, true, ""},
	    {"25", false, true, ""},
	    {"15", false, false, "Value 15 is invalid [<10 (or) >20] // none of the conditions were satisfied"},
	    {"5", true, false, "Value 5 is invalid [<10 (or) >20] // all of the conditions must be satisfied"},
	    {"15", true, false, "Value 15 is invalid [<10 (or) >20] // none of the conditions were satisfied"},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.value + (c.bAll ? " (all)" : " (any)"));
		std::string error = "untouched";
		EXPECT_EQ(group.Test(Parse(c.value), c.bAll, &error), c.ok);
		EXPECT_EQ(error, c.ok ? "untouched" : c.error);
	}
	EXPECT_TRUE(ValueLimitList().Test(Parse("1"), true));
	EXPECT_TRUE((ValueLimitList{{T::MoreThan, 1}, {T::LessThan, 9}}.Test(Parse("5"), true)));

	EXPECT_EQ((ValueLimitList{{T::None, 1}, {T::Equal, 2}, {T::None, 3}, {T::Equal, 4}}.Description()), "=2 (or) =4");
	EXPECT_EQ(ValueLimitList().Description(), "");
	EXPECT_TRUE((ValueLimitList{{T::Equal, 1}, {T::Equal, "a"}}.IsOnlyOptions()));
	EXPECT_FALSE((ValueLimitList{{T::Equal, 1}, {T::LessThanOrEqual, 1}}.IsOnlyOptions()));
	EXPECT_FALSE(ValueLimitList().IsOnlyOptions());
}

TEST(ParameterLimitsTest, AndListsOfGroups)
{
	const ParameterLimits atLeastOne = Limits({{{T::MoreThanOrEqual, 1}}});
	std::string error;
	EXPECT_FALSE(atLeastOne.Test(Parse("0"), &error));
	EXPECT_EQ(error, "Value 0 is invalid [>=1] // Value 0 is invalid [>=1] // none of the conditions were satisfied");
	EXPECT_TRUE(ParameterLimits().Test(Parse("\"anything\"")));

	const ParameterLimits range = Limits({{{T::MoreThanOrEqual, 1}}, {{T::LessThan, 10}, {T::Equal, 20}}});
	EXPECT_EQ(range.Description(), ">=1 AND <10 (or) =20");
	EXPECT_TRUE(range.Test(Parse("20")));
	error = "untouched";
	EXPECT_TRUE(range.Test(Parse("5"), &error));
	EXPECT_EQ(error, "untouched");
	EXPECT_FALSE(range.Test(Parse("15"), &error));
	EXPECT_EQ(error, "Value 15 is invalid [>=1 AND <10 (or) =20] // Value 15 is invalid [<10 (or) =20] // none of "
	                 "the conditions were satisfied");

	// An empty group description still adds its separator once something came before it.
	ParameterLimits withNone;
	withNone.push_back({{T::None, 1}});
	withNone.push_back({{T::LessThan, 2}});
	withNone.push_back({{T::None, 1}});
	withNone.push_back({{T::MoreThan, 0}});
	EXPECT_EQ(withNone.Description(), "<2 AND  AND >0");

	ParameterLimits added;
	added.Add(ValueLimit(T::None, 5));
	added.AddList(ValueLimitList());
	EXPECT_TRUE(added.empty());
	added.Add(ValueLimit(T::MoreThan, 0));
	added.Add(ValueLimit(T::LessThan, 9));
	EXPECT_EQ(added.size(), 2u) << "limits added one by one are ANDed";
	added.Interval = 3;
	ParameterLimits merged;
	merged.Merge(added);
	merged.Merge(merged);
	EXPECT_EQ(merged.Description(), ">0 AND <9 AND >0 AND <9");
	EXPECT_EQ(merged.Interval, 0) << "the interval is not merged";
	EXPECT_NE(merged, added);
}

TEST(ParameterLimitsTest, TestNoThrowFindsAnAcceptableValue)
{
	struct Case
	{
		std::string label;
		ParameterLimits limits;
		std::string value, fallback, expected;
	};
	const Case cases[] = {
	    {"passes", Limits({{{T::LessThan, 10}}}, 1), "5", "null", "5"},
	    {"no limits", ParameterLimits(), "\"x\"", "null", "\"x\""},
	    {"one step below", Limits({{{T::LessThan, 10}}}, 1), "15", "null", "9.0"},
	    {"one step above", Limits({{{T::MoreThan, 5.0}}}, 0.5), "1", "null", "5.5"},
	    // 5.5 read against an int bound is 5, which is not above it.
	    {"stepped value read as the bound's kind", Limits({{{T::MoreThan, 5}}}, 0.5), "1", "null", "null"},
	    {"the bound itself", Limits({{{T::MoreThanOrEqual, 1}}}), "0", "null", "1"},
	    {"first option", Limits({{{T::Equal, 2}, {T::Equal, 4}}}), "3", "null", "2"},
	    {"no step, no equal bound", Limits({{{T::MoreThan, 5}}}, 0), "3", "null", "null"},
	    {"fallback passes", Limits({{{T::MoreThanOrEqual, 1}}}), "0", "7", "7"},
	    {"fallback corrected", Limits({{{T::MoreThanOrEqual, 1}}}), "0", "-4", "1"},
	    {"first group's candidate fails the second",
	     Limits({{{T::LessThanOrEqual, 10}}, {{T::NotEqual, 10}, {T::MoreThan, 100}}}, 1), "50", "null", "null"},
	    {"second group's candidate", Limits({{{T::MoreThanOrEqual, 0}}, {{T::LessThanOrEqual, 8}}, {{T::LessThan, 9}}}),
	     "12", "null", "8"},
	    {"equal bound of a later group", Limits({{{T::MoreThan, 5}}, {{T::Equal, 7}}}), "3", "null", "7"},
	    {"impossible", Limits({{{T::MoreThanOrEqual, 5}}, {{T::LessThanOrEqual, 1}}}), "3", "null", "null"},
	    {"string bounds are not stepped", Limits({{{T::MoreThan, "m"}}}, 1), "\"a\"", "null", "null"},
	    {"string option", Limits({{{T::Equal, "on"}, {T::Equal, "off"}}}), "\"auto\"", "null", "\"on\""},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.label);
		EXPECT_EQ(Text(c.limits.TestNoThrow(Parse(c.value), Parse(c.fallback))), c.expected);
	}
}

TEST(ParameterLimitsTest, JsonForm)
{
	ParameterLimits limits;
	limits.FillFromJSON(Parse(R"([[], [{"type": "equal", "value": 3}], 5])"));
	ASSERT_EQ(limits.size(), 1u);
	ASSERT_EQ(limits.front().size(), 1u);
	EXPECT_EQ(limits.front().front(), ValueLimit(T::Equal, 3));

	limits.FillFromJSON(Parse(R"({"g": [{"type": "LessThan", "value": 9}, {"type": "nope", "value": 1}, 7]})"));
	EXPECT_EQ(limits.Description(), "=3 AND <9");
	EXPECT_EQ(Text(limits.ToJSON()),
	          R"([[{"type":"Equal","value":3}],[{"type":"LessThan","value":9},{"type":"None","value":1},)"
	          R"({"type":"None","value":null}]])");
	limits.FillFromJSON(Parse("5"));
	limits.FillFromJSON(Parse("[[5]]"));
	EXPECT_EQ(limits.size(), 3u);

	ParameterLimits roundTrip;
	roundTrip.FillFromJSON(limits.ToJSON());
	EXPECT_EQ(roundTrip, limits);

	EXPECT_EQ(limits.GetOptions(), (ValueLimitList{{T::Equal, 3}}));
	EXPECT_TRUE(Limits({{{T::LessThan, 3}}}).GetOptions().empty());
}

TEST(ParameterLimitsTest, ParseBlock)
{
	struct Case
	{
		std::string block, value, error;
	};
	const Case cases[] = {
	    {"5", "5", ""},
	    {" \"x\" ", "\"x\"", ""},
	    {"[1, 2]", "[1,2]", ""},
	    {"", "", "BAD_SCHEMA: Argument after parameter limit comparator cannot be empty"},
	    {"{", "",
	     "BAD_SCHEMA: Argument after parameter limit comparator is not a valid value: * Line 1, Column 2\n"
	     "  Missing '}' or object member name\n"},
	    {"5x", "",
	     "BAD_SCHEMA: Argument after parameter limit comparator is not a valid value: * Line 1, Column 2\n"
	     "  Extra non-whitespace after JSON value.\n"},
	    {std::string(5000, '['), "",
	     "BAD_SCHEMA: Argument after parameter limit comparator is not a valid value: Exceeded stackLimit in "
	     "readValue()."},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.block.substr(0, 20));
		std::string parsed;
		EXPECT_EQ(SchemaErrorOf([&] { parsed = Text(ParameterLimits::parseBlock(c.block)); }), c.error);
		EXPECT_EQ(parsed, c.value);
	}
}

TEST(ParameterLimitsTest, SchemaOfTheJsonForm)
{
	const JsonSchema& schema = ParameterLimits::Schema();
	EXPECT_EQ(&schema, &ParameterLimits::Schema()) << "built once";
	EXPECT_EQ(schema.GetType(), Json::arrayValue);
	EXPECT_FALSE(schema.Required());
	EXPECT_EQ(schema.GetDescription(), "Array of limit groups where AND applies between them");
	EXPECT_EQ(Text(schema.Default()), "[]");
	const JsonSchema& group = schema.GetChildSchema();
	EXPECT_EQ(group.GetDescription(), "Array of limits where OR applies between them");
	const JsonSchema& limit = group.GetChildSchema();
	EXPECT_TRUE(limit.Required());
	EXPECT_EQ(limit.GetMember("type").GetLimits().Description(),
	          R"(="None" (or) ="LessThan" (or) ="MoreThan" (or) ="Equal" (or) ="NotEqual" (or) ="LessThanOrEqual")"
	          R"( (or) ="MoreThanOrEqual")");
	EXPECT_EQ(limit.GetMember("value").GetDescription(), "The value attributed to this limit");

	struct Case
	{
		std::string json, error;
	};
	const Case cases[] = {
	    {R"([[{"type": "LessThan", "value": 1}], [{"type": "Equal", "value": "x"}]])", ""},
	    {"[]", ""},
	    {"null", ""},
	    {R"([[{"type": "Equal"}]])", "Missing required member '[0].[0].value' of type 'null'"},
	    {R"([[{"type": "equal", "value": 1}]])",
	     R"(Member '[0].[0].type' doesn't satisfy limits: Value "equal" is invalid [="None" (or) ="LessThan" (or) )"
	     R"(="MoreThan" (or) ="Equal" (or) ="NotEqual" (or) ="LessThanOrEqual" (or) ="MoreThanOrEqual"] // Value )"
	     R"("equal" is invalid [="None" (or) ="LessThan" (or) ="MoreThan" (or) ="Equal" (or) ="NotEqual" (or) )"
	     R"(="LessThanOrEqual" (or) ="MoreThanOrEqual"] // none of the conditions were satisfied)"},
	    {R"([{"type": "Equal"}])", "Value type 'object' of member '[0]' is not convertible to type 'array'"},
	    {R"([[null]])", "Value of member '[0].[0]' is null, but the schema demands 'object'"},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.json);
		EXPECT_EQ(SchemaErrorOf([&] { schema.TestThrow(Parse(c.json)); }),
		          c.error.empty() ? "" : "VALUE_NOT_VALID: " + c.error);
	}
}

TEST(ParameterLimitsTest, SchemaIsBuiltOnceAcrossThreads)
{
	std::vector<std::thread> threads;
	std::vector<const JsonSchema*> seen(4, nullptr);
	for (size_t i = 0; i < seen.size(); ++i)
		threads.emplace_back([&seen, i] { seen[i] = &ParameterLimits::Schema(); });
	for (std::thread& t : threads)
		t.join();
	for (const JsonSchema* s : seen)
		EXPECT_EQ(s, &ParameterLimits::Schema());
}

TEST(ParameterLimitsTest, ConvertibilityCoversSixtyFourBits)
{
	struct Case
	{
		std::string value;
		bool toInt, toUInt;
	};
	const Case cases[] = {
	    {"5000000000", true, true},
	    {"-5000000000", true, false},
	    {"9223372036854775807", true, true},
	    {"-9223372036854775808", true, false},
	    {"18446744073709551615", false, true},
	    {"-1", true, false},
	    {"2.5", true, true},
	    {"-0.5", true, false},
	    {"9.3e18", false, true},
	    {"1.9e19", false, false},
	    {"true", true, true},
	    {"null", true, true},
	    {"\"1\"", false, false},
	    {"[]", false, false},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.value);
		const Json::Value value = Parse(c.value);
		EXPECT_EQ(jsonutils::IsConvertible(value, Json::intValue), c.toInt);
		EXPECT_EQ(jsonutils::IsConvertible(value, Json::uintValue), c.toUInt);
		// Other kinds follow the JSON library.
		for (const auto kind : {Json::nullValue, Json::realValue, Json::stringValue, Json::booleanValue,
		                        Json::arrayValue, Json::objectValue})
			EXPECT_EQ(jsonutils::IsConvertible(value, kind), value.isConvertibleTo(kind)) << kind;
	}
	const std::vector<std::string> names = {"null", "int", "uint", "real", "string", "bool", "array", "object"};
	for (int kind = Json::nullValue; kind <= Json::objectValue; ++kind)
		EXPECT_EQ(jsonutils::KindName(static_cast<Json::ValueType>(kind)), names[static_cast<size_t>(kind)]);
}
