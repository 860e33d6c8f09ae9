#include "support/TestCertificates.h"

#include <cstdio>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdexcept>

namespace testsupport
{
namespace
{
struct KeyFree
{
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct CertFree
{
    void operator()(X509* p) const { X509_free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void Check(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(std::string("test certificate: ") + what);
}

Key NewKey()
{
    Key key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "no key");
    return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    Check(ext != nullptr && X509_add_ext(cert, ext, -1) == 1, "extension");
    X509_EXTENSION_free(ext);
}

// A certificate for `name` with `key`, valid from `fromDays` to `toDays` from now, signed by
// issuerKey (its own key when issuer is null: self-signed).
Cert MakeCert(const std::string& name, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey,
              long fromDays, long toDays, bool bAuthority, const std::string& altNames)
{
    static long s_serial = 1000;
    Cert cert(X509_new());
    Check(cert != nullptr, "no certificate");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ++s_serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), fromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), toDays * 86400);
    X509_NAME* subject = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : subject);
    X509_set_pubkey(cert.get(), key);
    X509* signer = issuer ? issuer : cert.get();
    AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (bAuthority)
    {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    else
    {
        AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid");
        AddExtension(cert.get(), signer, NID_basic_constraints, "CA:FALSE");
        AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        AddExtension(cert.get(), signer, NID_subject_alt_name, altNames);
    }
    Check(X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0, "signing");
    return cert;
}

void WritePem(const std::string& path, X509* cert, EVP_PKEY* key)
{
    FILE* file = std::fopen(path.c_str(), "w");
    Check(file != nullptr, "cannot write a file");
    const bool ok =
        cert ? PEM_write_X509(file, cert) == 1
             : PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    Check(std::fclose(file) == 0 && ok, "cannot write a PEM file");
}
} // namespace

struct CTestAuthority::SState
{
    Key caKey = NewKey();
    Cert ca;
    Key strangerKey = NewKey();
    Cert stranger;
};

CTestAuthority::CTestAuthority(std::string folder)
    : m_folder(std::move(folder)), m_caFile(m_folder + "/ca.pem"),
      m_state(std::make_unique<SState>())
{
    m_state->ca = MakeCert("OVRadio test authority", m_state->caKey.get(), nullptr, nullptr, -1, 30,
                           true, "");
    m_state->stranger = MakeCert("OVRadio stranger authority", m_state->strangerKey.get(), nullptr,
                                 nullptr, -1, 30, true, "");
    WritePem(m_caFile, m_state->ca.get(), nullptr);
}

CTestAuthority::~CTestAuthority() = default;

STlsFiles CTestAuthority::Issue(ECertificate kind, const std::string& name)
{
    const Key key = NewKey();
    const bool bStranger = kind == ECertificate::eUnknownAuthority;
    X509* issuer = bStranger ? m_state->stranger.get() : m_state->ca.get();
    EVP_PKEY* issuerKey = bStranger ? m_state->strangerKey.get() : m_state->caKey.get();
    const bool bExpired = kind == ECertificate::eExpired;
    const std::string altNames =
        kind == ECertificate::eOtherHost ? "DNS:other.example" : "IP:127.0.0.1,DNS:localhost";
    const Cert cert = MakeCert(name, key.get(), issuer, issuerKey, bExpired ? -3 : -1,
                               bExpired ? -1 : 30, false, altNames);
    STlsFiles files{m_folder + "/" + name + ".pem", m_folder + "/" + name + ".key"};
    WritePem(files.certFile, cert.get(), nullptr);
    WritePem(files.keyFile, nullptr, key.get());
    return files;
}
} // namespace testsupport
