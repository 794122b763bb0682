#include "common/Cryptography.h"

#include "common/ThreadSafeProperty.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <random>

namespace
{
static_assert(crypto::CRC_16_TAB[1] == 0xC0C1 && crypto::CRC_CCITT_TAB[1] == 0x1021 &&
              crypto::CRC_32_TAB[1] == 0x77073096);

unsigned short ReflectedCrc16(const std::array<uint32_t, 256>& table, unsigned short crc, const unsigned char* p,
                              size_t length)
{
	for (size_t i = 0; i < length; ++i)
		crc = static_cast<unsigned short>((crc >> 8) ^ table[(crc ^ p[i]) & 0xFF]);
	return crc;
}

// Reflected CCITT (0x8408) a nibble at a time, without a table.
unsigned short NibbleCcitt(unsigned short crc, const unsigned char* p, size_t length)
{
	for (size_t i = 0; i < length; ++i)
	{
		const unsigned b = p[i];
		const unsigned t = (crc >> 4) ^ (((crc ^ b) & 0xF) * 0x1081);
		crc = static_cast<unsigned short>((t >> 4) ^ (((t ^ (b >> 4)) & 0xF) * 0x1081));
	}
	return crc;
}

// ---- digests and cipher ----

struct MdCtxFree
{
	void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct CipherCtxFree
{
	void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

struct Piece
{
	const void* data;
	size_t size;
};

// Digest of the pieces in order, as lower-case hexadecimal; "" on failure.
std::string HexDigest(const EVP_MD* md, std::initializer_list<Piece> pieces)
{
	std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
	if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1)
		return "";
	for (const Piece& piece : pieces)
		if (piece.size != 0 && EVP_DigestUpdate(ctx.get(), piece.data, piece.size) != 1)
			return "";
	unsigned char digest[EVP_MAX_MD_SIZE];
	unsigned int size = 0;
	if (EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1)
		return "";
	return crypto::BytesToHex(digest, size, false);
}

// Each 8-byte block on its own (ECB): EDE under 1, 2, 3 to encrypt; DED under 3, 2, 1 to decrypt.
int Crypt3DES(bool encrypt, const unsigned char* pData, int length, unsigned char* pDest, const unsigned char* key1,
              const unsigned char* key2, const unsigned char* key3)
{
	if (pData == nullptr || pDest == nullptr || key1 == nullptr || key2 == nullptr || key3 == nullptr || length < 0 ||
	    length % 8 != 0)
		return -1;
	unsigned char key[24];
	std::memcpy(key, key1, 8);
	std::memcpy(key + 8, key2, 8);
	std::memcpy(key + 16, key3, 8);
	std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
	int written = 0;
	int finalWritten = 0;
	const bool ok = ctx && EVP_CipherInit_ex(ctx.get(), EVP_des_ede3_ecb(), nullptr, key, nullptr, encrypt) == 1 &&
	                EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
	                EVP_CipherUpdate(ctx.get(), pDest, &written, pData, length) == 1 &&
	                EVP_CipherFinal_ex(ctx.get(), pDest + written, &finalWritten) == 1;
	OPENSSL_cleanse(key, sizeof(key));
	return ok ? 0 : -1;
}

// ---- random numbers ----

constexpr const char* kRandomSource = "/dev/urandom";
constexpr size_t kSeedBytes = 19968; // the Mersenne Twister's whole state

ThreadSafeProperty<std::mt19937>& RandomEngine()
{
	static ThreadSafeProperty<std::mt19937> engine(
	    []
	    {
		    const auto material = crypto::detail::ReadSeedMaterialOrDie(kRandomSource, kSeedBytes);
		    std::seed_seq seq(material.begin(), material.end());
		    return std::mt19937(seq);
	    }());
	return engine;
}

// One draw of the system's random unit: 0 to 2^31-1.
int32_t Draw(std::mt19937& engine)
{
	return std::uniform_int_distribution<int32_t>(0, 2147483647)(engine);
}

void FillFromDraws(char* out, size_t numBytes, std::mt19937& engine)
{
	for (size_t offset = 0; offset < numBytes; offset += 4)
	{
		const uint32_t value = static_cast<uint32_t>(Draw(engine));
		const size_t count = std::min<size_t>(4, numBytes - offset);
		for (size_t i = 0; i < count; ++i)
			out[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
	}
}

template <class T, class Distribution>
T DrawFromShared(Distribution distribution)
{
	auto& engine = RandomEngine();
	ScopedLock lock(engine);
	return distribution(&engine);
}
} // namespace

// ---- hexadecimal ----

std::string crypto::BytesToHex(const unsigned char* in, size_t size, bool bUppercase)
{
	const char* digits = bUppercase ? "0123456789ABCDEF" : "0123456789abcdef";
	std::string hex;
	hex.reserve(size * 2);
	for (size_t i = 0; i < size; ++i)
	{
		hex.push_back(digits[in[i] >> 4]);
		hex.push_back(digits[in[i] & 0xF]);
	}
	return hex;
}

std::string crypto::BytesToHex(const char* in, size_t size, bool bUppercase)
{
	return BytesToHex(reinterpret_cast<const unsigned char*>(in), size, bUppercase);
}

void crypto::HexToBytes(const std::string& hexStr, std::vector<unsigned char>& out)
{
	out.clear();
	const std::string hex = hexStr.size() % 2 != 0 ? "0" + hexStr : hexStr;
	out.reserve(hex.size() / 2);
	for (size_t i = 0; i < hex.size(); i += 2)
	{
		const char pair[3] = {hex[i], hex[i + 1], '\0'};
		out.push_back(static_cast<unsigned char>(std::strtol(pair, nullptr, 16)));
	}
}

// ---- digests ----

std::string crypto::HashMD5(const std::string& data, const std::string& salt)
{
	return HashMD5(data.data(), data.size(), salt);
}

std::string crypto::HashMD5(const char* data, size_t dataLen, const std::string& salt)
{
	return HexDigest(EVP_md5(), {{data, data != nullptr ? dataLen : 0}, {salt.data(), salt.size()}});
}

std::string crypto::HashSHA1(const std::string& data, const std::string& salt)
{
	return HashSHA1(data.data(), data.size(), salt);
}

std::string crypto::HashSHA1(const char* data, size_t dataLen, const std::string& salt)
{
	return HexDigest(EVP_sha1(), {{salt.data(), salt.size()}, {data, data != nullptr ? dataLen : 0}});
}

std::string crypto::HashSHA256(const std::string& data, const std::string& salt)
{
	return HashSHA256(data.data(), data.size(), salt);
}

std::string crypto::HashSHA256(const char* data, size_t dataLen, const std::string& salt)
{
	return HexDigest(EVP_sha256(), {{salt.data(), salt.size()}, {data, data != nullptr ? dataLen : 0}});
}

bool crypto::Calculate_MD5(const unsigned char* pBuffer, size_t Length, unsigned char* pDestination)
{
	if (pDestination == nullptr || (pBuffer == nullptr && Length != 0))
		return false;
	unsigned int size = 0;
	return EVP_Digest(pBuffer, Length, pDestination, &size, EVP_md5(), nullptr) == 1;
}

bool crypto::Calculate_File_MD5(const std::string& filename, unsigned char* pDestination)
{
	std::ifstream file(filename, std::ios::binary);
	if (!file || pDestination == nullptr)
		return false;
	std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
	if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1)
		return false;
	std::vector<char> chunk(262144);
	while (file)
	{
		file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
		const auto got = static_cast<size_t>(file.gcount());
		if (got != 0 && EVP_DigestUpdate(ctx.get(), chunk.data(), got) != 1)
			return false;
	}
	if (file.bad())
		return false;
	unsigned int size = 0;
	return EVP_DigestFinal_ex(ctx.get(), pDestination, &size) == 1;
}

// ---- CRCs ----

unsigned short crypto::Crc_16(unsigned short crc, const unsigned char* pBuffer, unsigned short Length)
{
	return pBuffer != nullptr ? ReflectedCrc16(CRC_16_TAB, crc, pBuffer, Length) : crc;
}

unsigned short crypto::Crc_16_MY(unsigned short crc, const unsigned char* pBuffer, unsigned short Length)
{
	return pBuffer != nullptr ? ReflectedCrc16(CRC_16_MY_TAB, crc, pBuffer, Length) : crc;
}

unsigned short crypto::Crc_CCITT(unsigned short crc, const unsigned char* pBuffer, unsigned short Length)
{
	if (pBuffer == nullptr)
		return crc;
	for (unsigned short i = 0; i < Length; ++i)
		crc = static_cast<unsigned short>(CRC_CCITT_TAB[((crc >> 8) ^ pBuffer[i]) & 0xFF] ^ (crc << 8));
	return crc;
}

unsigned short crypto::Crc_CCITT_jcm(unsigned short crc, const unsigned char* pBuffer, unsigned short Length)
{
	if (Length == 0 || pBuffer == nullptr)
		return 0;
	return NibbleCcitt(crc, pBuffer, Length);
}

unsigned short crypto::CcittCrcSAS(const unsigned char* s, int len, unsigned short crcval)
{
	if (len <= 0 || s == nullptr)
		return crcval;
	return NibbleCcitt(crcval, s, static_cast<size_t>(len));
}

unsigned long crypto::Crc_32(unsigned long, const unsigned char* pBuffer, short Length)
{
	uint32_t crc = 0xFFFFFFFF;
	for (short i = 0; pBuffer != nullptr && i < Length; ++i)
		crc = (crc >> 8) ^ CRC_32_TAB[(crc ^ pBuffer[i]) & 0xFF];
	return crc ^ 0xFFFFFFFF;
}

// ---- triple-DES ----

int crypto::Encrypt_3DES(const unsigned char* pData, int DataLength, unsigned char* pDest, const unsigned char* key1,
                         const unsigned char* key2, const unsigned char* key3)
{
	return Crypt3DES(true, pData, DataLength, pDest, key1, key2, key3);
}

int crypto::Decrypt_3DES(const unsigned char* pData, int DataLength, unsigned char* pDest, const unsigned char* key1,
                         const unsigned char* key2, const unsigned char* key3)
{
	return Crypt3DES(false, pData, DataLength, pDest, key1, key2, key3);
}

// ---- random numbers and identifiers ----

std::vector<unsigned int> crypto::detail::ReadSeedMaterialOrDie(const char* path, size_t numBytes)
{
	std::vector<unsigned char> bytes(numBytes);
	FILE* source = std::fopen(path, "rb");
	const size_t got = source != nullptr ? std::fread(bytes.data(), 1, numBytes, source) : 0;
	const int error = errno;
	if (source != nullptr)
		std::fclose(source);
	if (got != numBytes)
	{
		std::fprintf(stderr, "crypto: cannot read %zu bytes of random seed from %s (%s); stopping\n", numBytes, path,
		             source != nullptr ? "short read" : std::strerror(error));
		std::fflush(stderr);
		std::abort();
	}
	return {bytes.begin(), bytes.end()};
}

void crypto::RandomBytes(char* out, size_t numBytes, const char* seed, size_t numSeedBytes)
{
	if (out == nullptr || numBytes == 0)
		return;
	if (seed != nullptr && numSeedBytes != 0)
	{
		const auto* first = reinterpret_cast<const unsigned char*>(seed);
		std::seed_seq seq(first, first + std::min<size_t>(numSeedBytes, 624));
		std::mt19937 engine(seq);
		FillFromDraws(out, numBytes, engine);
		return;
	}
	auto& engine = RandomEngine();
	ScopedLock lock(engine);
	FillFromDraws(out, numBytes, &engine);
}

std::string crypto::RandomBytes(size_t numBytes, const char* seed, size_t numSeedBytes)
{
	std::string bytes(numBytes, '\0');
	RandomBytes(bytes.data(), numBytes, seed, numSeedBytes);
	return bytes;
}

std::string crypto::GenRandID(size_t numBytes, const char* seed, size_t seedLen)
{
	const std::string bytes = RandomBytes(numBytes, seed, seedLen);
	return BytesToHex(bytes.data(), bytes.size(), false);
}

uint64_t crypto::GenNumID(const char* seed, size_t seedLen)
{
	const std::string bytes = RandomBytes(8, seed, seedLen);
	uint64_t id = 0;
	for (size_t i = 0; i < 8; ++i)
		id |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
	return id;
}

int crypto::GetRandomInRange(int min, int max)
{
	if (min == max)
		return min;
	if (min > max)
		std::swap(min, max);
	return DrawFromShared<int>(std::uniform_int_distribution<int>(min, max));
}

long crypto::GetRandomInRange(long min, long max)
{
	if (min == max)
		return min;
	if (min > max)
		std::swap(min, max);
	return DrawFromShared<long>(std::uniform_int_distribution<long>(min, max));
}

float crypto::GetRandomInRange(float min, float max)
{
	if (min == max)
		return min;
	if (min > max)
		std::swap(min, max);
	const float value = DrawFromShared<float>(std::uniform_real_distribution<float>(min, max));
	// Rounding to float can reach the upper bound, which the range excludes.
	return value < max ? value : std::nextafter(max, min);
}
