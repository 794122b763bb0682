#include "common/ParameterLimits.h"

#include "common/JsonSchema.h"

#include <memory>

namespace
{
constexpr int32_t LessBit = ELimitType::LessThan;
constexpr int32_t MoreBit = ELimitType::MoreThan;
constexpr int32_t EqualBit = ELimitType::Equal;
constexpr int32_t NotEqualBit = ELimitType::NotEqual;
constexpr int32_t RangeBits = LessBit | MoreBit;

// 2^63 and 2^64, exactly representable; a double below them converts without overflow.
constexpr double TwoPow63 = 9223372036854775808.0;
constexpr double TwoPow64 = 18446744073709551616.0;

const char* Comparator(int32_t type)
{
	switch (type)
	{
		case ELimitType::LessThan:
			return "<";
		case ELimitType::MoreThan:
			return ">";
		case ELimitType::Equal:
			return "=";
		case ELimitType::LessThanOrEqual:
			return "<=";
		case ELimitType::MoreThanOrEqual:
			return ">=";
		case ELimitType::NotEqual:
			return "!=";
		default:
			return "";
	}
}

// Applies the bits of a limit type to two values of one kind.
template <typename T>
bool Compare(const T& value, const T& bound, int32_t type)
{
	bool ok = false;
	if ((type & EqualBit) != 0)
		ok = value == bound;
	else if ((type & NotEqualBit) != 0)
		ok = value != bound;
	if ((type & RangeBits) == LessBit)
		ok = ok || value < bound;
	else if ((type & RangeBits) == MoreBit)
		ok = ok || value > bound;
	return ok;
}

const Json::Value* FindMember(const Json::Value& object, const std::string& key)
{
	return object.find(key.data(), key.data() + key.size());
}

// A bound moved by one step; only numbers move.
Json::Value Stepped(const Json::Value& bound, double step)
{
	switch (bound.type())
	{
		case Json::intValue:
		case Json::uintValue:
		case Json::realValue:
			return Json::Value(bound.asDouble() + step);
		default:
			return bound;
	}
}
} // namespace

const char* jsonutils::KindName(Json::ValueType kind)
{
	switch (kind)
	{
		case Json::nullValue:
			return "null";
		case Json::intValue:
			return "int";
		case Json::uintValue:
			return "uint";
		case Json::realValue:
			return "real";
		case Json::stringValue:
			return "string";
		case Json::booleanValue:
			return "bool";
		case Json::arrayValue:
			return "array";
		case Json::objectValue:
			return "object";
	}
	return "unknown";
}

bool jsonutils::ToInt64(const Json::Value& value, int64_t& out)
{
	switch (value.type())
	{
		case Json::nullValue:
		case Json::booleanValue:
		case Json::intValue:
			out = value.asInt64();
			return true;
		case Json::uintValue:
			if (value.asUInt64() > static_cast<uint64_t>(INT64_MAX))
				return false;
			out = static_cast<int64_t>(value.asUInt64());
			return true;
		case Json::realValue:
		{
			const double d = value.asDouble();
			if (!(d >= -TwoPow63 && d < TwoPow63))
				return false;
			out = static_cast<int64_t>(d);
			return true;
		}
		default:
			return false;
	}
}

bool jsonutils::ToUInt64(const Json::Value& value, uint64_t& out)
{
	switch (value.type())
	{
		case Json::nullValue:
		case Json::booleanValue:
		case Json::uintValue:
			out = value.asUInt64();
			return true;
		case Json::intValue:
			if (value.asInt64() < 0)
				return false;
			out = static_cast<uint64_t>(value.asInt64());
			return true;
		case Json::realValue:
		{
			const double d = value.asDouble();
			if (!(d >= 0.0 && d < TwoPow64))
				return false;
			out = static_cast<uint64_t>(d);
			return true;
		}
		default:
			return false;
	}
}

bool jsonutils::IsConvertible(const Json::Value& value, Json::ValueType kind)
{
	if (kind == Json::intValue)
	{
		int64_t ignored = 0;
		return ToInt64(value, ignored);
	}
	if (kind == Json::uintValue)
	{
		uint64_t ignored = 0;
		return ToUInt64(value, ignored);
	}
	return value.isConvertibleTo(kind);
}

std::string jsonutils::Compact(const Json::Value& value)
{
	static const Json::StreamWriterBuilder writer = []
	{
		Json::StreamWriterBuilder builder;
		builder["indentation"] = "";
		return builder;
	}();
	return Json::writeString(writer, value);
}

ValueLimit::ValueLimit(ELimitType type, const Json::Value& limit) : Type(type), Value(limit)
{
	const int32_t bits = type._to_integral();
	if ((bits & EqualBit) != 0 && (bits & NotEqualBit) != 0)
		throw SchemaError(BAD_SCHEMA, "Value limit type cannot be both Equal and NotEqual!");
}

