// Arbitrary JSON documents through schema validation against a schema shaped like a server's
// configuration, and through the value limits: as limits in their JSON form, as a bound and as a
// value. Only SchemaError may escape the library, validation must agree with Test, and nothing may
// change the document.

#include "common/JsonSchema.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace
{
void Check(bool bCondition)
{
	if (!bCondition)
		std::abort();
}

const JsonSchema& ConfigSchema()
{
	static const JsonSchema schema = []
	{
		JsonSchema peer({{"port", JsonSchema(Json::uintValue, "Peer port")
		                              .AddConstraint(ValueLimit(ELimitType::MoreThanOrEqual, 1))
		                              .AddConstraint(ValueLimit(ELimitType::LessThan, 65536))},
		                 {"host", JsonSchema(Json::stringValue, "Peer host", "localhost", false)},
		                 {"weight", JsonSchema(Json::realValue, "Share", 1.0, false).SetInterval(0.25)}});
		JsonSchema peers(Json::objectValue, "Peers by name", Json::Value(), false);
		peers.SetChildSchema(peer, 0, 8);

		JsonSchema origins(Json::arrayValue, "Allowed origins", Json::Value(), false);
		origins.SetChildSchema(
		    JsonSchema(Json::stringValue, "Origin").AddConstraint(ValueLimit(ELimitType::NotEqual, "")), 1, 4);
		JsonSchema pairs(Json::arrayValue, "Pairs", Json::Value(), false);
		JsonSchema pair(Json::arrayValue, "Pair");
		pair.AddMember("[0]", JsonSchema(Json::intValue, "First"))
		    .AddMember("[1]", JsonSchema(Json::stringValue, "Second"));
		pairs.SetChildSchema(pair);

		JsonSchema mode(Json::stringValue, "Mode", "auto", false);
		mode.SetPossibleVals({"auto", "on", "off"});
		JsonSchema big(Json::intValue, "Coarse", Json::Value(), false);
		big.SetInterval(1000).AddConstraints({{ELimitType::LessThan, 0}, {ELimitType::MoreThan, Json::Int64{1} << 40}});

		JsonSchema root({{"port-wss", JsonSchema(Json::uintValue, "The port to run the server on")},
		                 {"threads", JsonSchema(Json::uintValue, "Number of HTTP listener threads to start", 1, false)
		                                 .AddConstraint(ValueLimit(ELimitType::MoreThanOrEqual, 1))},
		                 {"http-timeout", JsonSchema(Json::uintValue, "Milliseconds", 5000, false).SetInterval(10)},
		                 {"huge", JsonSchema(Json::uintValue, "Step", Json::Value(), false).SetInterval(7)},
		                 {"tls.certificate", JsonSchema(Json::stringValue, "Certificate chain")},
		                 {"tls.dh", JsonSchema(Json::stringValue, "DH parameters", "dh.pem", false)},
		                 {"tls.enabled", JsonSchema(Json::booleanValue, "TLS on", true, false)},
		                 {"cors", JsonSchema(Json::nullValue, "Anything", Json::Value(), false)},
		                 {"mode", mode},
		                 {"coarse", big},
		                 {"peers", peers},
		                 {"origins", origins},
		                 {"pairs", pairs}});
		root.AddMember("limits", ParameterLimits::Schema());
		return root;
	}();
	return schema;
}

void Validate(const JsonSchema& schema, const Json::Value& doc)
{
	bool bValid = true;
	try
	{
		schema.TestThrow(doc);
	}
	catch (const SchemaError& e)
	{
		Check(e.ErrorCode() == VALUE_NOT_VALID);
		bValid = false;
	}
	Check(schema.Test(doc) == bValid);
}

void ExerciseLimits(const Json::Value& doc)
{
	ParameterLimits limits;
	limits.FillFromJSON(doc);
	limits.Interval = 0.5;
	std::string error;
	limits.Test(doc, &error);
	limits.TestNoThrow(doc, Json::Value());
	limits.Description();
	ParameterLimits readBack;
	readBack.FillFromJSON(limits.ToJSON());
	Check(readBack.Description() == limits.Description());

	const ValueLimit fromJson(doc);
	fromJson.Test(doc, &error);
	for (const ELimitType type : ELimitType::_values())
	{
		const ValueLimit asBound(type, doc);
		asBound.ToString();
		for (const Json::Value& sample :
		     {Json::Value(), Json::Value(-1), Json::Value(Json::UInt64{18446744073709551615u}), Json::Value(0.5),
		      Json::Value("x"), Json::Value(true), doc})
		{
			asBound.Test(sample, &error);
			ValueLimit(type, sample).Test(doc, &error);
		}
	}
	for (const double interval : {0.0, 0.25, 1.0, 3.0, 1e19, 1e-320})
	{
		for (const Json::ValueType type : {Json::intValue, Json::uintValue, Json::realValue})
		{
			Json::Value rounded;
			JsonSchema::RoundToInterval(doc, type, interval, rounded);
		}
	}
	for (const Json::ValueType type : {Json::nullValue, Json::intValue, Json::uintValue, Json::realValue,
	                                   Json::stringValue, Json::booleanValue, Json::arrayValue, Json::objectValue})
	{
		try
		{
			JsonSchema leaf(type, "fuzzed", doc, false);
			Validate(leaf, doc);
			leaf.SetPossibleVals({doc});
			Validate(leaf, doc);
		}
		catch (const SchemaError& e)
		{
			Check(e.ErrorCode() == BAD_SCHEMA);
		}
	}
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	Json::CharReaderBuilder builder;
	builder["allowSpecialFloats"] = true;
	const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
	Json::Value doc;
	std::string errors;
	const char* text = reinterpret_cast<const char*>(data);
	try
	{
		if (!reader->parse(text, text + size, &doc, &errors))
			return 0;
	}
	catch (const Json::Exception&)
	{
		// Nesting beyond the reader's depth limit.
		return 0;
	}
	// Compared as text: a NaN is not equal to itself.
	const std::string before = jsonutils::Compact(doc);

	Validate(ConfigSchema(), doc);
	Validate(ParameterLimits::Schema(), doc);
	if (doc.isObject())
	{
		// The same document as a member of a bigger one, to reach deeper paths.
		Json::Value wrapped;
		wrapped["port-wss"] = 1;
		wrapped["tls"]["certificate"] = "c";
		wrapped["peers"]["fuzzed"] = doc;
		Validate(ConfigSchema(), wrapped);
	}
	ExerciseLimits(doc);

	Check(jsonutils::Compact(doc) == before);
	return 0;
}
