#include "common/JsonPath.h"
#include "JsonTestUtils.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using Arg = JsonPath::Argument;
using Args = std::vector<Arg>;

namespace
{
constexpr size_t npos = Arg::npos;

std::string Text(const Json::Value& value)
{
	Json::StreamWriterBuilder builder;
	builder["indentation"] = "";
	return Json::writeString(builder, value);
}

std::string ErrorOf(const std::function<void()>& action)
{
	try
	{
		action();
	}
	catch (const JsonPathError& e)
	{
		return e.what();
	}
	return "";
}
} // namespace

TEST(JsonPathTest, ParsesTextAndFallsBackToNames)
{
	struct Case
	{
		std::string text;
		Args expected;
		std::string textForm;
	};
	const Case cases[] = {
	    {"", {}, ""},
	    {"a.b", {"a", "b"}, "a.b"},
	    {"tls.certificate", {"tls", "certificate"}, "tls.certificate"},
	    {"a[0]", {"a", 0}, "a.[0]"},
	    {"a[0][1]", {"a", 0, 1}, "a.[0].[1]"},
	    {"[3]", {3}, "[3]"},
	    {"a[0]b", {"a", 0, "b"}, "a.[0].b"},
	    {"a.[0].b", {"a", 0, "b"}, "a.[0].b"},
	    {"groups.[2].value", {"groups", 2, "value"}, "groups.[2].value"},
	    {"a[]", {"a", 0}, "a.[0]"},
	    {"a..b", {"a", "", "b"}, "a..b"},
	    {"a.", {"a", ""}, "a."},
	    {".", {"", ""}, "."},
	    {"[ 7]", {7}, "[7]"},
	    {"[+7]", {7}, "[7]"},
	    {"[-0]", {0}, "[0]"},
	    {"[2147483647]", {2147483647}, "[2147483647]"},
	    // Not indices: the "[" is dropped and its content joins the next name.
	    {"a[-1]", {"a", "-1]"}, "a.-1]"},
	    {"a[x]", {"a", "x]"}, "a.x]"},
	    {"a[0", {"a", "0"}, "a.0"},
	    {"[7 ]", {"7 ]"}, "7 ]"},
	    {"[0x1]", {"0x1]"}, "0x1]"},
	    {"[2147483648]", {"2147483648]"}, "2147483648]"},
	    {"[99999999999999999999]", {"99999999999999999999]"}, "99999999999999999999]"},
	    {std::string("[1\0]", 4), {std::string("1\0]", 3)}, std::string("1\0]", 3)},
	    {"a[[0]", {"a", 0}, "a.[0]"},
	    {"a[1]]", {"a", 1, "]"}, "a.[1].]"},
	    {"x][0]", {"x]", 0}, "x].[0]"},
	    {"[", {}, ""},
	    {"a[", {"a"}, "a"},
	    {"[[", {}, ""},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE("'" + c.text + "'");
		const JsonPath path(c.text);
		EXPECT_EQ(path.Parts(), c.expected);
		EXPECT_EQ(static_cast<std::string>(path), c.textForm);
		EXPECT_EQ(path.NumParts(), c.expected.size());
		EXPECT_EQ(path.IsEmpty(), c.expected.empty());
		// Parsed names never hold "." or "[", so the text form reads back to the same path.
		EXPECT_EQ(JsonPath(c.textForm), path);
		EXPECT_EQ(JsonPath(c.text.c_str()), JsonPath(std::string(c.text.c_str())));
	}
}

