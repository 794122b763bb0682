#include "common/JsonSchema.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

const JsonSchema JsonSchema::Empty{};

namespace
{
constexpr double TwoPow64 = 18446744073709551616.0;
constexpr uint64_t TwoPow63 = uint64_t{1} << 63;

std::string Kind(Json::ValueType kind)
{
	return jsonutils::KindName(kind);
}

// A value of a convertible kind stored as the schema's own kind.
Json::Value ConvertTo(const Json::Value& value, Json::ValueType type)
{
	if (value.type() == type)
		return value;
	switch (type)
	{
		case Json::intValue:
		{
			int64_t v = 0;
			jsonutils::ToInt64(value, v);
			return Json::Value(Json::Int64{v});
		}
		case Json::uintValue:
		{
			uint64_t v = 0;
			jsonutils::ToUInt64(value, v);
			return Json::Value(Json::UInt64{v});
		}
		case Json::realValue:
			return Json::Value(value.asDouble());
		case Json::stringValue:
			return Json::Value(value.asString());
		case Json::booleanValue:
			return Json::Value(value.asBool());
		default:
			return value;
	}
}

// Rounds a magnitude to the nearest multiple of interval (> 0), halves up. Whole intervals are
// exact; others go through doubles. False when the result would exceed max.
bool RoundMagnitude(uint64_t magnitude, double interval, uint64_t max, uint64_t& out)
{
	if (interval == std::floor(interval))
	{
		if (interval >= TwoPow64)
		{
			// The nearest multiple is 0 or the interval itself, which no 64-bit value reaches.
			const double half = interval / 2;
			if (half >= TwoPow64 || magnitude < static_cast<uint64_t>(half))
			{
				out = 0;
				return true;
			}
			return false;
		}
		const auto step = static_cast<uint64_t>(interval);
		uint64_t quotient = magnitude / step;
		const uint64_t remainder = magnitude % step;
		if (remainder >= step - remainder)
			++quotient;
		if (quotient > max / step)
			return false;
		out = quotient * step;
		return true;
	}
	const double quotient = static_cast<double>(magnitude) / interval;
	// Below the resolution of doubles every value is already a multiple.
	if (!std::isfinite(quotient))
	{
		if (magnitude > max)
			return false;
		out = magnitude;
		return true;
	}
	const double rounded = std::round(quotient) * interval;
	if (!(rounded < TwoPow64))
		return false;
	const auto result = static_cast<uint64_t>(rounded);
	if (result > max)
		return false;
	out = result;
	return true;
}

// Writes an interval the way a reader would: whole numbers without a fraction.
std::string IntervalText(double interval)
{
	if (interval == std::floor(interval) && interval < TwoPow64)
		return std::to_string(static_cast<uint64_t>(interval));
	return jsonutils::Compact(Json::Value(interval));
}
} // namespace

JsonSchema::JsonSchema(Json::ValueType type, const std::string& description, const Json::Value& defaultVal,
                       bool bRequired)
    : Type(type), Description(description), bOptional(!bRequired), bExplicitContainerDefault(!bRequired)
{
	if (!defaultVal.isNull())
	{
		if (Type == Json::nullValue)
			Type = defaultVal.type();
		SetDefault(defaultVal);
	}
	if (Type == Json::intValue || Type == Json::uintValue)
		Limits.Interval = 1.0;
}

JsonSchema::JsonSchema(Json::ValueType type, const char* description, const Json::Value& defaultVal, bool bRequired)
    : JsonSchema(type, std::string(description != nullptr ? description : ""), defaultVal, bRequired)
{
}

JsonSchema::JsonSchema(Json::ValueType type, const std::string& description)
    : JsonSchema(type, description, Json::Value(), true)
{
}

JsonSchema::JsonSchema(Json::ValueType type, const char* description)
    : JsonSchema(type, description, Json::Value(), true)
{
}

JsonSchema::JsonSchema(const std::map<std::string, JsonSchema>& members, const std::string& description, bool bRequired)
    : JsonSchema(Json::objectValue, description, Json::Value(), bRequired)
{
	for (const auto& [name, schema] : members)
		AddMember(JsonPath(name), schema);
}

