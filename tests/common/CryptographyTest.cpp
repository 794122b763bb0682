#include "common/Cryptography.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include <unistd.h>

namespace
{
const std::string kCheckInput = "123456789";
const auto* kCheckBytes = reinterpret_cast<const unsigned char*>(kCheckInput.data());

std::vector<unsigned char> Hex(const std::string& text)
{
	std::vector<unsigned char> bytes;
	crypto::HexToBytes(text, bytes);
	return bytes;
}
} // namespace

TEST(CryptoHexTest, BothDirections)
{
	EXPECT_EQ(crypto::BytesToHex("abc", 3), "616263");
	const unsigned char high[] = {0x00, 0xAB, 0xFF};
	EXPECT_EQ(crypto::BytesToHex(high, 3, true), "00ABFF");
	EXPECT_EQ(crypto::BytesToHex(high, 3, false), "00abff");

	EXPECT_EQ(Hex("abc"), (std::vector<unsigned char>{0x0A, 0xBC})) << "odd length reads as a leading 0";
	EXPECT_EQ(Hex("00ABff"), (std::vector<unsigned char>{0x00, 0xAB, 0xFF}));
	EXPECT_EQ(Hex("zz4z"), (std::vector<unsigned char>{0x00, 0x04}));
	EXPECT_TRUE(Hex("").empty());
}

