#include "common/JsonPath.h"

#include "common/KelUtils.h"

#include <algorithm>

namespace
{
constexpr long MaxIndexText = 2147483647;

// A bracket's content is an index when it reads as a whole decimal number in 0..2^31-1.
bool ParseIndex(const std::string& text, size_t& outIdx)
{
	// strtol would stop at an embedded terminator and accept what precedes it.
	if (text.find('\0') != std::string::npos)
		return false;
	long value = 0;
	if (!kelutils::strToInt2(text, value) || value < 0 || value > MaxIndexText)
		return false;
	outIdx = static_cast<size_t>(value);
	return true;
}

// Scans one dot-separated segment. Every position is looked at a bounded number of times, so a
// text full of brackets stays linear.
void ParseSegment(const std::string& seg, std::vector<JsonPath::Argument>& out)
{
	constexpr size_t npos = std::string::npos;
	size_t last = 0;
	size_t nextOpen = seg.find('[');
	size_t close = npos;
	bool bNoMoreClose = false;
	do
	{
		const size_t open = nextOpen;
		if (open == npos)
		{
			out.emplace_back(seg.substr(last));
			break;
		}
		if (open > last)
			out.emplace_back(seg.substr(last, open - last));
		nextOpen = seg.find('[', open + 1);
		if (!bNoMoreClose && (close == npos || close <= open))
		{
			close = seg.find(']', open + 1);
			bNoMoreClose = close == npos;
		}
		size_t idx = 0;
		// A "[" inside the brackets can never be part of a number, so such content is not parsed.
		if (close != npos && (nextOpen == npos || nextOpen > close) &&
		    ParseIndex(seg.substr(open + 1, close - open - 1), idx))
		{
			out.emplace_back(idx);
			last = close + 1;
		}
		else
		{
			// Not an index: the bracket is dropped and what follows becomes name text.
			last = open + 1;
		}
	} while (last < seg.size());
}

// The node reached through the first count arguments, or null when one of them is missing.
const Json::Value* Walk(const std::vector<JsonPath::Argument>& args, size_t count, const Json::Value& root)
{
	const Json::Value* node = &root;
	for (size_t i = 0; i < count && node != nullptr; ++i)
		node = args[i].Resolve(*node);
	return node;
}
} // namespace

const Json::Value* JsonPath::Argument::Resolve(const Json::Value& v) const
{
	if (IsName())
	{
		if (!v.isObject())
			return nullptr;
		return v.find(_name.data(), _name.data() + _name.size());
	}
	if (!v.isArray() || _idx >= v.size())
		return nullptr;
	return &v[static_cast<Json::ArrayIndex>(_idx)];
}

Json::Value* JsonPath::Argument::Resolve(Json::Value& v) const
{
	// The child belongs to v, which is mutable.
	return const_cast<Json::Value*>(Resolve(static_cast<const Json::Value&>(v)));
}

Json::Value& JsonPath::Argument::Make(Json::Value& v, const JsonPath& parentPath) const
{
	if (IsName())
	{
		if (!v.isObject() && !v.isNull())
			throw JsonPathError(parentPath.ToString() + " is not an object");
		if (v.isNull())
			v = Json::Value(Json::objectValue);
		return v[_name];
	}
	if (!v.isArray() && !v.isNull())
		throw JsonPathError(parentPath.ToString() + " is not an array");
	if (_idx >= v.size() && _idx >= MaxMakeArrayElements)
		throw JsonPathError(parentPath.ToString() + " exceeds the limit of " + std::to_string(MaxMakeArrayElements) +
		                    " array elements");
	if (v.isNull())
		v = Json::Value(Json::arrayValue);
	return v[static_cast<Json::ArrayIndex>(_idx)];
}

bool JsonPath::Argument::Erase(Json::Value& v) const
{
	if (IsName())
	{
		if (!v.isObject())
			return false;
		Json::Value removed;
		return v.removeMember(_name.data(), _name.data() + _name.size(), &removed);
	}
	if (!v.isArray() || _idx >= v.size())
		return false;
	Json::Value removed;
	return v.removeIndex(static_cast<Json::ArrayIndex>(_idx), &removed);
}

std::string JsonPath::Argument::ToString() const
{
	return IsName() ? _name : "[" + std::to_string(_idx) + "]";
}

JsonPath::JsonPath(const std::string& text)
{
	for (const std::string& seg : kelutils::Split(text, ".", false))
		ParseSegment(seg, mPathArguments);
}

JsonPath::JsonPath(const char* text) : JsonPath(std::string(text != nullptr ? text : ""))
{
}