JsonSchema::JsonSchema(const JsonSchema& copy)
    : Scope(copy.Scope), Type(copy.Type), Members(copy.Members),
      ChildSchema(copy.ChildSchema != nullptr ? std::make_unique<JsonSchema>(*copy.ChildSchema) : nullptr),
      LimitNumChildren(copy.LimitNumChildren), EditConditions(copy.EditConditions), Limits(copy.Limits),
      Description(copy.Description), bOptional(copy.bOptional),
      bExplicitContainerDefault(copy.bExplicitContainerDefault), DefaultValue(copy.DefaultValue)
{
}

JsonSchema::JsonSchema(const JsonSchema& copy, bool bRequired) : JsonSchema(copy)
{
	bOptional = !bRequired;
}

JsonSchema& JsonSchema::operator=(const JsonSchema& rhs)
{
	// Copy first: rhs may live inside this schema, and a failed copy leaves this one intact.
	JsonSchema copy(rhs);
	*this = std::move(copy);
	return *this;
}

JsonSchema& JsonSchema::AddMember(const JsonPath& memberName, const JsonSchema& schema)
{
	if (memberName.IsEmpty())
		throw SchemaError(BAD_SCHEMA, "Cannot add an empty member!");
	const JsonPath::Argument& first = memberName.First();
	if (first.IsName() && Type != Json::objectValue)
		throw SchemaError(BAD_SCHEMA, "Cannot add a member to a non-object schema!");
	if (first.IsIndex() && Type != Json::arrayValue)
		throw SchemaError(BAD_SCHEMA, "Can't add an array member to a non-array schema!");

	auto found = Members.find(first);
	if (memberName.NumParts() == 1)
	{
		if (found == Members.end())
		{
			Members.emplace(first, schema);
			return *this;
		}
		if (found->second.Type == Json::objectValue && schema.Type == Json::objectValue)
		{
			found->second += schema;
			return *this;
		}
		throw SchemaError(BAD_SCHEMA,
		                  "Member '" + memberName.ToString() + "' already exist and cannot be overwritten!");
	}

	const Json::ValueType needed = memberName.Parts()[1].IsName() ? Json::objectValue : Json::arrayValue;
	if (found == Members.end())
		found = Members.emplace(first, JsonSchema(needed, "", Json::Value(), !schema.bOptional)).first;
	else if (found->second.Type != needed)
		throw SchemaError(BAD_SCHEMA,
		                  "Member path '" + memberName.ToString() +
		                      "' requires a member to be made of an non-object value, which can not happen!");
	found->second.AddMember(memberName.Splice(1), schema);
	return *this;
}

void JsonSchema::RemoveMember(const JsonPath& name)
{
	if (name.IsEmpty())
		throw SchemaError(VALUE_NOT_VALID, "Cannot remove an empty member path!");
	JsonSchema* parent = this;
	for (size_t i = 0; i + 1 < name.NumParts(); ++i)
	{
		const auto found = parent->Members.find(name.Parts()[i]);
		if (found == parent->Members.end())
			throw SchemaError(VALUE_NOT_VALID, "No such member!");
		parent = &found->second;
	}
	if (parent->Members.erase(name.Last()) == 0)
		throw SchemaError(VALUE_NOT_VALID, "No such member!");
}

void JsonSchema::SetDefault(const Json::Value& defaultVal)
{
	if (defaultVal.isNull())
	{
		DefaultValue = Json::Value();
		return;
	}
	// A schema without a type accepts any value, so any default.
	if (Type != Json::nullValue && !jsonutils::IsConvertible(defaultVal, Type))
		throw SchemaError(BAD_SCHEMA, "Default value not convertible to schema type");
	DefaultValue = ConvertTo(defaultVal, Type);
}

JsonSchema& JsonSchema::SetInterval(double interval)
{
	Limits.Interval = interval;
	return *this;
}

JsonSchema& JsonSchema::operator!()
{
	Scope = ESchemaScopeType::Exported;
	return *this;
}

JsonSchema& JsonSchema::SetChildSchema(const JsonSchema& schema, unsigned int minNumChildren,
                                       unsigned int maxNumChildren)
{
	if (!IsContainer())
		throw SchemaError(BAD_SCHEMA,
		                  "Cannot have a child option for a literal value - only supported for arrays and objects!");
	ChildSchema = std::make_unique<JsonSchema>(schema);
	LimitNumChildren = {minNumChildren, maxNumChildren};
	return *this;
}

