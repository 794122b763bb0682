// The schema document: {"schema": node, "default": tree}, so that a schema can be stored or shown
// outside the program that built it.

#include "common/JsonSchema.h"

#include <algorithm>
#include <string>
#include <vector>

namespace
{
// Member lookup that tolerates non-objects: the JSON library asserts on those.
const Json::Value* Find(const Json::Value& node, const char* key)
{
	if (!node.isObject())
		return nullptr;
	return node.find(key, key + std::char_traits<char>::length(key));
}

bool TypeFromText(const std::string& text, Json::ValueType& out)
{
	static const Json::ValueType kinds[] = {Json::intValue,     Json::uintValue,  Json::realValue,  Json::stringValue,
	                                        Json::booleanValue, Json::arrayValue, Json::objectValue};
	for (const Json::ValueType kind : kinds)
	{
		if (text == jsonutils::KindName(kind))
		{
			out = kind;
			return true;
		}
	}
	return false;
}

bool IsNumber(Json::ValueType type)
{
	return type == Json::intValue || type == Json::uintValue || type == Json::realValue;
}
} // namespace

Json::Value JsonSchema::ToJSON() const
{
	if (Type == Json::nullValue)
		return Json::Value();
	Json::Value document(Json::objectValue);
	document["default"] = ToJSONInternal(document["schema"]);
	return document;
}

Json::Value JsonSchema::ToJSONInternal(Json::Value& schema) const
{
	schema = Json::Value(Json::objectValue);
	schema["type"] = jsonutils::KindName(Type);
	if (bOptional)
		schema["optional"] = true;
	if (Scope != ESchemaScopeType::Default)
		schema["scope"] = Scope._to_string();
	if (!Description.empty())
		schema["desc"] = Description;
	if (IsNumber(Type) && Limits.Interval > 0)
		schema["interval"] = Limits.Interval;
	if (!EditConditions.empty())
	{
		Json::Value& conditions = schema["edit-conditions"];
		for (const auto& [path, limits] : EditConditions)
		{
			Json::Value& list = conditions[path.ToString()];
			list = Json::Value(Json::arrayValue);
			for (const ValueLimit& limit : limits)
				list.append(limit.ToJSON());
		}
	}

	if (!IsContainer())
	{
		if (!Limits.empty())
			schema["constraints"] = Limits.ToJSON();
		return DefaultValue;
	}

	if (LimitNumChildren.first != 0)
		schema["min-children"] = LimitNumChildren.first;
	if (LimitNumChildren.second != 0)
		schema["max-children"] = LimitNumChildren.second;
	Json::Value defaults(Type);
	if (ChildSchema != nullptr)
	{
		schema["child-schema"] = ChildSchema->ToJSON();
		return defaults;
	}
	if (!Members.empty())
	{
		Json::Value& children = schema["children"];
		for (const auto& [arg, member] : Members)
		{
			Json::Value memberDefault = member.ToJSONInternal(children[arg.ToString()]);
			if (arg.IsIndex())
				defaults[static_cast<Json::ArrayIndex>(arg.Idx())] = std::move(memberDefault);
			else
				defaults[arg.ToString()] = std::move(memberDefault);
		}
	}
	return defaults;
}

JsonSchema JsonSchema::FromJSON(const Json::Value& schema)
{
	JsonSchema result;
	if (schema.isNull())
		return result;
	const Json::Value* node = Find(schema, "schema");
	if (node == nullptr)
		throw SchemaError(BAD_SCHEMA, "Schema has no internal structure!");
	const Json::Value* defaults = Find(schema, "default");
	if (defaults == nullptr)
		throw SchemaError(BAD_SCHEMA, "Schema has no default value!");
	result.ParseSubSchema(*node, *defaults);
	return result;
}