// Published digests of independent sources; the salt's position differs per algorithm.
TEST(CryptoDigestTest, KnownValuesAndSaltOrder)
{
	struct Case
	{
		const char* label;
		std::string actual, expected;
	};
	const Case cases[] = {
	    {"md5 empty", crypto::HashMD5("", ""), "d41d8cd98f00b204e9800998ecf8427e"},
	    {"md5 abc", crypto::HashMD5("abc"), "900150983cd24fb0d6963f7d28e17f72"},
	    {"md5 salt after data", crypto::HashMD5("ab", "c"), "900150983cd24fb0d6963f7d28e17f72"},
	    {"md5 pointer form", crypto::HashMD5("abcdef", 3, ""), "900150983cd24fb0d6963f7d28e17f72"},
	    {"sha1 abc", crypto::HashSHA1("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d"},
	    {"sha1 salt before data", crypto::HashSHA1("c", "ab"), "a9993e364706816aba3e25717850c26c9cd0d89d"},
	    {"sha256 empty", crypto::HashSHA256("", ""),
	     "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
	    {"sha256 salt before data", crypto::HashSHA256("c", "ab"),
	     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
	    {"sha256 salt only", crypto::HashSHA256("", "abc"),
	     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
	};
	for (const auto& c : cases)
		EXPECT_EQ(c.actual, c.expected) << c.label;
}

TEST(CryptoDigestTest, RawAndFileMD5)
{
	unsigned char raw[16];
	ASSERT_TRUE(crypto::Calculate_MD5(reinterpret_cast<const unsigned char*>("abc"), 3, raw));
	EXPECT_EQ(crypto::BytesToHex(raw, 16), "900150983cd24fb0d6963f7d28e17f72");

	// A million 'a': several read chunks, and a published digest.
	const auto path = std::filesystem::temp_directory_path() / ("md5-" + std::to_string(::getpid()));
	{
		std::ofstream out(path, std::ios::binary);
		out << std::string(1000000, 'a');
	}
	ASSERT_TRUE(crypto::Calculate_File_MD5(path.string(), raw));
	EXPECT_EQ(crypto::BytesToHex(raw, 16), "7707d6ae4e027c70eea2a935c2296f21");
	std::filesystem::remove(path);
	EXPECT_FALSE(crypto::Calculate_File_MD5(path.string(), raw));
}

// The standard check values over "123456789".
TEST(CryptoCrcTest, CheckValues)
{
	const auto n = static_cast<unsigned short>(kCheckInput.size());
	EXPECT_EQ(crypto::Crc_16(0, kCheckBytes, n), 0xBB3D) << "CRC-16/ARC";
	EXPECT_EQ(crypto::Crc_16(0xFFFF, kCheckBytes, n), 0x4B37) << "CRC-16/MODBUS";
	EXPECT_EQ(crypto::Crc_CCITT(0xFFFF, kCheckBytes, n), 0x29B1) << "CRC-16/CCITT-FALSE";
	EXPECT_EQ(crypto::Crc_CCITT(0, kCheckBytes, n), 0x31C3) << "CRC-16/XMODEM";
	EXPECT_EQ(crypto::Crc_CCITT_jcm(0, kCheckBytes, n), 0x2189) << "CRC-16/KERMIT";
	EXPECT_EQ(crypto::CcittCrcSAS(kCheckBytes, n, 0), 0x2189) << "CRC-16/KERMIT";
	EXPECT_EQ(crypto::Crc_32(0, kCheckBytes, static_cast<short>(n)), 0xCBF43926ul) << "CRC-32";

	EXPECT_EQ(crypto::Crc_CCITT_jcm(0x1234, kCheckBytes, 0), 0);
	EXPECT_EQ(crypto::CcittCrcSAS(kCheckBytes, 0, 0x1234), 0x1234);
	EXPECT_EQ(crypto::Crc_32(0, kCheckBytes, -5), 0ul) << "a negative length reads nothing";
	EXPECT_EQ(crypto::CRC_16_TAB[1], 0xC0C1u);
	EXPECT_EQ(crypto::CRC_32_TAB[255], 0x2D02EF8Du);
}

TEST(Crypto3DesTest, KnownBlockAndKeyOrder)
{
	// A classic single-DES example; with three equal keys EDE is single DES.
	const auto key = Hex("133457799BBCDFF1");
	const auto other = Hex("0123456789ABCDEF");
	const auto plain = Hex("0123456789ABCDEF");
	unsigned char out[16] = {};
	ASSERT_EQ(crypto::Encrypt_3DES(plain.data(), 8, out, key.data(), key.data(), key.data()), 0);
	EXPECT_EQ(crypto::BytesToHex(out, 8), "85e813540f0ab405");

	// With key1 == key2 the first two stages cancel: the result is single DES under key3.
	ASSERT_EQ(crypto::Encrypt_3DES(plain.data(), 8, out, other.data(), other.data(), key.data()), 0);
	EXPECT_EQ(crypto::BytesToHex(out, 8), "85e813540f0ab405");

	// ECB: equal blocks give equal output; decryption inverts.
	const std::vector<unsigned char> twoBlocks = {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 8};
	const auto k3 = Hex("FEDCBA9876543210");
	ASSERT_EQ(crypto::Encrypt_3DES(twoBlocks.data(), 16, out, key.data(), other.data(), k3.data()), 0);
	EXPECT_EQ(crypto::BytesToHex(out, 8), crypto::BytesToHex(out + 8, 8));
	unsigned char back[16] = {};
	ASSERT_EQ(crypto::Decrypt_3DES(out, 16, back, key.data(), other.data(), k3.data()), 0);
	EXPECT_EQ(std::vector<unsigned char>(back, back + 16), twoBlocks);

	unsigned char untouched[16] = {0x55};
	EXPECT_EQ(crypto::Encrypt_3DES(twoBlocks.data(), 12, untouched, key.data(), key.data(), key.data()), -1);
	EXPECT_EQ(untouched[0], 0x55);
	EXPECT_EQ(crypto::Encrypt_3DES(nullptr, 8, out, key.data(), key.data(), key.data()), -1);
}

TEST(CryptoRandomTest, IdentifiersHaveTheirShape)
{
	std::set<std::string> seen;
	for (int i = 0; i < 200; ++i)
	{
		const std::string id = crypto::GenRandID(8);
		ASSERT_EQ(id.size(), 16u);
		EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
		// The top byte of each 31-bit draw is below 0x80.
		EXPECT_LE(id[6], '7') << id;
		EXPECT_LE(id[14], '7') << id;
		seen.insert(id);
	}
	EXPECT_EQ(seen.size(), 200u);

	EXPECT_EQ(crypto::GenRandID(8, "seed", 4), crypto::GenRandID(8, "seed", 4));
	EXPECT_NE(crypto::GenRandID(8, "seed", 4), crypto::GenRandID(8, "seee", 4));
	EXPECT_EQ(crypto::GenRandID(3, "seed", 4), crypto::GenRandID(8, "seed", 4).substr(0, 6));
	EXPECT_EQ(crypto::GenNumID("x", 1) & 0x8000000080000000ull, 0u);
	EXPECT_EQ(crypto::GenRandID(0), "");
}

TEST(CryptoRandomTest, RangesIncludeTheirBounds)
{
	EXPECT_EQ(crypto::GetRandomInRange(5, 5), 5);
	EXPECT_EQ(crypto::GetRandomInRange(2.5f, 2.5f), 2.5f);
	std::set<int> values;
	for (int i = 0; i < 500; ++i)
	{
		const int v = crypto::GetRandomInRange(7, 3);
		EXPECT_GE(v, 3);
		EXPECT_LE(v, 7);
		values.insert(v);
		const long l = crypto::GetRandomInRange(-2L, 2L);
		EXPECT_GE(l, -2L);
		EXPECT_LE(l, 2L);
		const float f = crypto::GetRandomInRange(1.2f, 0.8f);
		EXPECT_GE(f, 0.8f);
		EXPECT_LT(f, 1.2f);
	}
	EXPECT_EQ(values.size(), 5u) << "every value of a small range shows up";
}

TEST(CryptoRandomDeathTest, AnUnreadableSeedSourceStopsTheProcess)
{
	EXPECT_DEATH(crypto::detail::ReadSeedMaterialOrDie("/nonexistent/random", 16),
	             "cannot read 16 bytes of random seed");
	EXPECT_DEATH(crypto::detail::ReadSeedMaterialOrDie("/dev/null", 16), "short read");
}
