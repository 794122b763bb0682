#pragma once

#include <string>
#include <thread>
#include <vector>

namespace kelutils
{
// The kernel's limit for thread names, without the terminator.
constexpr size_t THREAD_NAME_MAX_LENGTH = 15;

// Names the thread with at most the first THREAD_NAME_MAX_LENGTH characters of name.
void SetThreadName(std::thread& t, const std::string& name);
// The same for the calling thread.
void SetCurrentThreadName(const std::string& name);

// Pieces between occurrences of delimiter. An empty phrase gives no pieces; an empty delimiter
// gives the whole phrase as one piece.
std::vector<std::string> Split(const std::string& phrase, const std::string& delimiter, bool bDeleteEmptyEntries);

// Whole text as a base-10 integer (leading blanks and a sign allowed, out-of-range values clamp).
// True only when nothing follows the number; the empty text is 0.
bool strToInt2(const std::string& str, long& outInt);
// The same, narrowed to int; use outInt only when the result is true.
bool strToInt2(const std::string& str, int& outInt);
} // namespace kelutils
