// The engine's HTTP client, in the pull style of the Windows Internet API that the engine's
// code was written against: a Session (the agent text, the certificates it trusts) opens
// Connections (scheme, host, port), a Connection opens Requests (verb, path with query),
// Send waits for the answer's head, Read waits until the count asked for has come, the
// answer has ended, or an error.
//
// HTTPS: the server's certificate is always verified (its chain against the system's
// trust store and the session's trust file, and the host name); nothing turns that off.
// A failed handshake or a certificate that does not verify fails Send with one of the
// ERROR_INTERNET_SEC... numbers below and FailureText() gives the TLS library's reason.
// Redirects may go from http to https, never from https to http (12040).
//
// Results: every call that can fail returns bool; on failure the calling thread's
// LastError() holds the reason (the numbers below, as GetLastError gives them).
//
// Threads: one thread at a time calls Send/Read/StatusCode on a request. Cancel and Close
// are safe from any thread while another is inside Send or Read: Cancel makes that call
// return at once with ERROR_INTERNET_OPERATION_CANCELLED and frees nothing; Close cancels,
// then frees the transfer once no thread is inside. A cancelled or closed handle stays
// so: later calls fail at once (cancelled: 12017, closed: ERROR_INVALID_HANDLE).
// Closing a session or connection cancels and closes the handles opened from it.
// Destroying a handle object closes it; the object itself must outlive every call on it
// (owners that close from another thread share it through a shared_ptr).
// Locks: each handle has one of its own, held only to register, count or free; no call
// blocks on it for longer, and none is held while the transfer runs or curl calls back.
//
// The transfer runs on curl's multi interface in the calling thread. A request reads ahead
// of its caller: body bytes that come while no Read waits, or that do not fit the waiting
// Read's buffer, are kept in a buffer of the request's own (at most 1 MiB) and handed to
// the next Reads; the transfer pauses only while that buffer is full. Bytes go straight
// into a waiting Read's buffer when nothing is kept ahead of them. Memory per request:
// that buffer, curl's 256 KiB receive buffer, and what curl holds while paused (at most
// one receive). An answer's head (status lines and header lines) may take at most 64 KiB:
// a longer one fails the exchange with ERROR_HTTP_INVALID_SERVER_RESPONSE, and
// FailureText() says why.
#pragma once

