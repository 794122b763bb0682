#include "common/RestrictionRules.h"

#include "common/JsonSchema.h"

ParameterRule ParameterRule::FromJSON(const Json::Value& val)
{
	ParameterRule rule;
	if (!val.isObject())
		return rule;

	if (val.isMember("limits"))
		rule.Limits.FillFromJSON(val["limits"]);

	const Json::Value& restriction = val["restriction"];
	if (restriction.isString())
	{
		const std::string name = restriction.asString();
		if (const auto flag = EParameterRestrictions::_from_string_nocase_nothrow(name.c_str()))
			rule.Restriction = flag->_to_integral();
	}
	else if ((restriction.type() == Json::intValue || restriction.type() == Json::uintValue) && restriction.isUInt64())
	{
		// Bits outside the known flags are dropped rather than kept as unknown restrictions.
		rule.Restriction =
		    static_cast<int64_t>(restriction.asUInt64() & static_cast<uint64_t>(EParameterRestrictions::All));
	}
	return rule;
}

ParameterRule& ParameterRule::operator+=(const ParameterRule& rhs)
{
	Restriction |= rhs.Restriction;
	Limits = rhs.Limits;
	return *this;
}

ParameterRule operator+(const ParameterRule& a, const ParameterRule& b)
{
	ParameterRule sum = a;
	sum += b;
	return sum;
}

ParameterRule ParameterRuleset::Find(const JsonPath& path) const
{
	for (const auto& entry : *this)
	{
		if (entry.first.Match(path))
			return entry.second;
	}
	return ParameterRule();
}

ParameterRuleset& ParameterRuleset::operator+=(const ParameterRuleset& other)
{
	if (this == &other)
	{
		const ParameterRuleset copy = other;
		return *this += copy;
	}
	for (const auto& entry : other)
	{
		const auto inserted = emplace(entry.first, entry.second);
		if (!inserted.second)
			inserted.first->second += entry.second;
	}
	return *this;
}

void ParameterRuleset::Apply(JsonSchema& schema) const
{
	for (const auto& entry : *this)
	{
		const ParameterLimits& limits = entry.second.Limits;
		schema.ForEachChildMatching(entry.first,
		                            [&limits](const JsonPath&, JsonSchema& node) { node.GetLimits().Merge(limits); });
	}
}

ParameterRuleset operator+(const ParameterRuleset& a, const ParameterRuleset& b)
{
	ParameterRuleset sum = a;
	sum += b;
	return sum;
}