JsonPath::JsonPath(const Argument& arg) : mPathArguments{arg}
{
}

JsonPath::JsonPath(const std::vector<Argument>& args) : mPathArguments(args)
{
}

const JsonPath::Argument& JsonPath::First() const
{
	if (IsEmpty())
		throw JsonPathError("Path is empty, therefore you cannot call First()");
	return mPathArguments.front();
}

const JsonPath::Argument& JsonPath::Last() const
{
	if (IsEmpty())
		throw JsonPathError("Path is empty, therefore you cannot call Last()");
	return mPathArguments.back();
}

std::string JsonPath::ToString() const
{
	std::string text;
	for (size_t i = 0; i < mPathArguments.size(); ++i)
	{
		if (i > 0)
			text += '.';
		text += mPathArguments[i].ToString();
	}
	return text;
}

JsonPath JsonPath::Parent() const
{
	if (IsEmpty())
		return {};
	return JsonPath(std::vector<Argument>(mPathArguments.begin(), mPathArguments.end() - 1));
}

JsonPath JsonPath::Child(const Argument& arg) const
{
	JsonPath child(*this);
	child.mPathArguments.push_back(arg);
	return child;
}

JsonPath JsonPath::Splice(size_t start, size_t num) const
{
	if (start > mPathArguments.size())
		throw JsonPathError("Path does not contain " + std::to_string(start) + " arguments");
	const size_t count = std::min(num, mPathArguments.size() - start);
	const auto first = mPathArguments.begin() + static_cast<std::ptrdiff_t>(start);
	return JsonPath(std::vector<Argument>(first, first + static_cast<std::ptrdiff_t>(count)));
}

bool JsonPath::Resolve(const Json::Value& root, Json::Value& out) const
{
	const Json::Value* node = Resolve(root);
	if (node == nullptr)
		return false;
	out = *node;
	return true;
}

const Json::Value* JsonPath::Resolve(const Json::Value& root) const
{
	return Walk(mPathArguments, mPathArguments.size(), root);
}

Json::Value* JsonPath::Resolve(Json::Value& root) const
{
	return const_cast<Json::Value*>(Resolve(static_cast<const Json::Value&>(root)));
}

Json::Value& JsonPath::Make(Json::Value& root) const
{
	if (mPathArguments.size() > MaxMakeDepth)
		throw JsonPathError(ToString() + " is deeper than the limit of " + std::to_string(MaxMakeDepth) + " levels");
	// Grown one argument at a time, so long paths do not copy their prefixes over and over.
	JsonPath madeSoFar;
	madeSoFar.mPathArguments.reserve(mPathArguments.size());
	Json::Value* node = &root;
	for (const Argument& arg : mPathArguments)
	{
		madeSoFar.mPathArguments.push_back(arg);
		node = &arg.Make(*node, madeSoFar);
	}
	return *node;
}

bool JsonPath::Erase(Json::Value& root) const
{
	if (IsEmpty())
		return false;
	const Json::Value* parent = Walk(mPathArguments, mPathArguments.size() - 1, root);
	if (parent == nullptr)
		return true;
	// The parent lies inside root, which is mutable.
	return Last().Erase(*const_cast<Json::Value*>(parent));
}

size_t JsonPathPattern::MatchNum(const JsonPath& path) const
{
	const size_t count = std::min(NumParts(), path.NumParts());
	size_t matched = 0;
	while (matched < count && ArgMatch(mPathArguments[matched], path.Parts()[matched]))
		++matched;
	return matched;
}

bool JsonPathPattern::Match(const JsonPath& path) const
{
	const size_t matched = MatchNum(path);
	if (matched == path.NumParts())
		return true;
	return matched > 0 && IsWildcard(mPathArguments[matched - 1]);
}

bool JsonPathPattern::MatchFirst(const JsonPath& path) const
{
	if (IsEmpty() || path.IsEmpty())
		return false;
	return ArgMatch(First(), path.First());
}

void ChildrenOf(const Json::Value& value, std::map<JsonPath::Argument, Json::Value>& out)
{
	if (value.isArray())
	{
		for (Json::ArrayIndex i = 0; i < value.size(); ++i)
			out.try_emplace(JsonPath::Argument(i), value[i]);
	}
	else if (value.isObject())
	{
		for (const std::string& name : value.getMemberNames())
			out.try_emplace(JsonPath::Argument(name), value[name]);
	}
}

std::ostream& operator<<(std::ostream& os, const JsonPath::Argument& arg)
{
	return os << arg.ToString();
}

std::ostream& operator<<(std::ostream& os, const JsonPath& path)
{
	return os << path.ToString();
}