ValueLimit::ValueLimit(const Json::Value& val)
{
	if (!val.isObject())
		return;
	const Json::Value* type = FindMember(val, "type");
	const Json::Value* bound = FindMember(val, "value");
	if (type == nullptr || bound == nullptr)
		return;
	// A type that is not a string (or holds a terminator) names no enumerator.
	if (type->isString())
	{
		const std::string name = type->asString();
		if (name.find('\0') == std::string::npos)
		{
			if (const auto found = ELimitType::_from_string_nocase_nothrow(name.c_str()))
				Type = *found;
		}
	}
	Value = *bound;
}

namespace
{
// A whole number of either signedness, without loss.
bool ToWide(const Json::Value& v, __int128& out)
{
	if (v.isInt64())
		out = v.asInt64();
	else if (v.isUInt64())
		out = v.asUInt64();
	else
		return false;
	return true;
}
} // namespace

bool ValueLimit::Test(const Json::Value& val, std::string* outError) const
{
	const Json::ValueType kind = Value.type();
	// An unsigned value above 2^63 fits no int, yet it is still more than an int bound of 1 (the
	// bound of a uint setting is often written as a plain number): compare it exactly.
	__int128 wideValue = 0;
	__int128 wideBound = 0;
	const bool integral = kind == Json::intValue && val.isUInt64() && !val.isInt64() && ToWide(val, wideValue) &&
	                      ToWide(Value, wideBound);
	if (!integral && !jsonutils::IsConvertible(val, kind))
	{
		if (outError != nullptr)
			*outError = std::string("Value is not convertible to ") + jsonutils::KindName(kind);
		return false;
	}
	const int32_t type = Type._to_integral();
	if (type == ELimitType::None)
		return true;

	bool ok = false;
	switch (integral ? Json::nullValue : kind)
	{
		case Json::nullValue:
			ok = Compare(wideValue, wideBound, type);
			break;
		case Json::intValue:
		{
			int64_t value = 0;
			jsonutils::ToInt64(val, value);
			ok = Compare(value, Value.asInt64(), type);
			break;
		}
		case Json::uintValue:
		{
			uint64_t value = 0;
			jsonutils::ToUInt64(val, value);
			ok = Compare(value, Value.asUInt64(), type);
			break;
		}
		case Json::realValue:
			ok = Compare(val.asDouble(), Value.asDouble(), type);
			break;
		case Json::booleanValue:
			// Booleans have no order: Equal tests equality, anything else inequality.
			ok = (type & EqualBit) != 0 ? val.asBool() == Value.asBool() : val.asBool() != Value.asBool();
			break;
		default:
			ok = Compare(val, Value, type);
			break;
	}
	if (ok || outError == nullptr)
		return ok;

	const std::string value = jsonutils::Compact(val);
	const std::string bound = jsonutils::Compact(Value);
	if ((type & RangeBits) == LessBit)
		*outError = "Value of " + value + " is not less than " + bound;
	else if ((type & RangeBits) == MoreBit)
		*outError = "Value of " + value + " is not more than " + bound;
	else if ((type & NotEqualBit) != 0)
		*outError = "Value of " + value + " equals " + bound + ", which is not allowed!";
	else
		*outError = "Value of " + value + " does not equal " + bound + ", which is not allowed";
	return false;
}

Json::Value ValueLimit::ToJSON() const
{
	Json::Value json(Json::objectValue);
	// A combination of bits that no enumerator names is written as its number.
	if (const char* name = Type._to_string())
		json["type"] = name;
	else
		json["type"] = Type._to_integral();
	json["value"] = Value;
	return json;
}

std::string ValueLimit::ToString() const
{
	if (Type == ELimitType::None)
		return "";
	return Comparator(Type._to_integral()) + jsonutils::Compact(Value);
}

bool ValueLimitList::Test(const Json::Value& val, bool bMustSatisfyAll, std::string* outError) const
{
	if (empty())
		return true;
	size_t passed = 0;
	for (const ValueLimit& limit : *this)
	{
		if (limit.Test(val))
		{
			++passed;
			if (!bMustSatisfyAll)
				return true;
		}
	}
	if (passed == size())
		return true;
	if (outError != nullptr)
	{
		*outError = "Value " + jsonutils::Compact(val) + " is invalid [" + Description() + "] // " +
		            (passed == 0 ? "none of the conditions were satisfied" : "all of the conditions must be satisfied");
	}
	return false;
}

std::string ValueLimitList::Description() const
{
	std::string text;
	bool bFirst = true;
	for (const ValueLimit& limit : *this)
	{
		if (limit.Type == ELimitType::None)
			continue;
		if (!bFirst)
			text += " (or) ";
		text += limit.ToString();
		bFirst = false;
	}
	return text;
}

bool ValueLimitList::IsOnlyOptions() const
{
	if (empty())
		return false;
	for (const ValueLimit& limit : *this)
	{
		if (limit.Type != ELimitType::Equal)
			return false;
	}
	return true;
}

bool ParameterLimits::Test(const Json::Value& val, std::string* outError) const
{
	for (const ValueLimitList& group : *this)
	{
		std::string groupError;
		if (group.Test(val, false, outError != nullptr ? &groupError : nullptr))
			continue;
		if (outError != nullptr)
			*outError = "Value " + jsonutils::Compact(val) + " is invalid [" + Description() + "] // " + groupError;
		return false;
	}
	return true;
}

