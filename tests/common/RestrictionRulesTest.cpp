#include "common/RestrictionRules.h"

#include "common/JsonSchema.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
Json::Value Parse(const std::string& text)
{
	Json::Value value;
	Json::Reader reader;
	EXPECT_TRUE(reader.parse(text, value)) << text;
	return value;
}

ParameterLimits AtLeast(int bound)
{
	ParameterLimits limits;
	limits.Add(ValueLimit(ELimitType::MoreThanOrEqual, Json::Value(bound)));
	return limits;
}
} // namespace

TEST(RestrictionRulesTest, FlagNamesAndValues)
{
	EXPECT_EQ(EParameterRestrictions::All, EParameterRestrictions::Uneditable | EParameterRestrictions::RamClear |
	                                           EParameterRestrictions::LogicDoor | EParameterRestrictions::Hidden);
	const auto hidden = EParameterRestrictions::_from_string_nocase_nothrow("hIdDeN");
	ASSERT_TRUE(hidden.has_value());
	EXPECT_EQ(1024, hidden->_to_integral());
	EXPECT_FALSE(EParameterRestrictions::_from_string_nocase_nothrow("nothing").has_value());
}

TEST(RestrictionRulesTest, FromJSON)
{
	struct Case
	{
		const char* Label;
		const char* Json;
		int64_t Restriction;
		size_t LimitGroups;
	};
	const Case cases[] = {
	    {"name, any case", R"({"restriction": "hidden"})", 1024, 0},
	    {"unknown name", R"({"restriction": "nothing"})", 0, 0},
	    {"bits outside All dropped", R"({"restriction": 4095})", 1031, 0},
	    {"negative integer ignored", R"({"restriction": -1})", 0, 0},
	    {"real ignored", R"({"restriction": 1.0})", 0, 0},
	    {"bool ignored", R"({"restriction": true})", 0, 0},
	    {"limits only", R"({"limits": [[{"type": "MoreThan", "value": 1}]]})", 0, 1},
	    {"both, other members ignored",
	     R"({"restriction": "Uneditable", "limits": [[{"type": "LessThan", "value": 9}]], "x": 1})", 1, 1},
	    {"not an object", R"([1, 2])", 0, 0},
	};
	for (const Case& c : cases)
	{
		SCOPED_TRACE(c.Label);
		const ParameterRule rule = ParameterRule::FromJSON(Parse(c.Json));
		EXPECT_EQ(c.Restriction, rule.Restriction);
		EXPECT_EQ(c.LimitGroups, rule.Limits.size());
		EXPECT_EQ(c.Restriction == 0 && c.LimitGroups == 0, !rule);
		EXPECT_EQ(!rule, !static_cast<bool>(rule));
	}
}

TEST(RestrictionRulesTest, EmptinessAndAddition)
{
	ParameterRule hidden;
	hidden.Restriction = EParameterRestrictions::Hidden;
	ParameterRule limited;
	limited.Limits = AtLeast(3);
	EXPECT_TRUE(!ParameterRule());
	EXPECT_TRUE(static_cast<bool>(limited));

	ParameterRule uneditable;
	uneditable.Restriction = EParameterRestrictions::Uneditable;
	uneditable.Limits = AtLeast(5);
	const ParameterRule sum = hidden + uneditable;
	EXPECT_EQ(1025, sum.Restriction);
	EXPECT_EQ(AtLeast(5), sum.Limits);
	EXPECT_EQ(1024, hidden.Restriction) << "operator+ leaves its operands alone";

	ParameterRule replaced = limited;
	replaced += hidden;
	EXPECT_EQ(1024, replaced.Restriction);
	EXPECT_TRUE(replaced.Limits.empty()) << "the added rule's limits replace the old ones";
}

TEST(RestrictionRulesTest, FindByPattern)
{
	EXPECT_TRUE(!ParameterRuleset().Find(JsonPath("anything")));

	ParameterRuleset rules;
	rules[JsonPathPattern("tls.*")].Restriction = EParameterRestrictions::Hidden;
	rules[JsonPathPattern("port")].Restriction = EParameterRestrictions::Uneditable;
	struct Case
	{
		const char* Path;
		int64_t Restriction;
	};
	const Case cases[] = {{"port", 1}, {"tls.key", 1024}, {"tls.key.file", 1024}, {"threads", 0}, {"portx", 0}};
	for (const Case& c : cases)
	{
		SCOPED_TRACE(c.Path);
		EXPECT_EQ(c.Restriction, rules.Find(JsonPath(c.Path)).Restriction);
	}
}

TEST(RestrictionRulesTest, RulesetAddition)
{
	ParameterRuleset a;
	a[JsonPathPattern("x")].Restriction = EParameterRestrictions::Hidden;
	ParameterRuleset b;
	b[JsonPathPattern("x")].Restriction = EParameterRestrictions::Uneditable;
	b[JsonPathPattern("y")].Restriction = EParameterRestrictions::LogicDoor;

	const ParameterRuleset sum = a + b;
	ASSERT_EQ(2u, sum.size());
	EXPECT_EQ(1025, sum.Find(JsonPath("x")).Restriction);
	EXPECT_EQ(4, sum.Find(JsonPath("y")).Restriction);
	EXPECT_EQ(1u, a.size());

	a += a;
	EXPECT_EQ(1024, a.Find(JsonPath("x")).Restriction);
}

TEST(RestrictionRulesTest, ApplyMergesLimitsIntoMatchingNodes)
{
	JsonSchema schema(Json::objectValue, "settings");
	schema.AddMember("port", JsonSchema(Json::intValue, "port"));
	schema.AddMember("name", JsonSchema(Json::stringValue, "name"));

	ParameterRuleset rules;
	rules[JsonPathPattern("port")].Limits = AtLeast(1);
	rules[JsonPathPattern("port")].Restriction = EParameterRestrictions::Hidden;
	rules.Apply(schema);

	const ParameterLimits& merged = schema.GetMember("port").GetLimits();
	ASSERT_EQ(1u, merged.size());
	EXPECT_EQ(AtLeast(1).Description(), merged.Description());
	EXPECT_TRUE(schema.GetMember("name").GetLimits().empty());
}
