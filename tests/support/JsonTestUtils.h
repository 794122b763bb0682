#pragma once
// JSON helpers shared by the configuration test suites.

#include "common/JsonSchema.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <functional>
#include <memory>
#include <string>

// Test documents are written inline; a typo in one is a failure of the test itself.
inline Json::Value Parse(const std::string& text)
{
	Json::CharReaderBuilder builder;
	const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
	Json::Value value;
	std::string errors;
	if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors))
		ADD_FAILURE() << "bad test JSON " << text << ": " << errors;
	return value;
}

// One line, without comments.
inline std::string OneLine(const Json::Value& value)
{
	Json::StreamWriterBuilder builder;
	builder["indentation"] = "";
	builder["commentStyle"] = "None";
	return Json::writeString(builder, value);
}

// "<code>: <text>" of the SchemaError an action throws; empty when it throws none.
inline std::string SchemaErrorOf(const std::function<void()>& action)
{
	try
	{
		action();
	}
	catch (const SchemaError& e)
	{
		return std::string(e.ErrorCode() == BAD_SCHEMA ? "BAD_SCHEMA: " : "VALUE_NOT_VALID: ") + e.what();
	}
	return "";
}