Json::Value ParameterLimits::TestNoThrow(const Json::Value& val, const Json::Value& fallback) const
{
	if (empty() || Test(val))
		return val;
	if (!fallback.isNull())
		return TestNoThrow(fallback, Json::Value());

	// First try the nearest value inside the first range bound that rejects val, group by group.
	const double step = Interval > 0 ? Interval : 0;
	for (const ValueLimitList& group : *this)
	{
		for (const ValueLimit& limit : group)
		{
			const int32_t type = limit.Type._to_integral();
			if ((type & RangeBits) == 0 || limit.Test(val))
				continue;
			Json::Value candidate;
			bool bHasCandidate = true;
			if ((type & EqualBit) != 0)
				candidate = limit.Value;
			else if ((type & RangeBits) == LessBit)
				candidate = Stepped(limit.Value, -step);
			else if ((type & RangeBits) == MoreBit)
				candidate = Stepped(limit.Value, step);
			else
				bHasCandidate = false;
			if (bHasCandidate && Test(candidate))
				return candidate;
			break;
		}
	}
	// Then any bound that is itself allowed.
	for (const ValueLimitList& group : *this)
	{
		for (const ValueLimit& limit : group)
		{
			if ((limit.Type._to_integral() & EqualBit) == 0)
				continue;
			if (Test(limit.Value))
				return limit.Value;
			break;
		}
	}
	return Json::Value();
}

void ParameterLimits::Add(const ValueLimit& limit)
{
	if (limit.Type != ELimitType::None)
		push_back(ValueLimitList{limit});
}

void ParameterLimits::AddList(const ValueLimitList& limits)
{
	if (!limits.empty())
		push_back(limits);
}

void ParameterLimits::Merge(const ParameterLimits& lim)
{
	// A copy first: lim may be this object.
	const std::list<ValueLimitList> groups(lim);
	for (const ValueLimitList& group : groups)
		AddList(group);
}

std::string ParameterLimits::Description() const
{
	std::string text;
	for (const ValueLimitList& group : *this)
	{
		if (!text.empty())
			text += " AND ";
		text += group.Description();
	}
	return text;
}

Json::Value ParameterLimits::ToJSON() const
{
	Json::Value json(Json::arrayValue);
	for (const ValueLimitList& group : *this)
	{
		Json::Value& groupJson = json.append(Json::Value(Json::arrayValue));
		for (const ValueLimit& limit : group)
			groupJson.append(limit.ToJSON());
	}
	return json;
}

void ParameterLimits::FillFromJSON(const Json::Value& val)
{
	if (!val.isArray() && !val.isObject())
		return;
	for (const Json::Value& element : val)
	{
		if (!element.isArray() || element.empty())
			continue;
		ValueLimitList group;
		for (const Json::Value& limit : element)
			group.emplace_back(limit);
		push_back(std::move(group));
	}
}

ValueLimitList ParameterLimits::GetOptions() const
{
	for (const ValueLimitList& group : *this)
	{
		if (group.IsOnlyOptions())
			return group;
	}
	return {};
}

Json::Value ParameterLimits::parseBlock(const std::string& block)
{
	if (block.empty())
		throw SchemaError(BAD_SCHEMA, "Argument after parameter limit comparator cannot be empty");
	Json::CharReaderBuilder builder;
	// "5x" is not the value 5.
	builder["failIfExtra"] = true;
	const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
	Json::Value value;
	std::string errors;
	bool bParsed = false;
	try
	{
		bParsed = reader->parse(block.data(), block.data() + block.size(), &value, &errors);
	}
	catch (const Json::Exception& e)
	{
		// The reader throws instead of reporting when the nesting exceeds its depth limit.
		errors = e.what();
	}
	if (!bParsed)
		throw SchemaError(BAD_SCHEMA, "Argument after parameter limit comparator is not a valid value: " + errors);
	return value;
}

const JsonSchema& ParameterLimits::Schema()
{
	static const JsonSchema schema = []
	{
		std::list<Json::Value> typeNames;
		for (const char* name : ELimitType::_names())
			typeNames.emplace_back(name);
		JsonSchema type(Json::stringValue, "The type of this limit");
		type.SetPossibleVals(typeNames);

		const JsonSchema limit(
		    {{"type", type}, {"value", JsonSchema(Json::nullValue, "The value attributed to this limit")}}, "", true);
		JsonSchema group(Json::arrayValue, "Array of limits where OR applies between them",
		                 Json::Value(Json::arrayValue), false);
		group.SetChildSchema(limit);
		JsonSchema root(Json::arrayValue, "Array of limit groups where AND applies between them",
		                Json::Value(Json::arrayValue), false);
		root.SetChildSchema(group);
		return root;
	}();
	return schema;
}

bool ParameterLimits::operator==(const ParameterLimits& rhs) const
{
	return Interval == rhs.Interval && static_cast<const std::list<ValueLimitList>&>(*this) == rhs;
}
