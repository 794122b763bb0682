#pragma once
// Value limits: one comparison of a JSON value against a bound (ValueLimit), an OR-group of them
// (ValueLimitList) and an AND-list of groups with a numeric step (ParameterLimits). Schema leaves
// and parameters check their values with them.
//
// JSON form: [[{"type": "MoreThanOrEqual", "value": 1}], [{"type": "LessThan", "value": 65536}]]
// means at least 1 and below 65536.

#include "common/Enums.h"

#include <json/json.h>

#include <cstdint>
#include <initializer_list>
#include <list>
#include <string>

class JsonSchema;

// Bit sets: 1 less, 2 more, 4 equal, 8 not equal.
NAMED_ENUM(ELimitType, int32_t, None, LessThan = 1, MoreThan = 2, Equal = 4, NotEqual = 8,
           LessThanOrEqual = LessThan | Equal, MoreThanOrEqual = MoreThan | Equal);

// Kinds of JSON values as the limits and the schema see them.
namespace jsonutils
{
// "null", "int", "uint", "real", "string", "bool", "array", "object".
const char* KindName(Json::ValueType kind);
// The JSON library's convertibility, except that int and uint cover their whole 64-bit range (the
// library stops at 32 bits, which would refuse most 64-bit settings).
bool IsConvertible(const Json::Value& value, Json::ValueType kind);
// Reads the value as a 64-bit integer (reals truncated); false when it is out of range or not a
// number, bool or null.
bool ToInt64(const Json::Value& value, int64_t& out);
bool ToUInt64(const Json::Value& value, uint64_t& out);
// One line of JSON without a trailing line feed.
std::string Compact(const Json::Value& value);
} // namespace jsonutils

struct ValueLimit
{
	ELimitType Type = ELimitType::None;
	// The bound; its kind decides how values are compared.
	Json::Value Value;

	ValueLimit() = default;
	// Throws SchemaError BAD_SCHEMA for a type that is both Equal and NotEqual.
	ValueLimit(ELimitType type, const Json::Value& limit);
	// Reads {"type": <name, any case>, "value": <bound>}; anything else leaves None with a null bound.
	explicit ValueLimit(const Json::Value& val);

	// outError (may be null) receives the reason of a failure and is untouched on success.
	bool Test(const Json::Value& val, std::string* outError = nullptr) const;
	Json::Value ToJSON() const;
	// Comparator and bound, such as ">=1"; empty for None.
	std::string ToString() const;

	bool operator==(const ValueLimit& rhs) const { return Type == rhs.Type && Value == rhs.Value; }
	bool operator!=(const ValueLimit& rhs) const { return !(*this == rhs); }
};

// Passes when one of its limits passes (or all of them, when asked to).
class ValueLimitList : public std::list<ValueLimit>
{
public:
	ValueLimitList() = default;
	ValueLimitList(const std::list<ValueLimit>& limits) : std::list<ValueLimit>(limits) {}
	ValueLimitList(std::initializer_list<ValueLimit> limits) : std::list<ValueLimit>(limits) {}

	bool Test(const Json::Value& val, bool bMustSatisfyAll, std::string* outError = nullptr) const;
	// The limits other than None, joined with " (or) ".
	std::string Description() const;
	// True when the group lists allowed values: not empty and only Equal limits.
	bool IsOnlyOptions() const;
};

// Passes when every group passes.
class ParameterLimits : public std::list<ValueLimitList>
{
public:
	// Numeric step: the schema rounds numbers to multiples of it, TestNoThrow steps inside strict
	// bounds by it. 0 or less means none.
	double Interval = 0;

	bool Test(const Json::Value& val, std::string* outError = nullptr) const;
	// val when it passes, otherwise an acceptable replacement (fallback first), otherwise null.
	Json::Value TestNoThrow(const Json::Value& val, const Json::Value& fallback = Json::Value()) const;

	// Appends a group holding only limit; None is ignored.
	void Add(const ValueLimit& limit);
	// Appends a copy of the group; an empty one is ignored.
	void AddList(const ValueLimitList& limits);
	// Appends the groups of lim; its Interval is not taken.
	void Merge(const ParameterLimits& lim);

	// Group descriptions joined with " AND ".
	std::string Description() const;
	Json::Value ToJSON() const;
	// Appends the groups of the JSON form; malformed entries are skipped or read as None limits.
	void FillFromJSON(const Json::Value& val);
	// The first group that lists allowed values, or an empty group.
	ValueLimitList GetOptions() const;

	// The argument after a comparator in a written limit (the 5 of "<=5") as a JSON value; throws
	// SchemaError BAD_SCHEMA for an empty or invalid text.
	static Json::Value parseBlock(const std::string& block);
	// The schema of the JSON form, built on first use.
	static const JsonSchema& Schema();

	bool operator==(const ParameterLimits& rhs) const;
	bool operator!=(const ParameterLimits& rhs) const { return !(*this == rhs); }
};