TEST(JsonPathTest, ArgumentsAndConstruction)
{
	const Arg index(5);
	EXPECT_TRUE(index.IsIndex());
	EXPECT_EQ(index.Idx(), 5u);
	EXPECT_EQ(index.Name(), "");
	const Arg name("port");
	EXPECT_TRUE(name.IsName());
	EXPECT_EQ(name.Idx(), npos);
	EXPECT_EQ(name.Name(), "port");
	EXPECT_TRUE(Arg("").IsName()) << "the member \"\" is a valid name";
	EXPECT_EQ(Arg(static_cast<const char*>(nullptr)), Arg(""));

	EXPECT_EQ(JsonPath(0).Parts(), Args{0}) << "an index, not a null text";
	EXPECT_EQ(JsonPath(Arg("a.b")).Parts(), Args{"a.b"});
	EXPECT_EQ(JsonPath(Args{"a", 1}).ToString(), "a.[1]");
	EXPECT_TRUE(JsonPath(static_cast<const char*>(nullptr)).IsEmpty());
	EXPECT_TRUE(JsonPath().IsEmpty());

	std::ostringstream os;
	os << Arg(3) << ' ' << Arg("x") << ' ' << JsonPath("a[2].b");
	EXPECT_EQ(os.str(), "[3] x a.[2].b");
}

TEST(JsonPathTest, DerivationAndItsErrors)
{
	const JsonPath pqr("p.q.r");
	EXPECT_EQ(pqr.First(), Arg("p"));
	EXPECT_EQ(pqr.Last(), Arg("r"));
	EXPECT_EQ(pqr.Parent(), JsonPath("p.q"));
	EXPECT_EQ(JsonPath().Parent(), JsonPath());
	EXPECT_EQ(pqr.Child(4), JsonPath("p.q.r.[4]"));
	EXPECT_EQ(pqr.ToString(), "p.q.r") << "derivations leave the receiver unchanged";

	struct Splice
	{
		size_t start, num;
		std::string expected; // the text form, or the error
	};
	const Splice splices[] = {
	    {1, npos, "q.r"},
	    {0, 2, "p.q"},
	    {1, 1, "q"},
	    {2, 5, "r"},
	    {3, npos, ""},
	    {0, 0, ""},
	    {4, npos, "error: Path does not contain 4 arguments"},
	};
	for (const auto& s : splices)
	{
		SCOPED_TRACE("Splice(" + std::to_string(s.start) + ", " + std::to_string(s.num) + ")");
		std::string spliced;
		const std::string error = ErrorOf([&] { spliced = pqr.Splice(s.start, s.num).ToString(); });
		EXPECT_EQ(error.empty() ? spliced : "error: " + error, s.expected);
	}

	const JsonPath empty("");
	EXPECT_EQ(ErrorOf([&] { empty.First(); }), "Path is empty, therefore you cannot call First()");
	EXPECT_EQ(ErrorOf([&] { empty.Last(); }), "Path is empty, therefore you cannot call Last()");
}

TEST(JsonPathTest, Ordering)
{
	const std::vector<JsonPath> ascending = {JsonPath(0),         JsonPath(1),    JsonPath("a"), JsonPath("a.b"),
	                                         JsonPath("a.b.[0]"), JsonPath("aa"), JsonPath("b")};
	for (size_t i = 0; i < ascending.size(); ++i)
	{
		for (size_t j = 0; j < ascending.size(); ++j)
		{
			SCOPED_TRACE("'" + ascending[i].ToString() + "' vs '" + ascending[j].ToString() + "'");
			EXPECT_EQ(ascending[i] < ascending[j], i < j);
			EXPECT_EQ(ascending[i] == ascending[j], i == j);
		}
	}
	EXPECT_TRUE(Arg(0) < Arg(1) && Arg(1) < Arg("a") && Arg("a") < Arg("b"));
	EXPECT_TRUE(Arg("B") < Arg("a")) << "byte order";
	EXPECT_TRUE(Arg("z") < Arg("\xc3\xa9")) << "bytes compare unsigned";
	const std::set<JsonPath> set = {JsonPath(0), JsonPath("")};
	EXPECT_EQ(set.size(), 2u);
}

