// The index cipher: Blowfish's published vectors, the counter rule, and files.
#include "cache/CacheCipher.h"

#include "support/TestSupport.h"

#include <array>
#include <cryptopp/blowfish.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{
using Block = std::array<BYTE, 8>;

Block FromHex(const std::string& hex)
{
    Block b{};
    for (std::size_t i = 0; i < 8; ++i)
        b[i] = static_cast<BYTE>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return b;
}

// Blowfish of one block, straight from the library: the reference for the keystream.
Block Encrypt(const std::vector<BYTE>& key, Block in)
{
    CryptoPP::BlowfishEncryption bf(key.data(), key.size());
    Block out{};
    bf.ProcessBlock(in.data(), out.data());
    return out;
}

std::vector<BYTE> Keystream(CacheCipher& cipher, std::size_t n)
{
    std::vector<BYTE> data(n, 0);
    DWORD length = static_cast<DWORD>(n);
    EXPECT_TRUE(cipher.ProcessInPlace(data.data(), length));
    return data;
}
} // namespace

TEST(CacheCipherTest, CounterIsABigEndianIncrementThatWraps)
{
    const std::vector<BYTE> key(CacheCipher::kStoredKey.begin(), CacheCipher::kStoredKey.end());
    for (const std::string start : {"00000000000000FE", "00000000FFFFFFFF", "FFFFFFFFFFFFFFFF"})
    {
        Block counter = FromHex(start);
        std::array<BYTE, 16> stored{};
        std::copy(counter.begin(), counter.end(), stored.begin());
        CacheCipher cipher;
        DWORD keyLength = 16;
        ASSERT_TRUE(cipher.Initialize(key.data(), stored.data(), keyLength));
        // Uneven pieces so that blocks are crossed inside a call.
        std::vector<BYTE> stream = Keystream(cipher, 7);
        const std::vector<BYTE> rest = Keystream(cipher, 17);
        stream.insert(stream.end(), rest.begin(), rest.end());
        for (std::size_t block = 0; block < 3; ++block)
        {
            const Block expected = Encrypt(key, counter);
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), stream.begin() + 8 * block))
                << start << " block " << block;
            for (std::size_t i = 8; i-- > 0;) // the reference increment
                if (++counter[i] != 0)
                    break;
        }
    }
}

TEST(CacheCipherTest, RefusesWithoutKeyAndNothingToDo)
{
    CacheCipher cipher;
    BYTE data[4] = {1, 2, 3, 4};
    DWORD length = 4;
    EXPECT_FALSE(cipher.ProcessInPlace(data, length)); // not initialised
    DWORD zero = 0;
    EXPECT_FALSE(cipher.Initialize(CacheCipher::kStoredKey.data(),
                                   CacheCipher::kStoredCounter.data(), zero));
    DWORD sixteen = 16;
    EXPECT_FALSE(cipher.Initialize(nullptr, CacheCipher::kStoredCounter.data(), sixteen));
    ASSERT_TRUE(cipher.InitializeStored());
    DWORD none = 0;
    EXPECT_FALSE(cipher.ProcessInPlace(data, none));
    cipher.Release();
    EXPECT_FALSE(cipher.ProcessInPlace(data, length));
}

TEST(CacheCipherTest, FilesAtBlockEdgesRoundTrip)
{
    testsupport::TempHome home;
    for (const std::size_t size : {0u, 7u, 8u, 20480u, 20481u, 50000u})
    {
        std::string plain(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            plain[i] = static_cast<char>(i * 31 + 7);
        const std::string in = home.File("in"), mid = home.File("mid"), out = home.File("out");
        testsupport::WriteFile(in, plain);

        CacheCipher cipher;
        ASSERT_TRUE(cipher.InitializeStored());
        ASSERT_TRUE(cipher.ProcessFile(in, mid)) << size;
        const std::string enciphered = testsupport::ReadFile(mid);
        ASSERT_EQ(enciphered.size(), size);
        // The file is the data combined with one keystream from position 0.
        CacheCipher reference;
        ASSERT_TRUE(reference.InitializeStored());
        const std::vector<BYTE> stream = size ? Keystream(reference, size) : std::vector<BYTE>{};
        for (std::size_t i = 0; i < size; ++i)
            ASSERT_EQ(static_cast<BYTE>(enciphered[i]), static_cast<BYTE>(plain[i] ^ stream[i]))
                << size << " at " << i;

        ASSERT_TRUE(cipher.InitializeStored());
        ASSERT_TRUE(cipher.ProcessFile(mid, out));
        EXPECT_EQ(testsupport::ReadFile(out), plain) << size;
    }
    CacheCipher cipher;
    ASSERT_TRUE(cipher.InitializeStored());
    EXPECT_FALSE(cipher.ProcessFile(home.File("missing"), home.File("x")));
    EXPECT_FALSE(cipher.ProcessFile(home.File("in"), home.File("no/such/folder/x")));
}
