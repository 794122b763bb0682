#pragma once
// The framework's small helpers: tick intervals, date text, string edits, number text, network
// adapter look-ups and shell commands (through the platform seam, Platform.h).

#include <SDL_stdinc.h>

#include <string>
#include <vector>

class AsyncTaskRunner;

namespace MyUtils
{
// The address whose adapter GetFirstMacAddress prefers after defName.
constexpr const char* PreferredAdapterAddress = "192.168.1.100";

// True when Interval ticks have passed since LastTime (0: never), on SDL_GetTicks. A LastTime more
// than 2^31 ticks away from the counter means it wrapped: LastTime restarts from now.
bool IsTime(Uint32& LastTime, Uint32 Interval, bool UpdateLastTime);
// The same against a given tick.
bool IsTime(Uint32& LastTime, Uint32 Interval, bool UpdateLastTime, Uint32 currentTick);

// Local date as "%F".
std::string GetCurrentDateString();

// Without leading and trailing spaces (only ' ').
std::string trim(std::string str);
void trimString(std::string& str);
// Every occurrence of from, left to right, not rescanning inserted text. An empty from does nothing.
void StringReplace(std::string& str, const std::string& from, const std::string& to);

// val in base 2 to 16 (at most 30 digits, minus sign for negative values); "" for another base.
// Thread-safe: the buffer is the calling thread's own, valid until its next call there.
char* itoa(long val, int base);
// The same into Result, which holds at least 32 characters.
char* itoa(long val, char* Result, int base);

// Adapter look-ups over the IPv4 interfaces: 0 found, 1 no such interface (outputs untouched),
// -1 error. pStrMac takes at least 18 characters, pHexMac 6 bytes, IfName 16 characters.
int GetMacAddress(const char* IfName, char* pStrMac, unsigned char* pHexMac);
int GetMacAddressForIP(const char* IPAddress, char* IfName, char* pStrMac, unsigned char* pHexMac);
// The chosen adapter's name ("" when none): defName, the adapter of PreferredAdapterAddress, then
// the usual Ethernet names. MACAddress is set only on success.
std::string GetFirstMacAddress(std::string& MACAddress, unsigned char* pHexMac, const std::string& defName);
// An empty adapter means GetFirstMacAddress's choice. IPAddress is set only on success.
int GetIPAddress(std::string adapter, std::string& IPAddress);

// Runs cmd through the shell on the registered runner (or MyUtils' own one) and returns at once.
void SystemAsync(const std::string& cmd);
// Appends each output line of cmd, without its line end, in pieces of at most 1023 characters.
void SystemExec(const std::string& cmd, std::vector<std::string>& outLines);

// The application registers its runner at start and clears it (null) before it is destroyed;
// without one, SystemAsync uses a runner of its own that it reaps on every call.
void SetAsyncRunner(AsyncTaskRunner* runner);
// MyUtils' own runner, for waiting on its work (ClearAllTasks).
AsyncTaskRunner& FallbackAsyncRunner();
} // namespace MyUtils
