#include "Sha256.h"

#include <cryptopp/sha.h>

struct CSha256::SState
{
    CryptoPP::SHA256 hash;
};

CSha256::CSha256() : m_pState(std::make_unique<SState>()) {}

CSha256::~CSha256() = default;

void CSha256::Update(const void* pData, std::size_t nBytes)
{
    m_pState->hash.Update(static_cast<const CryptoPP::byte*>(pData), nBytes);
}

std::string CSha256::HexDigest()
{
    CryptoPP::byte digest[CryptoPP::SHA256::DIGESTSIZE];
    m_pState->hash.Final(digest);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const CryptoPP::byte b : digest)
    {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

std::string CSha256::Of(const std::string& bytes)
{
    CSha256 digest;
    digest.Update(bytes.data(), bytes.size());
    return digest.HexDigest();
}
