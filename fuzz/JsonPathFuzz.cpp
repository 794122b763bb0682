// Arbitrary text through the path parser, then through every document operation of the parsed path.
// Parsing must never fail, the text form must read back to the same path, and document operations
// may only throw JsonPathError.

#include "common/JsonPath.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace
{
void Check(bool bCondition)
{
	if (!bCondition)
		std::abort();
}

const Json::Value& SampleDocument()
{
	static const Json::Value doc = []
	{
		Json::Value value;
		value["a"]["b"][0] = 1;
		value["a"]["b"][1]["c"] = "x";
		value[""][0] = true;
		value["*"] = Json::Value(Json::objectValue);
		return value;
	}();
	return doc;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	const std::string text(reinterpret_cast<const char*>(data), size);
	const JsonPath path(text);

	// Parsed names hold no "." or "[", so only a lone empty name (written as the empty text) is lost.
	const std::string written = path;
	const bool bLoneEmptyName = path.NumParts() == 1 && path.First().IsName() && path.First().Name().empty();
	Check(bLoneEmptyName || JsonPath(written) == path);
	Check(JsonPathPattern(text).Match(path));
	Check(path.IsEmpty() || path.Parent().Child(path.Last()) == path);
	Check(path.Splice(0) == path && path.Splice(path.NumParts()).IsEmpty());

	Json::Value doc = SampleDocument();
	const bool bExisted = path.Resolve(doc) != nullptr;
	try
	{
		Json::Value& made = path.Make(doc);
		Check(&made == path.Resolve(doc));
		made = 7;
	}
	catch (const JsonPathError&)
	{
		Check(!bExisted);
	}
	const bool bErased = path.Erase(doc);
	if (bErased && !path.IsEmpty() && path.Last().IsName())
		Check(path.Resolve(doc) == nullptr);

	Json::Value fresh;
	try
	{
		path.Make(fresh);
	}
	catch (const JsonPathError&)
	{
	}
	return 0;
}