TEST(JsonPathTest, Resolve)
{
	const Json::Value doc = Parse(R"({"a": {"b": [10, {"c": true}]}, "": 1, "n": null})");
	struct Case
	{
		std::string path;
		bool found;
		std::string value;
	};
	const Case cases[] = {
	    {"", true, Text(doc)}, {"a.b.[0]", true, "10"}, {"a.b[1].c", true, "true"}, {"a.b.[2]", false, ""},
	    {"a.x", false, ""},    {"a.b.c", false, ""},    {"a.[0]", false, ""},       {"a.b.[0].x", false, ""},
	    {"n", true, "null"},   {"n.x", false, ""},      {"a..", false, ""},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE("'" + c.path + "'");
		const JsonPath path(c.path);
		Json::Value out("untouched");
		EXPECT_EQ(path.Resolve(doc, out), c.found);
		EXPECT_EQ(Text(out), c.found ? c.value : "\"untouched\"");
		const Json::Value* node = path.Resolve(doc);
		EXPECT_EQ(node != nullptr ? Text(*node) : "missing", c.found ? c.value : "missing");
	}
	EXPECT_EQ(JsonPath().Resolve(doc), &doc);
	EXPECT_EQ(Text(*JsonPath(Arg("")).Resolve(doc)), "1");
	EXPECT_EQ(JsonPath(Args{Arg(std::string("a\0b", 3))}).Resolve(doc), nullptr);

	Json::Value mutableDoc = doc;
	*JsonPath("a.b[0]").Resolve(mutableDoc) = 11;
	EXPECT_EQ(mutableDoc["a"]["b"][0].asInt(), 11);
}

TEST(JsonPathTest, Make)
{
	struct Case
	{
		std::string label, doc;
		JsonPath path;
		std::string expectedDoc, error;
	};
	const Case cases[] = {
	    {"null root", "null", JsonPath("x.[1]"), R"({"x":[null,null]})", ""},
	    {"existing", R"({"a":{"b":1}})", JsonPath("a.b"), R"({"a":{"b":1}})", ""},
	    {"missing member", R"({"a":{}})", JsonPath("a.c"), R"({"a":{"c":null}})", ""},
	    {"padding", R"([1])", JsonPath("[3]"), R"([1,null,null,null])", ""},
	    {"empty path", "5", JsonPath(), "5", ""},
	    {"name in a number", R"({"a":5})", JsonPath("a.b"), R"({"a":5})", "a.b is not an object"},
	    {"index in an object", R"({"a":{}})", JsonPath("a.[0]"), R"({"a":{}})", "a.[0] is not an array"},
	    {"name in an array", R"([])", JsonPath("x"), "[]", "x is not an object"},
	    {"nested containers", "null", JsonPath("a.[0].b.[1]"), R"({"a":[{"b":[null,null]}]})", ""},
	    {"containers made before the failure stay", "null", JsonPath("a.[70000]"), R"({"a":null})",
	     "a.[70000] exceeds the limit of 65536 array elements"},
	    {"largest index", "null", JsonPath(JsonPath::MaxMakeArrayElements - 1), "", ""},
	    {"index past the limit", R"({"a":[]})", JsonPath("a[65536]"), R"({"a":[]})",
	     "a.[65536] exceeds the limit of 65536 array elements"},
	    {"huge index", "null", JsonPath("[2147483647]"), "null",
	     "[2147483647] exceeds the limit of 65536 array elements"},
	    {"index beyond 32 bits", "[]", JsonPath(Args{Arg(size_t{1} << 40)}), "[]",
	     "[1099511627776] exceeds the limit of 65536 array elements"},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.label);
		Json::Value doc = Parse(c.doc);
		if (c.error.empty())
		{
			Json::Value& made = c.path.Make(doc);
			EXPECT_EQ(&made, c.path.Resolve(doc));
			if (!c.expectedDoc.empty())
			{
				EXPECT_EQ(Text(doc), c.expectedDoc);
			}
		}
		else
		{
			EXPECT_EQ(ErrorOf([&] { c.path.Make(doc); }), c.error);
			EXPECT_EQ(Text(doc), c.expectedDoc);
		}
	}

	// Arrays that already hold the element are not grown, whatever their size.
	Json::Value big(Json::arrayValue);
	big.resize(JsonPath::MaxMakeArrayElements + 2);
	EXPECT_EQ(&JsonPath(JsonPath::MaxMakeArrayElements + 1).Make(big), &big[65537u]);

	std::string deep;
	for (size_t i = 0; i <= JsonPath::MaxMakeDepth; ++i)
		deep += "a.";
	Json::Value deepDoc;
	EXPECT_EQ(ErrorOf([&] { JsonPath(deep).Make(deepDoc); }), deep + " is deeper than the limit of 1000 levels");
	EXPECT_TRUE(deepDoc.isNull());
}

