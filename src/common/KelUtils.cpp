#include "common/KelUtils.h"

#include <cerrno>
#include <cstdlib>
#include <pthread.h>

namespace
{
void NameThread(pthread_t handle, const std::string& name)
{
	pthread_setname_np(handle, name.substr(0, kelutils::THREAD_NAME_MAX_LENGTH).c_str());
}
} // namespace

void kelutils::SetThreadName(std::thread& t, const std::string& name)
{
	if (t.joinable())
		NameThread(t.native_handle(), name);
}

void kelutils::SetCurrentThreadName(const std::string& name)
{
	NameThread(pthread_self(), name);
}

std::vector<std::string> kelutils::Split(const std::string& phrase, const std::string& delimiter,
                                         bool bDeleteEmptyEntries)
{
	std::vector<std::string> pieces;
	if (phrase.empty())
		return pieces;
	if (delimiter.empty())
	{
		pieces.push_back(phrase);
		return pieces;
	}
	size_t start = 0;
	while (start <= phrase.size())
	{
		size_t end = phrase.find(delimiter, start);
		if (end == std::string::npos)
			end = phrase.size();
		if (end > start || !bDeleteEmptyEntries)
			pieces.push_back(phrase.substr(start, end - start));
		start = end + delimiter.size();
	}
	return pieces;
}

bool kelutils::strToInt2(const std::string& str, long& outInt)
{
	const char* begin = str.c_str();
	char* end = nullptr;
	errno = 0;
	const long value = std::strtol(begin, &end, 10);
	if (*end != '\0')
		return false;
	outInt = value;
	return true;
}

bool kelutils::strToInt2(const std::string& str, int& outInt)
{
	long value = 0;
	if (!strToInt2(str, value))
		return false;
	outInt = static_cast<int>(value);
	return true;
}
