// The MD5 digest (RFC 1321) that the request signatures share, with the usual start,
// add-bytes and finish steps, and its text form in upper-case hexadecimal.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace host
{
class CMd5
{
public:
    CMd5();
    ~CMd5();
    CMd5(const CMd5&) = delete;
    CMd5& operator=(const CMd5&) = delete;

    void Add(std::string_view bytes);
    // The digest of everything added since construction or the last Finish; starts anew.
    std::array<uint8_t, 16> Finish();
    // Finish, as 32 upper-case hexadecimal digits.
    std::string FinishHex();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The digest of one text, as 32 upper-case hexadecimal digits.
std::string Md5Hex(std::string_view bytes);
} // namespace host
