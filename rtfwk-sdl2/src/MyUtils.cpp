#include "MyUtils.h"

#include "Platform.h"
#include "common/AsyncTaskRunner.h"
#include "common/Logger.h"

#include <SDL_timer.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace MyUtils
{
namespace
{
constexpr int64_t kTickOverflow = 2147483647;
constexpr size_t kMaxInterfaces = 64;
constexpr int kMaxDigits = 30;

std::atomic<AsyncTaskRunner*> gAsyncRunner{nullptr};

// ---- adapters ----

class Socket
{
public:
	Socket() : mFd(::socket(AF_INET, SOCK_DGRAM, 0)) {}
	Socket(const Socket&) = delete;
	Socket& operator=(const Socket&) = delete;
	~Socket()
	{
		if (mFd >= 0)
			::close(mFd);
	}
	int fd() const { return mFd; }

private:
	int mFd;
};

// The IPv4 interfaces; false on error.
bool ListInterfaces(int fd, std::vector<ifreq>& out)
{
	out.assign(kMaxInterfaces, ifreq{});
	ifconf conf{};
	conf.ifc_len = static_cast<int>(out.size() * sizeof(ifreq));
	conf.ifc_req = out.data();
	if (::ioctl(fd, SIOCGIFCONF, &conf) < 0)
		return false;
	out.resize(static_cast<size_t>(conf.ifc_len) / sizeof(ifreq));
	return true;
}

bool SameName(const char* a, const char* b)
{
	return std::strncmp(a, b, IFNAMSIZ) == 0;
}

std::string AddressText(const sockaddr& address)
{
	if (address.sa_family != AF_INET)
		return {};
	sockaddr_in in{};
	std::memcpy(&in, &address, sizeof(in));
	char text[INET_ADDRSTRLEN] = "";
	if (::inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text)) == nullptr)
		return {};
	return text;
}

// Reads the hardware address of the listed interface into the outputs.
int ReadMac(int fd, const ifreq& listed, char* pStrMac, unsigned char* pHexMac)
{
	ifreq request{};
	std::memcpy(request.ifr_name, listed.ifr_name, IFNAMSIZ);
	if (::ioctl(fd, SIOCGIFHWADDR, &request) < 0)
		return -1;
	unsigned char mac[6];
	std::memcpy(mac, request.ifr_hwaddr.sa_data, sizeof(mac));
	if (pStrMac != nullptr)
		std::snprintf(pStrMac, 18, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
	if (pHexMac != nullptr)
		std::memcpy(pHexMac, mac, sizeof(mac));
	return 0;
}

// Strips the line end of a piece; returns false for the bare line end that completes a line
// already delivered in full-length pieces.
bool TakePiece(std::string& piece, bool& midLine)
{
	const bool hadLineEnd = !piece.empty() && piece.back() == '\n';
	if (hadLineEnd)
		piece.pop_back();
	const bool completesLongLine = midLine && hadLineEnd && piece.empty();
	midLine = !hadLineEnd;
	return !completesLongLine;
}
} // namespace

// ---- time and text ----

bool IsTime(Uint32& LastTime, Uint32 Interval, bool UpdateLastTime)
{
	return IsTime(LastTime, Interval, UpdateLastTime, SDL_GetTicks());
}

bool IsTime(Uint32& LastTime, Uint32 Interval, bool UpdateLastTime, Uint32 currentTick)
{
	const int64_t difference = static_cast<int64_t>(currentTick) - static_cast<int64_t>(LastTime);
	if (LastTime > 1 && (difference > kTickOverflow || difference < -kTickOverflow))
	{
		KEL_LOG(LogApp, logs::Warning,
		        "SDLGetTicks overflow detected (LastTime=%u, GetTicks()=%u, overflow_constant=%u)", LastTime,
		        currentTick, static_cast<unsigned>(kTickOverflow));
		LastTime = currentTick;
	}
	if (LastTime != 0 && static_cast<Uint32>(currentTick - LastTime) <= Interval)
		return false;
	if (UpdateLastTime)
		LastTime = currentTick;
	return true;
}

std::string GetCurrentDateString()
{
	const time_t now = std::time(nullptr);
	tm local{};
	char text[32] = "";
	if (localtime_r(&now, &local) != nullptr)
		std::strftime(text, sizeof(text), "%F", &local);
	return text;
}

std::string trim(std::string str)
{
	const size_t first = str.find_first_not_of(' ');
	if (first == std::string::npos)
		return {};
	const size_t last = str.find_last_not_of(' ');
	return str.substr(first, last - first + 1);
}

void trimString(std::string& str)
{
	str = trim(str);
}

void StringReplace(std::string& str, const std::string& from, const std::string& to)
{
	if (from.empty())
		return;
	size_t position = 0;
	while ((position = str.find(from, position)) != std::string::npos)
	{
		str.replace(position, from.size(), to);
		position += to.size();
	}
}

char* itoa(long val, char* Result, int base)
{
	if (Result == nullptr)
		return nullptr;
	if (base < 2 || base > 16)
	{
		Result[0] = '\0';
		return Result;
	}
	static constexpr char kDigits[] = "0123456789abcdef";
	// The magnitude in unsigned arithmetic: negating the most negative long would overflow.
	unsigned long magnitude = val < 0 ? 0UL - static_cast<unsigned long>(val) : static_cast<unsigned long>(val);
	char reversed[kMaxDigits];
	int count = 0;
	do
	{
		reversed[count++] = kDigits[magnitude % static_cast<unsigned long>(base)];
		magnitude /= static_cast<unsigned long>(base);
	} while (magnitude != 0 && count < kMaxDigits);

	char* out = Result;
	if (val < 0)
		*out++ = '-';
	while (count > 0)
		*out++ = reversed[--count];
	*out = '\0';
	return Result;
}

