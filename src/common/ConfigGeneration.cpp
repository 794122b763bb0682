// Generation of complete configuration documents from a schema and an optional base document.

#include "common/JsonSchema.h"

#include <algorithm>
#include <string>
#include <vector>

namespace
{
bool IsNumber(Json::ValueType type)
{
	return type == Json::intValue || type == Json::uintValue || type == Json::realValue;
}

// Comments are "//" lines: a line break inside one would turn the rest of the text into JSON.
std::string OneLine(std::string text)
{
	std::replace(text.begin(), text.end(), '\r', ' ');
	std::replace(text.begin(), text.end(), '\n', ' ');
	return text;
}

void Store(Json::Value& container, const JsonPath::Argument& arg, Json::Value&& value)
{
	if (arg.IsIndex())
		container[static_cast<Json::ArrayIndex>(arg.Idx())] = std::move(value);
	else
		container[arg.Name()] = std::move(value);
}

Json::CommentPlacement PlacementFor(const JsonSchema& schema)
{
	return schema.GetType() == Json::objectValue ? Json::commentBefore : Json::commentAfterOnSameLine;
}
} // namespace

std::string JsonSchema::GeneratedComment() const
{
	std::string comment = std::string("// <") + jsonutils::KindName(Type) + "> ";
	comment += bOptional ? "[optional] " : "[REQUIRED] ";
	comment += Description;
	if (!Limits.empty())
		comment += " [" + Limits.Description() + "]";
	return OneLine(std::move(comment));
}

Json::Value JsonSchema::GenerateConfig(const Json::Value& base, ESchemaScopeType type) const
{
	TestThrow(base);
	return GenerateConfigInternal(base, type, Json::commentAfterOnSameLine);
}

Json::Value JsonSchema::GenerateBlankConfig(ESchemaScopeType type) const
{
	return GenerateConfigInternal(Json::Value(), type, Json::commentAfterOnSameLine);
}

Json::Value JsonSchema::GenerateConfigInternal(const Json::Value& base, ESchemaScopeType conf_type,
                                               Json::CommentPlacement commentPos) const
{
	std::string comment;
	if (conf_type == ESchemaScopeType::Default)
	{
		if (Scope == ESchemaScopeType::Default)
			comment = GeneratedComment();
		else
			conf_type = Scope;
	}
	const bool bExporting = conf_type == ESchemaScopeType::Exported;
	const bool bShouldExist = !bExporting || Scope == ESchemaScopeType::Exported;

	Json::Value result;
	if (base.isNull() && bShouldExist && (!DefaultValue.isNull() || (bExplicitContainerDefault && Members.empty())))
	{
		result = bOptional ? DefaultValue : Json::Value(Type);
	}
	else if (IsContainer())
	{
		result = Json::Value(Type);
		const bool bBaseIsContainer = base.isObject() || base.isArray();
		static const Json::Value missing;
		for (const auto& [arg, member] : Members)
		{
			if (bExporting && member.Scope != ESchemaScopeType::Exported)
				continue;
			const Json::Value* child = bBaseIsContainer ? arg.Resolve(base) : nullptr;
			Store(result, arg,
			      member.GenerateConfigInternal(child != nullptr ? *child : missing, conf_type, PlacementFor(member)));
		}
		if (base.type() == Type && bShouldExist)
		{
			// Children that are declared members were generated (and validated) through their own
			// schema; the child schema only covers the others.
			const auto handle = [&](const JsonPath::Argument& arg, const Json::Value& child)
			{
				if (Members.count(arg) != 0)
					return;
				if (ChildSchema != nullptr)
					Store(result, arg,
					      ChildSchema->GenerateConfigInternal(child, conf_type, PlacementFor(*ChildSchema)));
				else
					Store(result, arg, Json::Value(child));
			};
			if (base.isArray())
			{
				for (Json::ArrayIndex i = 0; i < base.size(); ++i)
					handle(JsonPath::Argument(i), base[i]);
			}
			else
			{
				std::vector<std::string> names = base.getMemberNames();
				std::sort(names.begin(), names.end());
				for (const std::string& name : names)
				{
					const JsonPath::Argument arg(name);
					handle(arg, *arg.Resolve(base));
				}
			}
		}
	}
	else if (bShouldExist)
	{
		result = base;
		Json::Value normalised;
		if (IsNumber(Type) && !base.isNull() && RoundToInterval(base, Type, Limits.Interval, normalised))
			result = std::move(normalised);
	}

	if (!comment.empty() && conf_type == ESchemaScopeType::Default)
		result.setComment(comment, commentPos);
	return result;
}