JsonSchema& JsonSchema::AddConstraint(const ValueLimit& limit)
{
	Limits.Add(limit);
	return *this;
}

JsonSchema& JsonSchema::AddConstraints(const ValueLimitList& limits)
{
	Limits.AddList(limits);
	return *this;
}

void JsonSchema::RemoveLastConstraint()
{
	if (!Limits.empty())
		Limits.pop_back();
}

JsonSchema& JsonSchema::SetPossibleVals(const std::list<Json::Value>& possibleValues)
{
	if (Type == Json::nullValue || Type == Json::booleanValue || IsContainer())
		throw SchemaError(BAD_SCHEMA, "Cannot add possible values to objects, arrays or boolean types");
	ValueLimitList options;
	for (const Json::Value& value : possibleValues)
	{
		if (!jsonutils::IsConvertible(value, Type))
			throw SchemaError(BAD_SCHEMA, "Type of possible value '" + Kind(value.type()) +
			                                  "' is incompatible with schema type '" + Kind(Type) + "'");
		options.emplace_back(ELimitType::Equal, ConvertTo(value, Type));
	}
	return AddConstraints(options);
}

JsonSchema& JsonSchema::AddEditCondition(const JsonPath& path, const ValueLimit& val)
{
	EditConditions[path].push_back(val);
	return *this;
}

JsonSchema& JsonSchema::Modify(const std::function<void(JsonSchema&)>& modify_code)
{
	if (modify_code)
		modify_code(*this);
	return *this;
}

JsonSchema& JsonSchema::operator+=(const JsonSchema& other)
{
	if (other.Type == Json::nullValue)
		return *this;
	if (&other == this)
		return *this += JsonSchema(other);
	if (Type == Json::nullValue)
		return *this = other;
	if (Type != Json::objectValue || other.Type != Json::objectValue)
		throw SchemaError(BAD_SCHEMA, "Cannot sum two non-object schemas!");
	for (const auto& [arg, member] : other.Members)
		AddMember(JsonPath(arg), member);
	return *this;
}

JsonSchema& JsonSchema::operator-=(const JsonSchema& other)
{
	if (Type != Json::objectValue || other.Type != Json::objectValue)
		throw SchemaError(BAD_SCHEMA, "Cannot subtract two non-object schemas!");
	// Leaf paths only: none lies below another, so no removal takes away a later one's parent.
	for (const JsonPath& name : other.GetMemberNames(true))
		RemoveMember(name);
	return *this;
}

bool JsonSchema::operator==(const JsonSchema& rhs) const
{
	const bool bSameChild = ChildSchema != nullptr && rhs.ChildSchema != nullptr
	                            ? *ChildSchema == *rhs.ChildSchema
	                            : ChildSchema == nullptr && rhs.ChildSchema == nullptr;
	return bSameChild && Type == rhs.Type && Scope == rhs.Scope && Members == rhs.Members &&
	       LimitNumChildren == rhs.LimitNumChildren && Limits == rhs.Limits && Description == rhs.Description &&
	       bOptional == rhs.bOptional && DefaultValue == rhs.DefaultValue;
}

JsonSchema operator+(const JsonSchema& a, const JsonSchema& b)
{
	JsonSchema sum(a);
	sum += b;
	return sum;
}

JsonSchema operator-(const JsonSchema& a, const JsonSchema& b)
{
	JsonSchema difference(a);
	difference -= b;
	return difference;
}

const JsonSchema& JsonSchema::GetMember(const JsonPath& name) const
{
	const JsonSchema* node = this;
	for (size_t i = 0; i < name.NumParts(); ++i)
	{
		const auto found = node->Members.find(name.Parts()[i]);
		if (found == node->Members.end())
			throw SchemaError(VALUE_NOT_VALID, "Member '" + name.Splice(i).ToString() + "' doesn't exist!");
		node = &found->second;
	}
	return *node;
}

JsonSchema& JsonSchema::Member(const JsonPath& name)
{
	return const_cast<JsonSchema&>(static_cast<const JsonSchema*>(this)->GetMember(name));
}

