#include "TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <stdexcept>

namespace station
{
TlsContext::TlsContext(const std::string& certFile, const std::string& keyFile)
    : m_ctx(SSL_CTX_new(TLS_server_method()))
{
    if (m_ctx == nullptr)
        throw std::runtime_error(LastError("cannot make a TLS context"));
    if (SSL_CTX_use_certificate_chain_file(m_ctx, certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(m_ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(m_ctx) != 1)
    {
        const std::string reason = LastError("unusable");
        SSL_CTX_free(m_ctx);
        throw std::runtime_error("TLS certificate " + certFile + " with key " + keyFile + ": " +
                                 reason);
    }
    // Answers close their connections, so sessions are never resumed.
    SSL_CTX_set_session_cache_mode(m_ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(m_ctx, SSL_OP_NO_TICKET);
}

TlsContext::~TlsContext()
{
    SSL_CTX_free(m_ctx);
}

SSL* TlsContext::NewSession(int fd) const
{
    SSL* ssl = SSL_new(m_ctx);
    if (ssl != nullptr && SSL_set_fd(ssl, fd) != 1)
    {
        SSL_free(ssl);
        return nullptr;
    }
    return ssl;
}

std::string TlsContext::LastError(const std::string& fallback)
{
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    if (error == 0)
        return fallback;
    char text[256];
    ERR_error_string_n(error, text, sizeof text);
    return text;
}
} // namespace station
