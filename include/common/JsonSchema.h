#pragma once
// The shape of a JSON document: per node its kind, whether it is required, a description, a
// default and limits; for objects and arrays the schemas of their declared members and of their
// other children. Components declare their configuration keys with it, configuration stores merge
// those declarations and validate documents against the result.
//
// A schema is built once and then only read; validation may run on several threads at a time,
// building and merging need exclusive access.

#include "common/Enums.h"
#include "common/JsonPath.h"
#include "common/ParameterLimits.h"

#include <json/json.h>

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

enum ESchemaErrorCode
{
	// The schema (or a schema document) is inconsistent.
	BAD_SCHEMA = 0,
	// A value does not satisfy the schema, or a looked-up member does not exist.
	VALUE_NOT_VALID = 1,
};

class SchemaError : public std::runtime_error
{
public:
	SchemaError(ESchemaErrorCode err, const std::string& what) : std::runtime_error(what), mErrorCode(err) {}
	ESchemaErrorCode ErrorCode() const { return mErrorCode; }

private:
	ESchemaErrorCode mErrorCode;
};

// How configuration generation treats a subtree: with values and comments, values only, or only the
// parts marked for export.
NAMED_ENUM(ESchemaScopeType, int32_t, Default, Uncommented, Exported);

class JsonSchema
{
public:
	ESchemaScopeType Scope = ESchemaScopeType::Default;
	// nullValue: no type, any value is accepted.
	Json::ValueType Type = Json::nullValue;
	// Declared children of a container: names for objects, indices for arrays.
	std::map<JsonPath::Argument, JsonSchema> Members;
	// Schema of every child that is not a declared member.
	std::unique_ptr<JsonSchema> ChildSchema;
	// Minimum and maximum number of children; 0 means no limit on that side.
	std::pair<unsigned int, unsigned int> LimitNumChildren{0, 0};
	// Carried as data for editors; nothing here evaluates them.
	std::map<JsonPath, std::list<ValueLimit>> EditConditions;
	// Constraints on a leaf value; Limits.Interval is the numeric step.
	ParameterLimits Limits;
	std::string Description;
	bool bOptional = true;
	// A missing container without declared members is generated from DefaultValue.
	bool bExplicitContainerDefault = false;
	Json::Value DefaultValue;

	// A schema without a type. Defined in another translation unit: do not use it from the
	// initialiser of a static object.
	static const JsonSchema Empty;

	JsonSchema() = default;
	// bRequired sets bOptional and bExplicitContainerDefault to its opposite. A null type takes the
	// kind of a non-null default. Integer schemas get an interval of 1.
	JsonSchema(Json::ValueType type, const std::string& description, const Json::Value& defaultVal, bool bRequired);
	JsonSchema(Json::ValueType type, const char* description, const Json::Value& defaultVal, bool bRequired);
	// Required, without a default.
	JsonSchema(Json::ValueType type, const std::string& description);
	JsonSchema(Json::ValueType type, const char* description);
	// An object whose members are added by name; names are path texts, so "a.b" declares b inside a.
	JsonSchema(const std::map<std::string, JsonSchema>& members, const std::string& description = "",
	           bool bRequired = true);
	JsonSchema(const JsonSchema& copy);
	JsonSchema(const JsonSchema& copy, bool bRequired);
	JsonSchema(JsonSchema&&) = default;
	JsonSchema& operator=(const JsonSchema& rhs);
	JsonSchema& operator=(JsonSchema&&) = default;
	~JsonSchema() = default;

	// Building; the methods returning the schema can be chained.
	JsonSchema& AddMember(const JsonPath& memberName, const JsonSchema& schema);
	void RemoveMember(const JsonPath& name);
	void SetDefault(const Json::Value& defaultVal);
	void SetDescription(const std::string& desc) { Description = desc; }
	void SetRequired(bool bRequired) { bOptional = !bRequired; }
	JsonSchema& SetInterval(double interval);
	// Marks the schema for export.
	JsonSchema& operator!();
	JsonSchema& SetChildSchema(const JsonSchema& schema, unsigned int minNumChildren = 0,
	                           unsigned int maxNumChildren = 0);
	JsonSchema& AddConstraint(const ValueLimit& limit);
	JsonSchema& AddConstraints(const ValueLimitList& limits);
	void RemoveLastConstraint();
	// One OR-group of Equal limits, each value converted to the schema's type.
	JsonSchema& SetPossibleVals(const std::list<Json::Value>& possibleValues);
	JsonSchema& AddEditCondition(const JsonPath& path, const ValueLimit& val);
	JsonSchema& Modify(const std::function<void(JsonSchema&)>& modify_code);