bool JsonSchema::IsMember(const JsonPath& path) const
{
	const JsonSchema* node = this;
	for (const JsonPath::Argument& arg : path.Parts())
	{
		const auto found = node->Members.find(arg);
		if (found == node->Members.end())
			return false;
		node = &found->second;
	}
	return true;
}

std::set<JsonPath> JsonSchema::GetMemberNames(bool bGoThroughSubTrees) const
{
	std::set<JsonPath> names;
	if (bGoThroughSubTrees)
	{
		CollectLeafNames(JsonPath(), names);
		return names;
	}
	for (const auto& member : Members)
		names.emplace(member.first);
	return names;
}

void JsonSchema::CollectLeafNames(const JsonPath& base, std::set<JsonPath>& out) const
{
	for (const auto& [arg, member] : Members)
	{
		JsonPath path = base.Child(arg);
		if (member.Members.empty())
			out.insert(std::move(path));
		else
			member.CollectLeafNames(path, out);
	}
}

const JsonSchema& JsonSchema::GetChildSchema() const
{
	if (ChildSchema == nullptr)
		throw SchemaError(BAD_SCHEMA, "No child schema exists");
	return *ChildSchema;
}

JsonSchema& JsonSchema::GetChildSchema()
{
	return const_cast<JsonSchema&>(static_cast<const JsonSchema*>(this)->GetChildSchema());
}

void JsonSchema::ForEachChildMatching(const JsonPathPattern& pattern,
                                      const std::function<void(const JsonPath&, JsonSchema&)>& worker)
{
	ForEachChildMatching(static_cast<const JsonPath&>(pattern), JsonPath(), worker);
}

void JsonSchema::ForEachChildMatching(const JsonPath& pattern, const JsonPath& base,
                                      const std::function<void(const JsonPath&, JsonSchema&)>& worker)
{
	if (pattern.IsEmpty())
	{
		worker(base, *this);
		return;
	}
	if (!IsContainer())
		return;
	const JsonPath rest = pattern.Splice(1);
	for (auto& [arg, member] : Members)
	{
		if (JsonPathPattern::ArgMatch(pattern.First(), arg))
			member.ForEachChildMatching(rest, base.Child(arg), worker);
	}
}

void JsonSchema::TestThrow(const Json::Value& value) const
{
	TestInternal(value, JsonPath());
}

bool JsonSchema::Test(const Json::Value& value) const
{
	try
	{
		TestThrow(value);
		return true;
	}
	catch (const SchemaError&)
	{
		return false;
	}
}

void JsonSchema::TestInternal(const Json::Value& value, const JsonPath& path) const
{
	if (Type == Json::nullValue)
		return;
	if (value.isNull())
	{
		if (!bOptional)
		{
			if (path.IsEmpty())
				throw SchemaError(VALUE_NOT_VALID, "Root value is null, but the schema demands '" + Kind(Type) + "'");
			throw SchemaError(VALUE_NOT_VALID, "Value of member '" + path.ToString() +
			                                       "' is null, but the schema demands '" + Kind(Type) + "'");
		}
		if (!DefaultValue.isNull())
			TestInternal(DefaultValue, path);
		return;
	}
	if (value.type() != Type && !jsonutils::IsConvertible(value, Type))
	{
		if (path.IsEmpty())
			throw SchemaError(VALUE_NOT_VALID, "Root value type '" + Kind(value.type()) +
			                                       "' is not convertible to type '" + Kind(Type) + "'");
		throw SchemaError(VALUE_NOT_VALID, "Value type '" + Kind(value.type()) + "' of member '" + path.ToString() +
		                                       "' is not convertible to type '" + Kind(Type) + "'");
	}
	if (IsContainer())
		TestContainer(value, path);
	else
		TestLeaf(value, path);
}