#include "platform/Types.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform::http
{
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;
inline constexpr DWORD ERROR_INTERNET_INTERNAL_ERROR = 12004;
inline constexpr DWORD ERROR_INTERNET_INVALID_URL = 12005;
inline constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
inline constexpr DWORD ERROR_INTERNET_OPERATION_CANCELLED = 12017;
inline constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;
inline constexpr DWORD ERROR_INTERNET_SEC_CERT_DATE_INVALID = 12037;
inline constexpr DWORD ERROR_INTERNET_SEC_CERT_CN_INVALID = 12038;
inline constexpr DWORD ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR = 12040;
inline constexpr DWORD ERROR_INTERNET_INVALID_CA = 12045;
inline constexpr DWORD ERROR_INTERNET_SEC_CERT_ERRORS = 12055;
inline constexpr DWORD ERROR_INTERNET_SECURE_FAILURE = 12175;
inline constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;
inline constexpr DWORD ERROR_INTERNET_CONNECTION_ABORTED = 12030;
inline constexpr DWORD ERROR_INTERNET_CONNECTION_RESET = 12031;
inline constexpr DWORD ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;

inline constexpr DWORD kDefaultReceiveTimeoutMs = 60000;
// The most bytes an answer's head may take, status and header lines together.
inline constexpr std::size_t kMaxHeadBytes = 64 * 1024;

// The value of a Content-Range header: "bytes first-last/total", or "bytes */total" for a
// range the server cannot satisfy; a total of "*" is unknown.
struct SContentRange
{
    std::optional<uint64_t> first; // none for "*/total"
    uint64_t last = 0;
    std::optional<uint64_t> total; // none for an unknown total
};
// Reads a Content-Range value; false when it is not of that form (last before first, a
// range reaching past a known total, other units, numbers beyond 64 bits).
bool ParseContentRange(const std::string& strValue, SContentRange& range);

// The calling thread's last failure reason.
DWORD LastError();
void SetLastError(DWORD dwError);
// Whether the error says the server could not be trusted: a failed TLS handshake, a
// certificate that does not verify, a redirect from https to http. Trying again, or over
// plain HTTP, cannot mend it.
bool IsTrustFailure(DWORD dwError);

// The schemes a Connection speaks.
enum class EScheme
{
    eHttp,
    eHttps,
};
// The scheme of a URL's scheme text ("http", "https", in any case); none for another.
std::optional<EScheme> SchemeOf(std::string_view scheme);

namespace detail
{
struct SessionState;
struct ConnectionState;
struct RequestState;
} // namespace detail

class Connection;
class Request;

// How many times this process has read the system's CA bundle: once, at its first HTTPS
// connection, however many follow (again only after a read that failed). Any thread.
std::size_t SystemTrustBundleReads();

// For tests: the PEM file that stands for the system's CA bundle in connections set up
// from now on (a test authority's, say); empty: the system's own again. Any thread.
void StandInForSystemTrustBundle(std::string strPath);

// The agent text that every request of the session sends as its User-Agent, and the
// certificates its HTTPS requests trust: the system's store, plus those of strTrustFile
// (a PEM file, for private deployments) when it is not empty. The system's bundle is read
// once for the process; a trust file is read for every connection. A bundle or trust file
// that cannot be read fails every HTTPS Send (ERROR_INTERNET_SECURE_FAILURE, FailureText
// says why).
class Session
{
public:
    explicit Session(std::string strAgent, std::string strTrustFile = {});
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Any thread: cancels and closes every connection and request opened from this
    // session. Returns at once; a Send or Read under way returns with 12017.
    void Close();

private:
    friend class Connection;
    std::shared_ptr<detail::SessionState> m_state;
};

// A server: scheme, host name and port. Requests opened from it share its receive time-out
// default.
class Connection
{
public:
    Connection(Session& session, std::string strHost, WORD nPort, EScheme eScheme = EScheme::eHttp);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The receive time-out that requests opened afterwards start with.
    void SetReceiveTimeout(DWORD dwMilliseconds);
    // Any thread: cancels and closes every request opened from this connection. Returns at
    // once; a Send or Read under way returns with 12017.
    void Close();

private:
    friend class Request;
    std::shared_ptr<detail::ConnectionState> m_state;
};

class Request
{
public:
    // Verb "GET", "POST" or "HEAD" (an empty verb is GET); the path starts with '/' and
    // may carry a query. POST requests carry no body (Content-Length: 0).
    Request(Connection& connection, std::string strVerb, std::string strPathWithQuery);
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // Adds header lines ("Name: value", separated or ended by CR LF) to every later Send.
    bool AddHeaders(const std::string& strHeaders);
    // Longest wait for the server to answer or send more of the answer.
    void SetReceiveTimeout(DWORD dwMilliseconds);

    // Sends the request (again: a new exchange on the same handle) with the extra header
    // text for this exchange. Blocks until the answer's head has come, the transfer failed,
    // nothing arrived for the receive time-out, or Cancel/Close.
    bool Send(const std::string& strExtraHeaders = {});
    // The numeric status of the last answer; fails before an answer's head has come.
    bool QueryStatusCode(DWORD& dwStatus) const;
    // As QueryStatusCode, 0 when there is none.
    DWORD StatusCode() const;
    // The status line of the last answer ("HTTP/1.1 200 OK"), without CR LF.
    std::string LastResponseText() const;
    // The value of a header of the last answer (first of that name, case-insensitive).
    bool QueryHeader(const std::string& strName, std::string& strValue) const;
    // The last answer's Content-Range; false when it has none or one that does not read.
    bool QueryContentRange(SContentRange& range) const;
    // The last answer's Content-Length; false when it has none or one that does not read.
    bool QueryContentLength(uint64_t& nLength) const;
    // The last answer's Retry-After as seconds from now: its delta form, or its HTTP date
    // (0 once the date has passed); false when it has none or one that does not read.
    bool QueryRetryAfter(DWORD& dwSeconds) const;
    // Why the last exchange failed when its error number alone does not say it (an answer
    // head over kMaxHeadBytes, the TLS library's reason for a trust failure, a redirect
    // refused); empty otherwise.
    std::string FailureText() const;

    // Blocks until dwToRead bytes have come, the answer has ended, an error, nothing arrived
    // for the receive time-out, or Cancel/Close. At the end of the answer (also when the
    // server closed it before its Content-Length) it succeeds with fewer bytes, then with 0.
    bool Read(void* pBuffer, DWORD dwToRead, DWORD* pdwRead);

    // Any thread: makes a Send or Read under way, and every later one, fail with 12017.
    void Cancel();
    // Any thread: cancels, then frees the transfer once no thread is inside.
    void Close();

private:
    std::shared_ptr<detail::RequestState> m_state;
};
} // namespace platform::http