void JsonSchema::ParseSubSchema(const Json::Value& schema, const Json::Value& defaults)
{
	if (!schema.isObject())
		throw SchemaError(BAD_SCHEMA, "Schema cannot be a non-object");
	const Json::Value* type = Find(schema, "type");
	if (type == nullptr || !type->isString())
		throw SchemaError(BAD_SCHEMA, "Schema has no type defined");
	if (!TypeFromText(type->asString(), Type))
		throw SchemaError(BAD_SCHEMA, "Unknown schema type '" + type->asString() + "'");

	const Json::Value* optional = Find(schema, "optional");
	bOptional = optional != nullptr && optional->isBool() && optional->asBool();
	Scope = ESchemaScopeType::Default;
	if (const Json::Value* scope = Find(schema, "scope"); scope != nullptr && scope->isString())
	{
		const std::string text = scope->asString();
		// A terminator inside would make a prefix match.
		if (text.find('\0') == std::string::npos)
		{
			if (const auto found = ESchemaScopeType::_from_string_nocase_nothrow(text.c_str()))
				Scope = *found;
		}
	}
	if (const Json::Value* desc = Find(schema, "desc"))
	{
		if (!desc->isString())
			throw SchemaError(BAD_SCHEMA, "Schema description must be a string!");
		Description = desc->asString();
	}

	if (IsContainer())
	{
		if (const Json::Value* child = Find(schema, "child-schema"))
		{
			try
			{
				ChildSchema = std::make_unique<JsonSchema>(FromJSON(*child));
			}
			catch (const SchemaError& e)
			{
				throw SchemaError(BAD_SCHEMA, std::string("Child-schema is invalid: ") + e.what());
			}
		}
		if (const Json::Value* min = Find(schema, "min-children"); min != nullptr && min->isUInt())
			LimitNumChildren.first = min->asUInt();
		if (const Json::Value* max = Find(schema, "max-children"); max != nullptr && max->isUInt())
			LimitNumChildren.second = max->asUInt();
	}
	else if (const Json::Value* constraints = Find(schema, "constraints");
	         constraints != nullptr && constraints->isArray())
	{
		Limits.FillFromJSON(*constraints);
	}

	Limits.Interval = 0;
	if (const Json::Value* interval = Find(schema, "interval");
	    interval != nullptr && IsNumber(Type) && interval->isNumeric())
		Limits.Interval = interval->asDouble();

	if (Type == Json::objectValue)
	{
		if (const Json::Value* children = Find(schema, "children"))
		{
			if (!children->isObject())
				throw SchemaError(BAD_SCHEMA, "Children is an invalid subschema node - it must be an object");
			if (!defaults.isObject())
				throw SchemaError(BAD_SCHEMA,
				                  "'default' does not contain a subtree, but the schema indicates one should exist!");
			std::vector<std::string> names = children->getMemberNames();
			std::sort(names.begin(), names.end());
			for (const std::string& name : names)
			{
				const Json::Value* childDefault = defaults.find(name.data(), name.data() + name.size());
				if (childDefault == nullptr)
					throw SchemaError(BAD_SCHEMA, "'default' is missing child '" + name + "'!");
				try
				{
					JsonSchema member;
					member.ParseSubSchema(*children->find(name.data(), name.data() + name.size()), *childDefault);
					AddMember(JsonPath(name), member);
				}
				catch (const SchemaError& e)
				{
					throw SchemaError(BAD_SCHEMA, "Child schema of member '" + name + "' is invalid: " + e.what());
				}
			}
		}
	}

	EditConditions.clear();
	if (const Json::Value* conditions = Find(schema, "edit-conditions");
	    conditions != nullptr && conditions->isObject())
	{
		for (const std::string& path : conditions->getMemberNames())
		{
			std::list<ValueLimit>& limits = EditConditions[JsonPath(path)];
			const Json::Value& list = *conditions->find(path.data(), path.data() + path.size());
			if (!list.isArray())
				continue;
			for (const Json::Value& limit : list)
				limits.emplace_back(limit);
		}
	}

	SetDefault(defaults);
}