void JsonSchema::TestContainer(const Json::Value& value, const JsonPath& path) const
{
	static const Json::Value missing;
	for (const auto& [arg, member] : Members)
	{
		const Json::Value* child = arg.Resolve(value);
		if (child == nullptr && !member.bOptional)
			throw SchemaError(VALUE_NOT_VALID, "Missing required member '" + path.Child(arg).ToString() +
			                                       "' of type '" + Kind(member.Type) + "'");
		member.TestInternal(child != nullptr ? *child : missing, path.Child(arg));
	}

	if (ChildSchema != nullptr)
	{
		// Children in argument order: indices ascending, names in byte order.
		if (value.isArray())
		{
			for (Json::ArrayIndex i = 0; i < value.size(); ++i)
			{
				const JsonPath::Argument arg(i);
				if (Members.count(arg) == 0)
					ChildSchema->TestInternal(value[i], path.Child(arg));
			}
		}
		else
		{
			std::vector<std::string> names = value.getMemberNames();
			std::sort(names.begin(), names.end());
			for (const std::string& name : names)
			{
				const JsonPath::Argument arg(name);
				if (Members.count(arg) == 0)
					ChildSchema->TestInternal(*arg.Resolve(value), path.Child(arg));
			}
		}
	}

	const unsigned int numChildren = value.size();
	if (LimitNumChildren.first != 0 && numChildren < LimitNumChildren.first)
		throw SchemaError(VALUE_NOT_VALID, "Value of member '" + path.ToString() +
		                                       "' does not have enough members (should have min " +
		                                       std::to_string(LimitNumChildren.first) + ")");
	if (LimitNumChildren.second != 0 && numChildren > LimitNumChildren.second)
		throw SchemaError(VALUE_NOT_VALID, "Value of member '" + path.ToString() +
		                                       "' has too many members (should have max " +
		                                       std::to_string(LimitNumChildren.second) + ")");
}

void JsonSchema::TestLeaf(const Json::Value& value, const JsonPath& path) const
{
	Json::Value rounded;
	const Json::Value* tested = &value;
	const bool bNumber = Type == Json::intValue || Type == Json::uintValue || Type == Json::realValue;
	if (bNumber && Limits.Interval > 0)
	{
		if (!RoundToInterval(value, Type, Limits.Interval, rounded))
		{
			const std::string tail = " cannot be rounded to a multiple of " + IntervalText(Limits.Interval) +
			                         " within the range of type '" + Kind(Type) + "'";
			if (path.IsEmpty())
				throw SchemaError(VALUE_NOT_VALID, "Root value " + jsonutils::Compact(value) + tail);
			throw SchemaError(VALUE_NOT_VALID,
			                  "Value " + jsonutils::Compact(value) + " of member '" + path.ToString() + "'" + tail);
		}
		tested = &rounded;
	}
	std::string error;
	if (!Limits.Test(*tested, &error))
		throw SchemaError(VALUE_NOT_VALID, "Member '" + path.ToString() + "' doesn't satisfy limits: " + error);
}

bool JsonSchema::RoundToInterval(const Json::Value& value, Json::ValueType type, double interval, Json::Value& out)
{
	const bool bRound = interval > 0;
	switch (type)
	{
		case Json::realValue:
		{
			if (!value.isConvertibleTo(Json::realValue))
				return false;
			double x = value.asDouble();
			if (bRound)
			{
				const double quotient = x / interval;
				// Below the resolution of doubles every value is already a multiple.
				if (std::isfinite(quotient))
				{
					const double result = std::round(quotient) * interval;
					if (!std::isfinite(result) && std::isfinite(x))
						return false;
					x = result;
				}
			}
			out = Json::Value(x);
			return true;
		}
		case Json::intValue:
		{
			int64_t v = 0;
			if (!jsonutils::ToInt64(value, v))
				return false;
			if (bRound)
			{
				const bool bNegative = v < 0;
				// Unsigned negation: the magnitude of INT64_MIN does not fit in int64_t.
				const uint64_t magnitude =
				    bNegative ? uint64_t{0} - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
				uint64_t result = 0;
				if (!RoundMagnitude(magnitude, interval, bNegative ? TwoPow63 : TwoPow63 - 1, result))
					return false;
				v = !bNegative           ? static_cast<int64_t>(result)
				    : result == TwoPow63 ? INT64_MIN
				                         : -static_cast<int64_t>(result);
			}
			out = Json::Value(Json::Int64{v});
			return true;
		}
		case Json::uintValue:
		{
			uint64_t v = 0;
			if (!jsonutils::ToUInt64(value, v))
				return false;
			if (bRound && !RoundMagnitude(v, interval, UINT64_MAX, v))
				return false;
			out = Json::Value(Json::UInt64{v});
			return true;
		}
		default:
			out = value;
			return true;
	}
}
