#pragma once
// Restriction rules: who may change or see a parameter (flag bits) and which values it accepts
// (limits). A ruleset keys rules by path pattern so one rule covers many parameters or schema nodes.

#include "common/Enums.h"
#include "common/JsonPath.h"
#include "common/ParameterLimits.h"

#include <json/json.h>

#include <cstdint>
#include <map>

class JsonSchema;

NAMED_ENUM(EParameterRestrictions, int64_t, None = 0, Uneditable = 1, RamClear = 2, LogicDoor = 4, Hidden = 1024,
           All = 1031);

struct ParameterRule
{
	// A set of EParameterRestrictions bits.
	int64_t Restriction = 0;
	ParameterLimits Limits;

	// Reads the optional members "limits" and "restriction" (a flag name or an unsigned bit set).
	static ParameterRule FromJSON(const Json::Value& val);

	bool IsEmpty() const { return Restriction == 0 && Limits.empty(); }
	explicit operator bool() const { return !IsEmpty(); }
	bool operator!() const { return IsEmpty(); }

	// ORs the flags; the limits are replaced by rhs's.
	ParameterRule& operator+=(const ParameterRule& rhs);
};

ParameterRule operator+(const ParameterRule& a, const ParameterRule& b);

class ParameterRuleset : public std::map<JsonPathPattern, ParameterRule>
{
public:
	// The rule of the first pattern (in map order) that matches path; the empty rule otherwise.
	ParameterRule Find(const JsonPath& path) const;
	// New patterns are inserted, known ones get the other rule added.
	ParameterRuleset& operator+=(const ParameterRuleset& other);
	// Merges each rule's limits into the schema nodes its pattern matches; flags are not applied.
	void Apply(JsonSchema& schema) const;
};

ParameterRuleset operator+(const ParameterRuleset& a, const ParameterRuleset& b);