	// Merging: other's members are added to this object schema; this schema's own settings stay.
	JsonSchema& operator+=(const JsonSchema& other);
	// Removes the members that other declares (its leaf members, see GetMemberNames(true)).
	JsonSchema& operator-=(const JsonSchema& other);
	// EditConditions and bExplicitContainerDefault are not compared.
	bool operator==(const JsonSchema& rhs) const;
	bool operator!=(const JsonSchema& rhs) const { return !(*this == rhs); }

	// The schema at name below this one (the empty path is this schema); throws VALUE_NOT_VALID.
	const JsonSchema& GetMember(const JsonPath& name) const;
	JsonSchema& Member(const JsonPath& name);
	bool IsMember(const JsonPath& path) const;
	const std::map<JsonPath::Argument, JsonSchema>& GetMembers() const { return Members; }
	// Without bGoThroughSubTrees one path per direct member; with it, the full path of every member
	// that has no members of its own, at any depth.
	std::set<JsonPath> GetMemberNames(bool bGoThroughSubTrees) const;

	Json::ValueType GetType() const { return Type; }
	const std::string& GetDescription() const { return Description; }
	const Json::Value& Default() const { return DefaultValue; }
	bool Required() const { return !bOptional; }
	const ParameterLimits& GetLimits() const { return Limits; }
	ParameterLimits& GetLimits() { return Limits; }
	std::pair<unsigned int, unsigned int> GetChildrenLimit() const { return LimitNumChildren; }
	bool HasChildSchema() const { return ChildSchema != nullptr; }
	const JsonSchema& GetChildSchema() const;
	JsonSchema& GetChildSchema();
	bool IsContainer() const { return Type == Json::objectValue || Type == Json::arrayValue; }

	// Calls worker for every member whose path matches pattern ("*" matches any member), with the
	// member's path and schema. Only declared members are visited.
	void ForEachChildMatching(const JsonPathPattern& pattern,
	                          const std::function<void(const JsonPath&, JsonSchema&)>& worker);

	// Throws SchemaError VALUE_NOT_VALID with the first failure.
	void TestThrow(const Json::Value& value) const;
	bool Test(const Json::Value& value) const;

	// A complete document: base validated with TestThrow (its SchemaError propagates), missing
	// optional settings filled with defaults, numbers normalised, undeclared members carried along
	// and, for the Default scope, a one-line comment on every declared node.
	Json::Value GenerateConfig(const Json::Value& base, ESchemaScopeType type) const;
	// The same from a null base, without validation: required settings without a default stay null.
	Json::Value GenerateBlankConfig(ESchemaScopeType type) const;
	// "// <kind> [optional] description [limits]", the comment generation puts on this node.
	std::string GeneratedComment() const;

	// The schema document {"schema": node, "default": tree}; null for a schema without a type.
	Json::Value ToJSON() const;
	// Reads a schema document; every failure is SchemaError BAD_SCHEMA.
	static JsonSchema FromJSON(const Json::Value& schema);

	// The value read as type and, when interval is above 0, rounded to the nearest multiple of it
	// (halves away from zero); whole intervals round integers exactly. Other types copy the value.
	// False when the result does not fit the type.
	static bool RoundToInterval(const Json::Value& value, Json::ValueType type, double interval, Json::Value& out);

private:
	Json::Value GenerateConfigInternal(const Json::Value& base, ESchemaScopeType conf_type,
	                                   Json::CommentPlacement commentPos) const;
	// Writes this node into schema and returns its default tree.
	Json::Value ToJSONInternal(Json::Value& schema) const;
	// Fills this schema from one node of a document and its default tree.
	void ParseSubSchema(const Json::Value& schema, const Json::Value& defaults);

	void TestInternal(const Json::Value& value, const JsonPath& path) const;
	void TestContainer(const Json::Value& value, const JsonPath& path) const;
	void TestLeaf(const Json::Value& value, const JsonPath& path) const;
	void CollectLeafNames(const JsonPath& base, std::set<JsonPath>& out) const;
	void ForEachChildMatching(const JsonPath& pattern, const JsonPath& base,
	                          const std::function<void(const JsonPath&, JsonSchema&)>& worker);
};

JsonSchema operator+(const JsonSchema& a, const JsonSchema& b);
JsonSchema operator-(const JsonSchema& a, const JsonSchema& b);
