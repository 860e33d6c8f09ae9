// The station's TLS side: a server context made from a certificate chain and its private
// key (PEM files), from which each accepted connection gets its TLS session. Built once
// before the station listens, then only read: connection threads share it.
#pragma once

#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace station
{
class TlsContext
{
public:
    // Throws std::runtime_error, with the TLS library's reason, when a file cannot be read
    // or the key does not belong to the certificate.
    TlsContext(const std::string& certFile, const std::string& keyFile);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // A server session on the socket; null when none can be made.
    SSL* NewSession(int fd) const;

    // The TLS library's last error on this thread as text (and clears it); `fallback` when
    // there is none.
    static std::string LastError(const std::string& fallback);

private:
    SSL_CTX* m_ctx = nullptr;
};
} // namespace station
