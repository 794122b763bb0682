#pragma once
// Named enumerations: a class per enum that holds one value of its underlying type, converts to and
// from the enumerators' declared names and iterates them in declaration order.
//
//   NAMED_ENUM(ELimitType, int32_t, None, LessThan = 1, MoreThan = 2, Equal = 4, LessThanOrEqual = LessThan | Equal);
//
// The class converts implicitly to its nested plain enum, so it works in switch statements and with
// the enumerators; text lookups go through a name table built once per enum on first use.

#include <cstddef>
#include <cstring>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>

namespace better_enums
{

// Lets an enumerator's declared text ("LessThan = 1") be reused as an expression: after a cast to
// this type the initialiser becomes an assignment to a temporary, which is ignored.
template <typename E>
class EatAssign
{
public:
	explicit constexpr EatAssign(E value) noexcept : mValue(value) {}
	template <typename Any>
	constexpr EatAssign operator=(Any) const noexcept
	{
		return *this;
	}
	constexpr operator E() const noexcept { return mValue; }

private:
	E mValue;
};

// Characters that end an enumerator's name inside its declared text.
constexpr bool EndsName(char c) noexcept
{
	return c == '=' || c == ' ' || c == '\t' || c == '\n';
}

// Only ASCII letters fold; every other byte, UTF-8 included, must match as is.
constexpr char FoldAscii(char c) noexcept
{
	return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool EqualExact(const char* name, const char* candidate) noexcept
{
	return std::strcmp(name, candidate) == 0;
}

inline bool EqualNocase(const char* name, const char* candidate) noexcept
{
	for (; *name != '\0'; ++name, ++candidate)
	{
		// A shorter candidate stops here on its terminator, which no name character equals.
		if (FoldAscii(*name) != FoldAscii(*candidate))
			return false;
	}
	return *candidate == '\0';
}

[[noreturn]] inline void ThrowInvalidArgument(const char* enumName, const char* operation)
{
	throw std::runtime_error(std::string(enumName) + "::" + operation + ": invalid argument");
}

// One writable copy of an enum's declared text ("None,LessThan = 1,...,") with a terminator written
// after each enumerator's name, so names are handed out as C strings without allocating.
template <std::size_t Count, std::size_t TextSize>
class NameTable
{
public:
	// sizes[i] is the length of enumerator i's text plus one, which covers the comma after it.
	NameTable(const char (&declared)[TextSize], const std::size_t (&sizes)[Count]) noexcept
	{
		std::memcpy(mText, declared, TextSize);
		std::size_t start = 0;
		for (std::size_t i = 0; i < Count; ++i)
		{
			char* entry = mText + start;
			std::size_t end = 0;
			while (end + 1 < sizes[i] && !EndsName(entry[end]))
				++end;
			entry[end] = '\0';
			mNames[i] = entry;
			start += sizes[i];
		}
	}
	// The names point into this object.
	NameTable(const NameTable&) = delete;
	NameTable& operator=(const NameTable&) = delete;

	const char* const* Names() const noexcept { return mNames; }

private:
	char mText[TextSize];
	const char* mNames[Count];
};

// Read-only view over a static array whose elements are handed out converted to Element.
template <typename Element, typename Stored>
class Range
{
public:
	class Iterator
	{
	public:
		using iterator_category = std::input_iterator_tag;
		using value_type = Element;
		using difference_type = std::ptrdiff_t;
		using pointer = void;
		using reference = Element;

		constexpr explicit Iterator(const Stored* at) noexcept : mAt(at) {}
		constexpr Element operator*() const noexcept { return Element(*mAt); }
		constexpr Iterator& operator++() noexcept
		{
			++mAt;
			return *this;
		}
		constexpr Iterator operator++(int) noexcept
		{
			Iterator before = *this;
			++mAt;
			return before;
		}
		constexpr bool operator==(const Iterator& other) const noexcept { return mAt == other.mAt; }
		constexpr bool operator!=(const Iterator& other) const noexcept { return mAt != other.mAt; }

	private:
		const Stored* mAt;
	};

	constexpr Range(const Stored* first, std::size_t count) noexcept : mFirst(first), mCount(count) {}
	constexpr Iterator begin() const noexcept { return Iterator(mFirst); }
	constexpr Iterator end() const noexcept { return Iterator(mFirst + mCount); }
	constexpr std::size_t size() const noexcept { return mCount; }
	constexpr Element operator[](std::size_t index) const noexcept { return Element(mFirst[index]); }

private:
	const Stored* mFirst;
	std::size_t mCount;
};

// The operations shared by every named enum. Derived is the class NAMED_ENUM declares; it is
// incomplete here, so everything that needs its members is looked up inside function bodies.
template <typename Derived, typename Integral>
class EnumBase
{
public:
	static constexpr std::size_t _size() noexcept { return std::size(Derived::_value_array); }

	static constexpr auto _values() noexcept
	{
		return Range<Derived, typename Derived::_enumerated>(Derived::_value_array, _size());
	}
	static Range<const char*, const char*> _names() noexcept { return {Table().Names(), _size()}; }

	// Null when the held value is none of the enumerators (an OR of flags, for example).
	const char* _to_string() const noexcept
	{
		const std::size_t index = IndexOf(static_cast<const Derived&>(*this)._to_integral());
		return index < _size() ? Table().Names()[index] : nullptr;
	}

	static constexpr bool _is_valid(Integral value) noexcept { return IndexOf(value) < _size(); }
	static bool _is_valid(const char* name) noexcept { return Find(name, EqualExact).has_value(); }
	static bool _is_valid_nocase(const char* name) noexcept { return Find(name, EqualNocase).has_value(); }

	static constexpr std::optional<Derived> _from_integral_nothrow(Integral value) noexcept
	{
		if (!_is_valid(value))
			return std::nullopt;
		return Derived::_from_integral_unchecked(value);
	}
	static constexpr Derived _from_integral(Integral value)
	{
		if (!_is_valid(value))
			ThrowInvalidArgument(Derived::_name(), "_from_integral");
		return Derived::_from_integral_unchecked(value);
	}

	static std::optional<Derived> _from_string_nothrow(const char* name) noexcept { return Find(name, EqualExact); }
	static Derived _from_string(const char* name)
	{
		if (const auto found = Find(name, EqualExact))
			return *found;
		ThrowInvalidArgument(Derived::_name(), "_from_string");
	}

	static std::optional<Derived> _from_string_nocase_nothrow(const char* name) noexcept
	{
		return Find(name, EqualNocase);
	}
	static Derived _from_string_nocase(const char* name)
	{
		if (const auto found = Find(name, EqualNocase))
			return *found;
		ThrowInvalidArgument(Derived::_name(), "_from_string_nocase");
	}

private:
	// Index of the first enumerator with this value, so aliases resolve to the first one declared.
	static constexpr std::size_t IndexOf(Integral value) noexcept
	{
		std::size_t index = 0;
		while (index < _size() && static_cast<Integral>(Derived::_value_array[index]) != value)
			++index;
		return index;
	}

	template <typename Equal>
	static std::optional<Derived> Find(const char* name, Equal equal) noexcept
	{
		if (name == nullptr)
			return std::nullopt;
		const char* const* names = Table().Names();
		for (std::size_t index = 0; index < _size(); ++index)
		{
			if (equal(names[index], name))
				return Derived(Derived::_value_array[index]);
		}
		return std::nullopt;
	}

	// Built on first use rather than at start-up, so constructors of other globals may already use it.
	static const auto& Table() noexcept
	{
		static const NameTable<std::size(Derived::_value_array), sizeof(Derived::_declared_text)> table(
		    Derived::_declared_text, Derived::_declared_sizes);
		return table;
	}
};

} // namespace better_enums

// NAMED_ENUM_EACH(m, a, b, c) expands to m(a) m(b) m(c): count the arguments (up to 64), then pick the
// macro that peels that many.
#define NAMED_ENUM_CONCAT_(a, b) a##b
#define NAMED_ENUM_CONCAT(a, b) NAMED_ENUM_CONCAT_(a, b)
#define NAMED_ENUM_EACH(m, ...) NAMED_ENUM_CONCAT(NAMED_ENUM_EACH_, NAMED_ENUM_COUNT(__VA_ARGS__))(m, __VA_ARGS__)
#define NAMED_ENUM_COUNT(...)                                                                                          \
	NAMED_ENUM_COUNT_N(__VA_ARGS__, 64, 63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45,    \
	                   44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, \
	                   20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define NAMED_ENUM_COUNT_N(a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16, a17, a18, a19, a20,  \
                           a21, a22, a23, a24, a25, a26, a27, a28, a29, a30, a31, a32, a33, a34, a35, a36, a37, a38,   \
                           a39, a40, a41, a42, a43, a44, a45, a46, a47, a48, a49, a50, a51, a52, a53, a54, a55, a56,   \
                           a57, a58, a59, a60, a61, a62, a63, a64, n, ...)                                             \
	n
#define NAMED_ENUM_EACH_1(m, x) m(x)
#define NAMED_ENUM_EACH_2(m, x, ...) m(x) NAMED_ENUM_EACH_1(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_3(m, x, ...) m(x) NAMED_ENUM_EACH_2(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_4(m, x, ...) m(x) NAMED_ENUM_EACH_3(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_5(m, x, ...) m(x) NAMED_ENUM_EACH_4(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_6(m, x, ...) m(x) NAMED_ENUM_EACH_5(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_7(m, x, ...) m(x) NAMED_ENUM_EACH_6(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_8(m, x, ...) m(x) NAMED_ENUM_EACH_7(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_9(m, x, ...) m(x) NAMED_ENUM_EACH_8(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_10(m, x, ...) m(x) NAMED_ENUM_EACH_9(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_11(m, x, ...) m(x) NAMED_ENUM_EACH_10(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_12(m, x, ...) m(x) NAMED_ENUM_EACH_11(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_13(m, x, ...) m(x) NAMED_ENUM_EACH_12(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_14(m, x, ...) m(x) NAMED_ENUM_EACH_13(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_15(m, x, ...) m(x) NAMED_ENUM_EACH_14(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_16(m, x, ...) m(x) NAMED_ENUM_EACH_15(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_17(m, x, ...) m(x) NAMED_ENUM_EACH_16(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_18(m, x, ...) m(x) NAMED_ENUM_EACH_17(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_19(m, x, ...) m(x) NAMED_ENUM_EACH_18(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_20(m, x, ...) m(x) NAMED_ENUM_EACH_19(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_21(m, x, ...) m(x) NAMED_ENUM_EACH_20(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_22(m, x, ...) m(x) NAMED_ENUM_EACH_21(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_23(m, x, ...) m(x) NAMED_ENUM_EACH_22(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_24(m, x, ...) m(x) NAMED_ENUM_EACH_23(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_25(m, x, ...) m(x) NAMED_ENUM_EACH_24(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_26(m, x, ...) m(x) NAMED_ENUM_EACH_25(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_27(m, x, ...) m(x) NAMED_ENUM_EACH_26(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_28(m, x, ...) m(x) NAMED_ENUM_EACH_27(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_29(m, x, ...) m(x) NAMED_ENUM_EACH_28(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_30(m, x, ...) m(x) NAMED_ENUM_EACH_29(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_31(m, x, ...) m(x) NAMED_ENUM_EACH_30(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_32(m, x, ...) m(x) NAMED_ENUM_EACH_31(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_33(m, x, ...) m(x) NAMED_ENUM_EACH_32(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_34(m, x, ...) m(x) NAMED_ENUM_EACH_33(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_35(m, x, ...) m(x) NAMED_ENUM_EACH_34(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_36(m, x, ...) m(x) NAMED_ENUM_EACH_35(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_37(m, x, ...) m(x) NAMED_ENUM_EACH_36(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_38(m, x, ...) m(x) NAMED_ENUM_EACH_37(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_39(m, x, ...) m(x) NAMED_ENUM_EACH_38(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_40(m, x, ...) m(x) NAMED_ENUM_EACH_39(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_41(m, x, ...) m(x) NAMED_ENUM_EACH_40(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_42(m, x, ...) m(x) NAMED_ENUM_EACH_41(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_43(m, x, ...) m(x) NAMED_ENUM_EACH_42(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_44(m, x, ...) m(x) NAMED_ENUM_EACH_43(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_45(m, x, ...) m(x) NAMED_ENUM_EACH_44(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_46(m, x, ...) m(x) NAMED_ENUM_EACH_45(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_47(m, x, ...) m(x) NAMED_ENUM_EACH_46(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_48(m, x, ...) m(x) NAMED_ENUM_EACH_47(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_49(m, x, ...) m(x) NAMED_ENUM_EACH_48(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_50(m, x, ...) m(x) NAMED_ENUM_EACH_49(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_51(m, x, ...) m(x) NAMED_ENUM_EACH_50(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_52(m, x, ...) m(x) NAMED_ENUM_EACH_51(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_53(m, x, ...) m(x) NAMED_ENUM_EACH_52(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_54(m, x, ...) m(x) NAMED_ENUM_EACH_53(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_55(m, x, ...) m(x) NAMED_ENUM_EACH_54(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_56(m, x, ...) m(x) NAMED_ENUM_EACH_55(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_57(m, x, ...) m(x) NAMED_ENUM_EACH_56(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_58(m, x, ...) m(x) NAMED_ENUM_EACH_57(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_59(m, x, ...) m(x) NAMED_ENUM_EACH_58(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_60(m, x, ...) m(x) NAMED_ENUM_EACH_59(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_61(m, x, ...) m(x) NAMED_ENUM_EACH_60(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_62(m, x, ...) m(x) NAMED_ENUM_EACH_61(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_63(m, x, ...) m(x) NAMED_ENUM_EACH_62(m, __VA_ARGS__)
#define NAMED_ENUM_EACH_64(m, x, ...) m(x) NAMED_ENUM_EACH_63(m, __VA_ARGS__)

// Per-enumerator pieces: its value (the cast swallows any "= initialiser"), its declared text followed
// by a comma, and the size of that text including the comma.
#define NAMED_ENUM_VALUE(x) ((::better_enums::EatAssign<_enumerated>)_enumerated::x),
#define NAMED_ENUM_TEXT(x) #x ","
#define NAMED_ENUM_SIZE(x) sizeof(#x),

// Comparisons on the held values; the mixed forms keep "value == Name::Enumerator" unambiguous.
#define NAMED_ENUM_COMPARE(Name, op)                                                                                   \
	friend constexpr bool operator op(Name a, Name b) noexcept                                                         \
	{                                                                                                                  \
		return a._value op b._value;                                                                                   \
	}                                                                                                                  \
	friend constexpr bool operator op(Name a, _enumerated b) noexcept                                                  \
	{                                                                                                                  \
		return a._value op static_cast<_integral>(b);                                                                  \
	}                                                                                                                  \
	friend constexpr bool operator op(_enumerated a, Name b) noexcept                                                  \
	{                                                                                                                  \
		return static_cast<_integral>(a) op b._value;                                                                  \
	}

// Declares class Name at namespace scope, holding one Integral. No default constructor: every value
// starts as a chosen enumerator.
#define NAMED_ENUM(Name, Integral, ...)                                                                                \
	class Name : public ::better_enums::EnumBase<Name, Integral>                                                       \
	{                                                                                                                  \
	public:                                                                                                            \
		using _integral = Integral;                                                                                    \
		enum _enumerated : Integral                                                                                    \
		{                                                                                                              \
			__VA_ARGS__                                                                                                \
		};                                                                                                             \
                                                                                                                       \
		constexpr Name(_enumerated value) noexcept : _value(static_cast<_integral>(value)) {}                          \
		constexpr operator _enumerated() const noexcept { return static_cast<_enumerated>(_value); }                   \
		constexpr _integral _to_integral() const noexcept { return _value; }                                           \
		/* Any value of Integral, including ones no enumerator has, such as an OR of flags. */                         \
		static constexpr Name _from_integral_unchecked(_integral value) noexcept                                       \
		{                                                                                                              \
			return Name(static_cast<_enumerated>(value));                                                              \
		}                                                                                                              \
		static constexpr const char* _name() noexcept { return #Name; }                                                \
                                                                                                                       \
		NAMED_ENUM_COMPARE(Name, ==)                                                                                   \
		NAMED_ENUM_COMPARE(Name, !=)                                                                                   \
		NAMED_ENUM_COMPARE(Name, <)                                                                                    \
		NAMED_ENUM_COMPARE(Name, <=)                                                                                   \
		NAMED_ENUM_COMPARE(Name, >)                                                                                    \
		NAMED_ENUM_COMPARE(Name, >=)                                                                                   \
                                                                                                                       \
	private:                                                                                                           \
		friend ::better_enums::EnumBase<Name, Integral>;                                                               \
		static constexpr _enumerated _value_array[] = {NAMED_ENUM_EACH(NAMED_ENUM_VALUE, __VA_ARGS__)};                \
		static constexpr char _declared_text[] = NAMED_ENUM_EACH(NAMED_ENUM_TEXT, __VA_ARGS__);                        \
		static constexpr std::size_t _declared_sizes[] = {NAMED_ENUM_EACH(NAMED_ENUM_SIZE, __VA_ARGS__)};              \
                                                                                                                       \
		_integral _value;                                                                                              \
	}
