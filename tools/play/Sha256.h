// A running SHA-256 digest of a track's bytes, in lower-case hexadecimal as sha256sum
// prints it. Crypto++ computes it. A plain value used on one thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class CSha256
{
public:
    CSha256();
    ~CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;

    void Update(const void* pData, std::size_t nBytes);
    // The digest of everything given so far; starts a new digest afterwards.
    std::string HexDigest();

    // The digest of one text.
    static std::string Of(const std::string& bytes);

private:
    struct SState;
    std::unique_ptr<SState> m_pState;
};
