#include "cache/CacheCipher.h"

#include <cryptopp/blowfish.h>
#include <cstdio>
#include <cstring>
#include <vector>

const std::array<BYTE, 16> CacheCipher::kStoredKey = {
    0x5A, 0x0C, 0xE1, 0x77, 0x29, 0xB3, 0x4D, 0x86, 0xF0, 0x12, 0x9E, 0x6B, 0xC4, 0x38, 0xA5, 0xD7};
const std::array<BYTE, 16> CacheCipher::kStoredCounter = {
    0x8E, 0x31, 0x6F, 0xD2, 0x04, 0xB9, 0x5C, 0x27, 0xE3, 0x90, 0x1A, 0x7D, 0x46, 0xCB, 0x02, 0xF5};

namespace
{
// Closes a C stream on every path.
struct FileCloser
{
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

constexpr std::size_t kFileBlock = 20480;
} // namespace

// The counter-mode keystream: block n is Blowfish(counter + n), the counter a big-endian
// 64-bit number that wraps to zero after all ones.
struct CacheCipher::Keystream
{
    CryptoPP::BlowfishEncryption blowfish;
    std::array<BYTE, 8> counter{};
    std::array<BYTE, 8> block{};
    std::size_t used = 8; // bytes of `block` consumed; 8 means a new block is due
    bool first = true;

    BYTE Next()
    {
        if (used == block.size())
        {
            if (!first)
                Increment();
            first = false;
            blowfish.ProcessBlock(counter.data(), block.data());
            used = 0;
        }
        return block[used++];
    }

    void Increment()
    {
        for (std::size_t i = counter.size(); i-- > 0;)
            if (++counter[i] != 0)
                break;
    }
};

CacheCipher::CacheCipher() = default;
CacheCipher::~CacheCipher() = default;

bool CacheCipher::Initialize(const BYTE* pKey, const BYTE* pInitialCounter, DWORD& dwKeyLength)
{
    Release();
    if (dwKeyLength == 0 || pKey == nullptr || pInitialCounter == nullptr)
        return false;
    if (dwKeyLength < CryptoPP::Blowfish::MIN_KEYLENGTH ||
        dwKeyLength > CryptoPP::Blowfish::MAX_KEYLENGTH)
        return false;
    auto keystream = std::make_unique<Keystream>();
    keystream->blowfish.SetKey(pKey, dwKeyLength);
    std::memcpy(keystream->counter.data(), pInitialCounter, keystream->counter.size());
    m_keystream = std::move(keystream);
    return true;
}

bool CacheCipher::InitializeStored()
{
    DWORD length = static_cast<DWORD>(kStoredKey.size());
    return Initialize(kStoredKey.data(), kStoredCounter.data(), length);
}

void CacheCipher::Release()
{
    m_keystream.reset();
}

bool CacheCipher::Process(BYTE* pOut, const BYTE* pIn, DWORD& dwLength)
{
    if (!m_keystream || dwLength == 0 || pOut == nullptr || pIn == nullptr)
        return false;
    for (DWORD i = 0; i < dwLength; ++i)
        pOut[i] = static_cast<BYTE>(pIn[i] ^ m_keystream->Next());
    return true;
}

bool CacheCipher::ProcessInPlace(BYTE* pBuffer, DWORD& dwLength)
{
    return Process(pBuffer, pBuffer, dwLength);
}

bool CacheCipher::ProcessFile(const std::string& sourcePath, const std::string& targetPath)
{
    // Without a keystream the target would be a plain copy reported as transformed.
    if (!m_keystream)
        return false;
    File source(std::fopen(sourcePath.c_str(), "rb"));
    if (!source)
        return false;
    File target(std::fopen(targetPath.c_str(), "wb"));
    if (!target)
        return false;
    std::vector<BYTE> buffer(kFileBlock);
    while (true)
    {
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), source.get());
        if (got == 0)
            break; // the end, or a read error: told apart below
        DWORD length = static_cast<DWORD>(got);
        ProcessInPlace(buffer.data(), length);
        if (std::fwrite(buffer.data(), 1, got, target.get()) < got)
            return false;
    }
    // A source that failed to read, or a target that cannot be flushed, means the target
    // does not hold the whole transformed source.
    return !std::ferror(source.get()) && std::fflush(target.get()) == 0;
}
