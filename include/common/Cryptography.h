#pragma once
// Byte-level helpers: hexadecimal text, digests, CRCs, triple-DES and random identifiers.
// Digests and the cipher go through OpenSSL's EVP interface; every function is reentrant, and the
// shared random generator is locked for each draw.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace crypto
{
std::string BytesToHex(const unsigned char* in, size_t size, bool bUppercase = false);
std::string BytesToHex(const char* in, size_t size, bool bUppercase = false);
// An odd-length text is read as if prefixed with "0"; a pair that is not hexadecimal reads as
// far as its leading hex digit goes (0 when there is none).
void HexToBytes(const std::string& hexStr, std::vector<unsigned char>& out);

// Lower-case hexadecimal digests; "" when the digest cannot be computed.
// The salt follows the data for MD5 and precedes it for SHA-1 and SHA-256.
std::string HashMD5(const std::string& data, const std::string& salt = "");
std::string HashMD5(const char* data, size_t dataLen, const std::string& salt = "");
std::string HashSHA1(const std::string& data, const std::string& salt = "");
std::string HashSHA1(const char* data, size_t dataLen, const std::string& salt = "");
std::string HashSHA256(const std::string& data, const std::string& salt = "");
std::string HashSHA256(const char* data, size_t dataLen, const std::string& salt = "");

// The 16 raw bytes of the MD5 digest.
bool Calculate_MD5(const unsigned char* pBuffer, size_t Length, unsigned char* pDestination);
bool Calculate_File_MD5(const std::string& filename, unsigned char* pDestination);

// CRCs: the caller passes the initial value; no final inversion unless said.
unsigned short Crc_16(unsigned short crc, const unsigned char* pBuffer, unsigned short Length);
unsigned short Crc_16_MY(unsigned short crc, const unsigned char* pBuffer, unsigned short Length);
unsigned short Crc_CCITT(unsigned short crc, const unsigned char* pBuffer, unsigned short Length);
unsigned short Crc_CCITT_jcm(unsigned short crc, const unsigned char* pBuffer, unsigned short Length);
unsigned short CcittCrcSAS(const unsigned char* s, int len, unsigned short crcval);
// CRC-32 of IEEE 802.3 (initial value and final inversion built in; the first argument is unused).
unsigned long Crc_32(unsigned long, const unsigned char* pBuffer, short Length);

namespace detail
{
// Table of a reflected (LSB-first) CRC, given the reflected polynomial.
constexpr std::array<uint32_t, 256> ReflectedTable(uint32_t reflectedPoly)
{
	std::array<uint32_t, 256> table{};
	for (uint32_t i = 0; i < 256; ++i)
	{
		uint32_t value = i;
		for (int bit = 0; bit < 8; ++bit)
			value = (value & 1) ? (value >> 1) ^ reflectedPoly : value >> 1;
		table[i] = value;
	}
	return table;
}

// Table of an MSB-first 16-bit CRC.
constexpr std::array<uint32_t, 256> MsbFirstTable16(uint32_t poly)
{
	std::array<uint32_t, 256> table{};
	for (uint32_t i = 0; i < 256; ++i)
	{
		uint32_t value = i << 8;
		for (int bit = 0; bit < 8; ++bit)
			value = (value & 0x8000) ? ((value << 1) ^ poly) & 0xFFFF : (value << 1) & 0xFFFF;
		table[i] = value;
	}
	return table;
}
} // namespace detail

inline constexpr std::array<uint32_t, 256> CRC_16_TAB = detail::ReflectedTable(0xA001);    // 0x8005
inline constexpr std::array<uint32_t, 256> CRC_16_MY_TAB = detail::ReflectedTable(0xA6BC); // 0x3D65: our own
inline constexpr std::array<uint32_t, 256> CRC_CCITT_TAB = detail::MsbFirstTable16(0x1021);
inline constexpr std::array<uint32_t, 256> CRC_32_TAB = detail::ReflectedTable(0xEDB88320); // 0x04C11DB7

// Triple-DES, ECB, no padding: -1 unless the data is there and a whole number of 8-byte blocks.
int Encrypt_3DES(const unsigned char* pData, int DataLength, unsigned char* pDest, const unsigned char* key1,
                 const unsigned char* key2, const unsigned char* key3);
int Decrypt_3DES(const unsigned char* pData, int DataLength, unsigned char* pDest, const unsigned char* key1,
                 const unsigned char* key2, const unsigned char* key3);

// Random bytes: each started group of 4 is one draw from 0 to 2^31-1, little-endian. With a seed
// the output is reproducible; without one it comes from the shared generator.
void RandomBytes(char* out, size_t numBytes, const char* seed = nullptr, size_t numSeedBytes = 0);
std::string RandomBytes(size_t numBytes, const char* seed = nullptr, size_t numSeedBytes = 0);
// 2 * numBytes lower-case hexadecimal characters.
std::string GenRandID(size_t numBytes, const char* seed = nullptr, size_t seedLen = 0);
uint64_t GenNumID(const char* seed = nullptr, size_t seedLen = 0);

int GetRandomInRange(int min, int max);
long GetRandomInRange(long min, long max);
// A value in [min, max).
float GetRandomInRange(float min, float max);

namespace detail
{
// Reads the seed material of the shared generator; ends the process with a message on stderr when
// the source cannot be read, since a predictable seed would make every identifier guessable.
std::vector<unsigned int> ReadSeedMaterialOrDie(const char* path, size_t numBytes);
} // namespace detail
} // namespace crypto
