#include "common/Enums.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace logs
{
NAMED_ENUM(EVerbosity, int32_t, Critical, Error, Warning, Important, Info, Normal, Debug, Verbose, VeryVerbose);
} // namespace logs

NAMED_ENUM(ELimitType, int32_t, None, LessThan = 1, MoreThan = 2, Equal = 4, NotEqual = 8,
           LessThanOrEqual = LessThan | Equal, MoreThanOrEqual = MoreThan | Equal);

// Aliases: AlsoFirst repeats First's value, and Third follows it, so it repeats Second's.
NAMED_ENUM(EAlias, uint8_t, First = 1, Second = 2, AlsoFirst = First, Third);

NAMED_ENUM(ESnake, uint16_t, Snake_Case, Plain);

NAMED_ENUM(EWide, int64_t, V0, V1, V2, V3, V4, V5, V6, V7, V8, V9, V10, V11, V12, V13, V14, V15, V16, V17, V18, V19,
           V20, V21, V22, V23, V24, V25, V26, V27, V28, V29, V30, V31, V32, V33, V34, V35, V36, V37, V38, V39, V40, V41,
           V42, V43, V44, V45, V46, V47, V48, V49, V50, V51, V52, V53, V54, V55, V56, V57, V58, V59, V60, V61, V62,
           V63 = -1);

// Only used by the concurrency test, so its name table is first built there.
NAMED_ENUM(EFirstUse, int32_t, Alpha, Beta, Gamma);

using logs::EVerbosity;

// Namespace-level constants, as the logger declares them.
constexpr EVerbosity::_enumerated Critical = EVerbosity::Critical;
constexpr EVerbosity DefaultVerbosity = EVerbosity::Normal;

static_assert(sizeof(EVerbosity) == sizeof(int32_t));
static_assert(sizeof(EAlias) == sizeof(uint8_t));
static_assert(std::is_trivially_copyable_v<ELimitType>);
static_assert(std::is_same_v<ELimitType::_integral, int32_t>);
static_assert(!std::is_default_constructible_v<ELimitType>);
static_assert(EVerbosity::_size() == 9);
static_assert(ELimitType::LessThanOrEqual == 5 && ELimitType::MoreThanOrEqual == 6);
static_assert(DefaultVerbosity._to_integral() == 5);
static_assert(EVerbosity::_values()[0] == Critical);
static_assert(ELimitType::_from_integral(4) == ELimitType::Equal);
static_assert(!ELimitType::_from_integral_nothrow(3).has_value());
static_assert(ELimitType::_is_valid(8) && !ELimitType::_is_valid(16));
static_assert(EWide::_size() == 64);

namespace
{

template <typename Enum>
std::vector<std::string> NamesOf()
{
	std::vector<std::string> names;
	for (const char* name : Enum::_names())
		names.emplace_back(name);
	return names;
}

template <typename Enum>
std::vector<typename Enum::_integral> ValuesOf()
{
	std::vector<typename Enum::_integral> values;
	for (Enum value : Enum::_values())
		values.push_back(value._to_integral());
	return values;
}

template <typename Enum>
void ExpectRoundTrips()
{
	for (Enum value : Enum::_values())
	{
		const char* name = value._to_string();
		SCOPED_TRACE(name);
		ASSERT_NE(name, nullptr);
		EXPECT_EQ(Enum::_from_string(name), value);
		EXPECT_EQ(Enum::_from_string_nocase(name), value);
		EXPECT_EQ(Enum::_from_integral(value._to_integral()), value);
	}
}

// Only the whole message counts.
template <typename Call>
std::string ErrorText(Call call)
{
	try
	{
		call();
	}
	catch (const std::runtime_error& error)
	{
		return error.what();
	}
	return "(no exception)";
}

const char* Describe(EVerbosity verbosity)
{
	switch (verbosity)
	{
		case EVerbosity::Critical:
		case EVerbosity::Error:
			return "failure";
		case EVerbosity::Warning:
		case EVerbosity::Important:
			return "attention";
		case EVerbosity::Info:
		case EVerbosity::Normal:
		case EVerbosity::Debug:
		case EVerbosity::Verbose:
		case EVerbosity::VeryVerbose:
			return "detail";
	}
	return "out of range";
}

} // namespace

TEST(Enums, NamesInDeclarationOrder)
{
	EXPECT_EQ(NamesOf<EVerbosity>(), (std::vector<std::string>{"Critical", "Error", "Warning", "Important", "Info",
	                                                           "Normal", "Debug", "Verbose", "VeryVerbose"}));
	EXPECT_EQ(NamesOf<ELimitType>(), (std::vector<std::string>{"None", "LessThan", "MoreThan", "Equal", "NotEqual",
	                                                           "LessThanOrEqual", "MoreThanOrEqual"}));
	EXPECT_EQ(NamesOf<EAlias>(), (std::vector<std::string>{"First", "Second", "AlsoFirst", "Third"}));
	EXPECT_STREQ(EWide::_names()[63], "V63");
}

