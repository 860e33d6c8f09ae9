#include "host/Md5.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

namespace host
{
struct CMd5::Impl
{
    CryptoPP::Weak::MD5 md5;
};

CMd5::CMd5() : m_impl(std::make_unique<Impl>()) {}
CMd5::~CMd5() = default;

void CMd5::Add(std::string_view bytes)
{
    m_impl->md5.Update(reinterpret_cast<const CryptoPP::byte*>(bytes.data()), bytes.size());
}

std::array<uint8_t, 16> CMd5::Finish()
{
    std::array<uint8_t, 16> digest{};
    m_impl->md5.Final(digest.data());
    return digest;
}

std::string CMd5::FinishHex()
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const uint8_t b : Finish())
    {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

std::string Md5Hex(std::string_view bytes)
{
    CMd5 md5;
    md5.Add(bytes);
    return md5.FinishHex();
}
} // namespace host
