// Certificates for TLS tests, made at run time (no key is ever committed): an authority
// whose certificate the engine is told to trust, and server certificates for 127.0.0.1
// that it signs, or that fail in one way each. Files go to the caller's folder.
#pragma once

#include <memory>
#include <string>

namespace testsupport
{
enum class ECertificate
{
    eGood,             // for 127.0.0.1 and localhost, signed by the trusted authority
    eUnknownAuthority, // signed by an authority nobody trusts
    eOtherHost,        // for another host name only
    eExpired,          // its validity ended yesterday
};

struct STlsFiles
{
    std::string certFile; // the certificate, PEM
    std::string keyFile;  // its private key, PEM
};

class CTestAuthority
{
public:
    // Makes the authority and writes its certificate to <folder>/ca.pem.
    explicit CTestAuthority(std::string folder);
    ~CTestAuthority();
    CTestAuthority(const CTestAuthority&) = delete;
    CTestAuthority& operator=(const CTestAuthority&) = delete;

    // The trusted authority's certificate (what "TlsCaFile" names).
    const std::string& CaFile() const { return m_caFile; }
    // Makes a server certificate of that kind and writes it and its key as
    // <folder>/<name>.pem and <folder>/<name>.key.
    STlsFiles Issue(ECertificate kind, const std::string& name);

private:
    struct SState;
    std::string m_folder;
    std::string m_caFile;
    std::unique_ptr<SState> m_state;
};
} // namespace testsupport