char* itoa(long val, int base)
{
	// Per thread: log lines call it from any thread.
	thread_local char buffer[kMaxDigits + 2];
	return itoa(val, buffer, base);
}

// ---- adapters ----

int GetMacAddress(const char* IfName, char* pStrMac, unsigned char* pHexMac)
{
	if (IfName == nullptr || (pStrMac == nullptr && pHexMac == nullptr))
		return -1;
	Socket socket;
	if (socket.fd() < 0)
		return -1;
	std::vector<ifreq> interfaces;
	if (!ListInterfaces(socket.fd(), interfaces))
		return -1;
	for (const ifreq& listed : interfaces)
	{
		if (SameName(listed.ifr_name, IfName))
			return ReadMac(socket.fd(), listed, pStrMac, pHexMac);
	}
	return 1;
}

int GetMacAddressForIP(const char* IPAddress, char* IfName, char* pStrMac, unsigned char* pHexMac)
{
	if (IPAddress == nullptr)
		return -1;
	Socket socket;
	if (socket.fd() < 0)
		return -1;
	std::vector<ifreq> interfaces;
	if (!ListInterfaces(socket.fd(), interfaces))
		return -1;
	for (const ifreq& listed : interfaces)
	{
		if (AddressText(listed.ifr_addr) != IPAddress)
			continue;
		if (IfName != nullptr)
		{
			std::memcpy(IfName, listed.ifr_name, IFNAMSIZ);
			IfName[IFNAMSIZ - 1] = '\0';
		}
		if (pStrMac == nullptr && pHexMac == nullptr)
			return 0;
		return ReadMac(socket.fd(), listed, pStrMac, pHexMac);
	}
	return 1;
}

std::string GetFirstMacAddress(std::string& MACAddress, unsigned char* pHexMac, const std::string& defName)
{
	char mac[18] = "";
	if (!defName.empty() && GetMacAddress(defName.c_str(), mac, pHexMac) == 0)
	{
		MACAddress = mac;
		return defName;
	}

	char name[IFNAMSIZ] = "";
	if (GetMacAddressForIP(PreferredAdapterAddress, name, mac, pHexMac) == 0)
	{
		MACAddress = mac;
		return name;
	}

	static const char* const kUsualNames[] = {
	    "eth0",   "eth1",   "enp3s0",  "enp4s0",  "enp1s0",  "enp2s0", "eno1", "eno0", "enp5s0", "enp6s0", "enp7s0",
	    "enp8s0", "enp9s0", "enp10s0", "enp11s0", "enp12s0", "eth2",   "eth3", "eth4", "eth5",   "eth6",   "eth7",
	};
	for (const char* candidate : kUsualNames)
	{
		if (GetMacAddress(candidate, mac, pHexMac) == 0)
		{
			MACAddress = mac;
			return candidate;
		}
	}
	return {};
}

int GetIPAddress(std::string adapter, std::string& IPAddress)
{
	if (adapter.empty())
	{
		std::string mac;
		adapter = GetFirstMacAddress(mac, nullptr, "");
	}
	if (adapter.empty())
		return -1;
	Socket socket;
	if (socket.fd() < 0)
		return -1;
	std::vector<ifreq> interfaces;
	if (!ListInterfaces(socket.fd(), interfaces))
		return -1;
	for (const ifreq& listed : interfaces)
	{
		if (!SameName(listed.ifr_name, adapter.c_str()))
			continue;
		const std::string text = AddressText(listed.ifr_addr);
		if (text.empty())
			return -1;
		IPAddress = text;
		return 0;
	}
	return 1;
}

// ---- shell commands ----

void SetAsyncRunner(AsyncTaskRunner* runner)
{
	gAsyncRunner.store(runner);
}

AsyncTaskRunner& FallbackAsyncRunner()
{
	static AsyncTaskRunner runner;
	return runner;
}

void SystemAsync(const std::string& cmd)
{
	AsyncTaskRunner* runner = gAsyncRunner.load();
	if (runner == nullptr)
	{
		runner = &FallbackAsyncRunner();
		// Nobody else polls this one.
		runner->CheckAsyncTasks();
	}
	// The platform in use when the command was issued, so that a test double sees its commands.
	rtfwk_sdl2::IPlatform* platform = &rtfwk_sdl2::Platform();
	runner->DoAsyncTask(
	    [cmd, platform]
	    {
		    KEL_LOG(LogApp, logs::Debug, "Executing system command: %s", cmd.c_str());
		    platform->System(cmd);
	    });
}

void SystemExec(const std::string& cmd, std::vector<std::string>& outLines)
{
	rtfwk_sdl2::IPlatform& platform = rtfwk_sdl2::Platform();
	std::FILE* pipe = platform.OpenReadPipe(cmd);
	if (pipe == nullptr)
		return;
	char buffer[1024];
	bool midLine = false;
	while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr)
	{
		std::string piece(buffer);
		if (TakePiece(piece, midLine))
			outLines.push_back(std::move(piece));
	}
	platform.ClosePipe(pipe);
}
} // namespace MyUtils