TEST(Enums, ValuesInDeclarationOrder)
{
	EXPECT_EQ(ValuesOf<EVerbosity>(), (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
	EXPECT_EQ(ValuesOf<ELimitType>(), (std::vector<int32_t>{0, 1, 2, 4, 8, 5, 6}));
	EXPECT_EQ(ValuesOf<EAlias>(), (std::vector<uint8_t>{1, 2, 1, 2}));
	EXPECT_EQ(EWide::_values()[63]._to_integral(), -1);
}

TEST(Enums, Size)
{
	EXPECT_EQ(EVerbosity::_size(), 9u);
	EXPECT_EQ(ELimitType::_size(), 7u);
	EXPECT_EQ(EAlias::_size(), 4u);
	EXPECT_EQ(EVerbosity::_names().size(), EVerbosity::_size());
	EXPECT_EQ(EWide::_values().size(), 64u);
}

TEST(Enums, EveryEnumeratorRoundTrips)
{
	ExpectRoundTrips<EVerbosity>();
	ExpectRoundTrips<ELimitType>();
	ExpectRoundTrips<ESnake>();
	ExpectRoundTrips<EWide>();
}

TEST(Enums, NocaseLookup)
{
	struct Case
	{
		const char* candidate;
		std::optional<ELimitType> expected;
	};
	const Case cases[] = {
	    {"LessThan", ELimitType::LessThan},
	    {"lessthan", ELimitType::LessThan},
	    {"LESSTHAN", ELimitType::LessThan},
	    {"lEsStHaN", ELimitType::LessThan},
	    {"LessThanOrEqual", ELimitType::LessThanOrEqual},
	    {"LessThanX", std::nullopt},
	    {"LessTha", std::nullopt},
	    {"Less Than", std::nullopt},
	    {"LessThan ", std::nullopt},
	    {" LessThan", std::nullopt},
	    {"LessThan = 1", std::nullopt},
	    {"LessThan=1", std::nullopt},
	    {"", std::nullopt},
	};
	for (const Case& c : cases)
	{
		SCOPED_TRACE(std::string("candidate \"") + c.candidate + "\"");
		EXPECT_EQ(ELimitType::_from_string_nocase_nothrow(c.candidate), c.expected);
		EXPECT_EQ(ELimitType::_is_valid_nocase(c.candidate), c.expected.has_value());
		if (c.expected)
			EXPECT_EQ(ELimitType::_from_string_nocase(c.candidate), *c.expected);
		else
			EXPECT_THROW(ELimitType::_from_string_nocase(c.candidate), std::runtime_error);
	}
}

TEST(Enums, NocaseFoldsOnlyAsciiLetters)
{
	EXPECT_EQ(ESnake::_from_string_nocase_nothrow("SNAKE_CASE"), ESnake::Snake_Case);
	// 0x7F and 0x5F differ only in the bit that folds letters; they must stay different.
	EXPECT_EQ(ESnake::_from_string_nocase_nothrow("snake\x7F"
	                                              "case"),
	          std::nullopt);
	EXPECT_EQ(ESnake::_from_string_nocase_nothrow("PL\xC3\x81IN"), std::nullopt);
}

TEST(Enums, CaseSensitiveLookup)
{
	EXPECT_EQ(ELimitType::_from_string_nothrow("MoreThan"), ELimitType::MoreThan);
	EXPECT_EQ(ELimitType::_from_string_nothrow("morethan"), std::nullopt);
	EXPECT_TRUE(ELimitType::_is_valid("NotEqual"));
	EXPECT_FALSE(ELimitType::_is_valid("notequal"));
}

TEST(Enums, NullAndEmptyNamesMatchNothing)
{
	for (const char* name : {static_cast<const char*>(nullptr), ""})
	{
		SCOPED_TRACE(name == nullptr ? "null" : "empty");
		EXPECT_EQ(ELimitType::_from_string_nothrow(name), std::nullopt);
		EXPECT_EQ(ELimitType::_from_string_nocase_nothrow(name), std::nullopt);
		EXPECT_FALSE(ELimitType::_is_valid(name));
		EXPECT_FALSE(ELimitType::_is_valid_nocase(name));
		EXPECT_THROW(ELimitType::_from_string(name), std::runtime_error);
		EXPECT_THROW(ELimitType::_from_string_nocase(name), std::runtime_error);
	}
}

TEST(Enums, ExceptionTexts)
{
	EXPECT_EQ(ErrorText([] { ELimitType::_from_integral(3); }), "ELimitType::_from_integral: invalid argument");
	EXPECT_EQ(ErrorText([] { ELimitType::_from_string("lessthan"); }), "ELimitType::_from_string: invalid argument");
	EXPECT_EQ(ErrorText([] { ELimitType::_from_string_nocase("Less Than"); }),
	          "ELimitType::_from_string_nocase: invalid argument");
	EXPECT_EQ(ErrorText([] { EVerbosity::_from_integral(-1); }), "EVerbosity::_from_integral: invalid argument");
}

TEST(Enums, IntegralLookup)
{
	EXPECT_EQ(ELimitType::_from_integral(6), ELimitType::MoreThanOrEqual);
	EXPECT_EQ(ELimitType::_from_integral_nothrow(8), ELimitType::NotEqual);
	for (int32_t value : {-1, 3, 7, 16})
	{
		SCOPED_TRACE(value);
		EXPECT_EQ(ELimitType::_from_integral_nothrow(value), std::nullopt);
	}
}

TEST(Enums, ToStringOfNoEnumeratorIsNull)
{
	const ELimitType both = ELimitType::_from_integral_unchecked(ELimitType::LessThan | ELimitType::MoreThan);
	EXPECT_EQ(both._to_integral(), 3);
	EXPECT_EQ(both._to_string(), nullptr);
	EXPECT_STREQ(ELimitType(ELimitType::LessThanOrEqual)._to_string(), "LessThanOrEqual");
}

TEST(Enums, AliasesResolveToFirstDeclared)
{
	EXPECT_STREQ(EAlias(EAlias::AlsoFirst)._to_string(), "First");
	EXPECT_STREQ(EAlias(EAlias::Third)._to_string(), "Second");
	EXPECT_STREQ(EAlias::_from_integral(1)._to_string(), "First");
	EXPECT_EQ(EAlias::_from_string("AlsoFirst"), EAlias::First);
}

TEST(Enums, Comparisons)
{
	constexpr EVerbosity low = EVerbosity::Error;
	constexpr EVerbosity high = EVerbosity::Debug;
	static_assert(low < high && low <= high && high > low && high >= low && low != high && low == low);
	static_assert(low < EVerbosity::Debug && EVerbosity::Critical < low && low == EVerbosity::Error);
	static_assert(EVerbosity::Debug >= low && low != EVerbosity::Critical && EVerbosity::Error <= low);

	struct Case
	{
		EVerbosity a;
		EVerbosity b;
	};
	const Case cases[] = {
	    {EVerbosity::Critical, EVerbosity::Critical},
	    {EVerbosity::Critical, EVerbosity::VeryVerbose},
	    {EVerbosity::VeryVerbose, EVerbosity::Info},
	};
	for (const Case& c : cases)
	{
		SCOPED_TRACE(std::string(c.a._to_string()) + " vs " + c.b._to_string());
		const int32_t x = c.a._to_integral();
		const int32_t y = c.b._to_integral();
		const EVerbosity::_enumerated be = c.b;
		EXPECT_EQ(c.a == c.b, x == y);
		EXPECT_EQ(c.a != c.b, x != y);
		EXPECT_EQ(c.a < c.b, x < y);
		EXPECT_EQ(c.a <= c.b, x <= y);
		EXPECT_EQ(c.a > c.b, x > y);
		EXPECT_EQ(c.a >= c.b, x >= y);
		EXPECT_EQ(c.a < be, x < y);
		EXPECT_EQ(be > c.a, x < y);
		EXPECT_EQ(be == c.a, x == y);
	}
}

TEST(Enums, UsableAsMapKey)
{
	std::map<EVerbosity, std::string> labels{{EVerbosity::Debug, "dbg"}, {EVerbosity::Critical, "crit"}};
	labels[EVerbosity::Info] = "info";
	ASSERT_EQ(labels.size(), 3u);
	EXPECT_EQ(labels.begin()->first, EVerbosity::Critical);
	EXPECT_EQ(labels.at(EVerbosity::Debug), "dbg");
}

TEST(Enums, SwitchOverNamedEnum)
{
	EXPECT_STREQ(Describe(EVerbosity::Critical), "failure");
	EXPECT_STREQ(Describe(DefaultVerbosity), "detail");
	EXPECT_STREQ(Describe(EVerbosity::_from_integral_unchecked(42)), "out of range");
}

TEST(Enums, EnumOwnName)
{
	EXPECT_STREQ(EVerbosity::_name(), "EVerbosity");
	EXPECT_STREQ(ELimitType::_name(), "ELimitType");
}

TEST(Enums, NameEndsAtEqualsBlankTabOrLineFeed)
{
	// The macro's stringizing turns any blank run into one space, so tab and line feed are
	// only reachable by building a table directly.
	static const char declared[] = "A=1,B\t= 2,C\n,D,";
	const std::size_t sizes[] = {sizeof("A=1"), sizeof("B\t= 2"), sizeof("C\n"), sizeof("D")};
	const better_enums::NameTable<4, sizeof(declared)> table(declared, sizes);
	const char* const expected[] = {"A", "B", "C", "D"};
	for (std::size_t i = 0; i < 4; ++i)
	{
		SCOPED_TRACE(i);
		EXPECT_STREQ(table.Names()[i], expected[i]);
	}
}

TEST(Enums, FirstUseFromManyThreads)
{
	std::vector<std::thread> threads;
	std::vector<std::string> seen(8);
	for (std::size_t i = 0; i < seen.size(); ++i)
	{
		threads.emplace_back(
		    [&seen, i]
		    {
			    const EFirstUse value = EFirstUse::_from_integral_unchecked(static_cast<int32_t>(i % 3));
			    seen[i] = value._to_string();
		    });
	}
	for (std::thread& thread : threads)
		thread.join();
	for (std::size_t i = 0; i < seen.size(); ++i)
		EXPECT_EQ(seen[i], NamesOf<EFirstUse>()[i % 3]);
}
