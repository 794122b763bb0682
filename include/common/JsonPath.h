#pragma once
// Paths into JSON documents: a sequence of member names and array indices, written as dotted text
// ("tls.certificate", "groups.[2].value"). Patterns are paths whose "*" arguments match anything.
//
// Paths are plain values. Every failure is a JsonPathError; parsing text never fails, malformed
// brackets degrade into name text.

#include <json/json.h>

#include <cstddef>
#include <limits>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

class JsonPathError : public std::runtime_error
{
public:
	using std::runtime_error::runtime_error;
};

class JsonPath
{
public:
	// One step of a path: an array index, or a member name when the index is npos.
	class Argument
	{
	public:
		static constexpr size_t npos = std::numeric_limits<size_t>::max();

		// Any integer type, so that Argument(0) does not collide with the name overloads.
		template <typename Int, std::enable_if_t<std::is_integral_v<Int> && !std::is_same_v<Int, bool>, int> = 0>
		Argument(Int idx) : _idx(static_cast<size_t>(idx))
		{
		}
		Argument(const std::string& name) : _idx(npos), _name(name) {}
		Argument(std::string&& name) : _idx(npos), _name(std::move(name)) {}
		// A null pointer is the empty name.
		Argument(const char* name) : _idx(npos), _name(name != nullptr ? name : "") {}

		size_t Idx() const { return _idx; }
		const std::string& Name() const { return _name; }
		bool IsIndex() const { return _idx != npos; }
		bool IsName() const { return _idx == npos; }

		// The child this argument names in v, or null when v has no such child.
		const Json::Value* Resolve(const Json::Value& v) const;
		Json::Value* Resolve(Json::Value& v) const;
		// The child, created when missing; parentPath is only used in the error text.
		Json::Value& Make(Json::Value& v, const JsonPath& parentPath) const;
		// True when the child existed and was removed.
		bool Erase(Json::Value& v) const;

		// A name as is, an index as "[<index>]".
		std::string ToString() const;

		bool operator==(const Argument& rhs) const { return _idx == rhs._idx && _name == rhs._name; }
		bool operator!=(const Argument& rhs) const { return !(*this == rhs); }
		// Indices first (ascending), then names in byte order.
		bool operator<(const Argument& rhs) const { return _idx != rhs._idx ? _idx < rhs._idx : _name < rhs._name; }

	private:
		size_t _idx;
		std::string _name;
	};

	// Make refuses to grow an array past this many elements: an index read from a document must not
	// make us allocate billions of nulls.
	static constexpr size_t MaxMakeArrayElements = 65536;
	// Make refuses paths longer than this; deeper nesting would overflow the stack of the recursive
	// destructor and writers of the JSON library (its reader stops at the same depth).
	static constexpr size_t MaxMakeDepth = 1000;

	JsonPath() = default;
	JsonPath(const std::string& text);
	// A null pointer is the empty path.
	JsonPath(const char* text);
	JsonPath(const Argument& arg);
	// A one-index path; without it JsonPath(0) would pick the text overload with a null pointer.
	template <typename Int, std::enable_if_t<std::is_integral_v<Int> && !std::is_same_v<Int, bool>, int> = 0>
	JsonPath(Int idx) : JsonPath(Argument(idx))
	{
	}
	JsonPath(const std::vector<Argument>& args);

	const std::vector<Argument>& Parts() const { return mPathArguments; }
	size_t NumParts() const { return mPathArguments.size(); }
	bool IsEmpty() const { return mPathArguments.empty(); }
	const Argument& First() const;
	const Argument& Last() const;

	// Arguments joined with ".", indices written as "[<index>]".
	std::string ToString() const;
	operator std::string() const { return ToString(); }

	JsonPath Parent() const;
	JsonPath Child(const Argument& arg) const;
	// At most num arguments from start on; start past the end throws.
	JsonPath Splice(size_t start, size_t num = Argument::npos) const;

	// Copies the node into out and returns true when it exists; out is untouched otherwise.
	bool Resolve(const Json::Value& root, Json::Value& out) const;
	const Json::Value* Resolve(const Json::Value& root) const;
	Json::Value* Resolve(Json::Value& root) const;
	// The node, created with every missing container on the way.
	Json::Value& Make(Json::Value& root) const;
	// False for the empty path and when the parent exists but lacks the node; true when the node was
	// removed or when its parent is already missing.
	bool Erase(Json::Value& root) const;

	bool operator==(const JsonPath& rhs) const { return mPathArguments == rhs.mPathArguments; }
	bool operator!=(const JsonPath& rhs) const { return !(*this == rhs); }
	bool operator<(const JsonPath& rhs) const { return mPathArguments < rhs.mPathArguments; }

protected:
	std::vector<Argument> mPathArguments;
};

// A path whose arguments named "*" match any single argument.
class JsonPathPattern : public JsonPath
{
public:
	JsonPathPattern() = default;
	JsonPathPattern(const std::string& text) : JsonPath(text) {}
	JsonPathPattern(const char* text) : JsonPath(text) {}
	explicit JsonPathPattern(const JsonPath& path) : JsonPath(path) {}

	static bool IsWildcard(const Argument& arg) { return arg.IsName() && arg.Name() == "*"; }
	static bool ArgMatch(const Argument& predicate, const Argument& test)
	{
		return IsWildcard(predicate) || predicate == test;
	}

	// Number of leading arguments that match, up to the shorter length.
	size_t MatchNum(const JsonPath& path) const;
	// True when path is a matching prefix of the pattern, or matches up to a wildcard after which
	// it goes on (a wildcard also covers everything below it).
	bool Match(const JsonPath& path) const;
	// True when both are non-empty and their first arguments match.
	bool MatchFirst(const JsonPath& path) const;
};

// Adds the direct children of value (array elements by index, object members by name) to out,
// keeping entries out already has.
void ChildrenOf(const Json::Value& value, std::map<JsonPath::Argument, Json::Value>& out);

std::ostream& operator<<(std::ostream& os, const JsonPath::Argument& arg);
std::ostream& operator<<(std::ostream& os, const JsonPath& path);