TEST(JsonPathTest, Erase)
{
	struct Case
	{
		std::string doc, path;
		bool result;
		std::string after;
	};
	const Case cases[] = {
	    {"{}", "", false, "{}"},
	    {"{}", "a.b", true, "{}"},
	    {R"({"a":{}})", "a.b", false, R"({"a":{}})"},
	    {R"({"a":[1]})", "a.[5]", false, R"({"a":[1]})"},
	    {R"({"a":[1,2,3]})", "a.[0]", true, R"({"a":[2,3]})"},
	    {R"({"a":{"b":1,"c":2}})", "a.b", true, R"({"a":{"c":2}})"},
	    {R"({"a":5})", "a.b", false, R"({"a":5})"},
	    {R"({"a":{"b":1}})", "a.[0]", false, R"({"a":{"b":1}})"},
	    {R"([{"b":1}])", "[0].b", true, R"([{}])"},
	    {R"({"a":1})", "a", true, "{}"},
	    {"7", "a", false, "7"},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE(c.doc + " erase '" + c.path + "'");
		Json::Value doc = Parse(c.doc);
		EXPECT_EQ(JsonPath(c.path).Erase(doc), c.result);
		EXPECT_EQ(Text(doc), c.after);
	}
}

TEST(JsonPathTest, PatternMatching)
{
	struct Case
	{
		std::string pattern, path;
		size_t matchNum;
		bool match, matchFirst;
	};
	const Case cases[] = {
	    {"tls.certificate", "tls", 1, true, true},
	    {"tls.certificate", "", 0, true, false},
	    {"tls.certificate", "tls.certificate", 2, true, true},
	    {"tls.certificate", "tls.key", 1, false, true},
	    {"tls.*", "tls.a.b", 2, true, true},
	    {"a.*.c", "a.b.d", 2, true, true},
	    {"*.port", "x.y", 1, true, true},
	    {"tls.*", "cors.origin", 0, false, false},
	    {"a.*", "a", 1, true, true},
	    {"a", "a.b", 1, false, true},
	    {"*", "[0]", 1, true, true},
	    {"*", "[0].x", 1, true, true},
	    {"", "a", 0, false, false},
	    {"", "", 0, true, false},
	    {"[1]", "[1]", 1, true, true},
	    {"[1]", "[2]", 0, false, false},
	    {"a.[*]", "a.x", 1, false, true},
	};
	for (const auto& c : cases)
	{
		SCOPED_TRACE("pattern '" + c.pattern + "' on '" + c.path + "'");
		const JsonPathPattern pattern(c.pattern);
		const JsonPath path(c.path);
		EXPECT_EQ(pattern.MatchNum(path), c.matchNum);
		EXPECT_EQ(pattern.Match(path), c.match);
		EXPECT_EQ(pattern.MatchFirst(path), c.matchFirst);
	}
	EXPECT_TRUE(JsonPathPattern::ArgMatch(Arg("*"), Arg(3)));
	EXPECT_FALSE(JsonPathPattern::ArgMatch(Arg(3), Arg("*")));
	EXPECT_TRUE(JsonPathPattern("a.b") < JsonPathPattern("b"));
}

TEST(JsonPathTest, ChildrenOf)
{
	std::map<Arg, Json::Value> children;
	ChildrenOf(Parse(R"(["x", "y"])"), children);
	ChildrenOf(Parse(R"({"b": 2, "a": 1})"), children);
	ChildrenOf(Parse(R"(["replaced?"])"), children);
	ChildrenOf(Parse("5"), children);
	ChildrenOf(Json::Value(), children);

	std::vector<std::string> listed;
	for (const auto& [arg, value] : children)
		listed.push_back(arg.ToString() + "=" + Text(value));
	EXPECT_EQ(listed, (std::vector<std::string>{"[0]=\"x\"", "[1]=\"y\"", "a=1", "b=2"}));
}
