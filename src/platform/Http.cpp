#include "platform/Http.h"

#include "platform/AsciiText.h"
#include "platform/Mutex.h"
#include "platform/detail/ByteQueue.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <curl/curl.h>
#include <memory>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::http
{
namespace
{
thread_local DWORD t_dwLastError = 0;

// Read buffer of curl per transfer: larger chunks mean fewer receive calls.
constexpr long kCurlBufferSize = 256 * 1024;
// The body bytes a request takes from curl ahead of its reader. curl hands the body over
// in pieces of at most 16 KiB; pausing the transfer makes it copy everything it has
// received and not yet handed over, and it hands that over again piece by piece on
// resume, so a transfer that paused whenever a small read was satisfied copied its
// buffer over and over. With room for several of curl's reads it pauses only when the
// reader falls that far behind.
constexpr std::size_t kReadAheadSize = 1024 * 1024;
constexpr long kConnectTimeoutMs = 60000;

bool Fail(DWORD dwError)
{
    t_dwLastError = dwError;
    return false;
}

void InitCurlOnce()
{
    static const bool once = []
    {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return true;
    }();
    (void)once;
}

// Loads PEM certificates from strPath into a store; false with the TLS library's reason
// in strReason when the file cannot be read.
bool LoadCertificates(X509_STORE* store, const std::string& strPath, std::string& strReason)
{
    ERR_clear_error();
    if (X509_STORE_load_file(store, strPath.c_str()) == 1)
        return true;
    char szReason[256] = "no certificates";
    if (const unsigned long nError = ERR_peek_last_error(); nError != 0)
        ERR_error_string_n(nError, szReason, sizeof szReason);
    ERR_clear_error();
    strReason = szReason;
    return false;
}

// The trusted certificates of the system's CA bundle, read once for the process. curl reads
// and parses the whole file for every TLS connection, some 150 certificates and 25-30 ms of
// CPU on a small machine, and a session opens three connections at its start and two for
// every track. Each connection's store takes these by reference instead.
class TrustBundle
{
public:
    // The certificates of the bundle at strPath, read at the first call for that path;
    // nothing when the file cannot be read, with the reason in strReason, and the next call
    // tries again. Any thread; blocks while another thread reads the file. Takes the
    // bundle's own lock, a leaf.
    static std::shared_ptr<const TrustBundle> Get(const std::string& strPath,
                                                  std::string& strReason);

    // Adds the certificates and revocation lists to a connection's store.
    void AddTo(X509_STORE* store) const;

    ~TrustBundle();

private:
    std::string m_strPath;
    std::vector<X509*> m_certificates;
    std::vector<X509_CRL*> m_revocations;
};

// Guards the one bundle of the process and the file that stands for the system's. A leaf:
// nothing else is taken under it.
Mutex g_csTrustBundle;
std::atomic<std::size_t> g_nTrustBundleReads{0};

// The file that stands for the system's bundle; empty: curl's built-in one.
std::string& TrustBundleStandIn() OVR_REQUIRES(g_csTrustBundle)
{
    // Never destroyed: a connection may be set up while the process exits.
    static auto* pPath = new std::string;
    return *pPath;
}

std::shared_ptr<const TrustBundle> TrustBundle::Get(const std::string& strPath,
                                                    std::string& strReason)
{
    // Never destroyed: a connection may be set up while the process exits.
    static auto* pBundle = new std::shared_ptr<const TrustBundle>;
    MutexLock lock(g_csTrustBundle);
    if (*pBundle && (*pBundle)->m_strPath == strPath)
        return *pBundle;
    g_nTrustBundleReads.fetch_add(1);
    const std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(),
                                                                        &X509_STORE_free);
    if (store == nullptr)
    {
        strReason = "no certificate store";
        return nullptr;
    }
    if (!LoadCertificates(store.get(), strPath, strReason))
        return nullptr;
    auto bundle = std::make_shared<TrustBundle>();
    bundle->m_strPath = strPath;
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store.get());
    for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i)
    {
        X509_OBJECT* object = sk_X509_OBJECT_value(objects, i);
        if (X509* certificate = X509_OBJECT_get0_X509(object);
            certificate != nullptr && X509_up_ref(certificate) == 1)
            bundle->m_certificates.push_back(certificate);
        else if (X509_CRL* revocation = X509_OBJECT_get0_X509_CRL(object);
                 revocation != nullptr && X509_CRL_up_ref(revocation) == 1)
            bundle->m_revocations.push_back(revocation);
    }
    *pBundle = bundle;
    return bundle;
}

void TrustBundle::AddTo(X509_STORE* store) const
{
    for (X509* certificate : m_certificates)
        X509_STORE_add_cert(store, certificate);
    for (X509_CRL* revocation : m_revocations)
        X509_STORE_add_crl(store, revocation);
}

TrustBundle::~TrustBundle()
{
    for (X509* certificate : m_certificates)
        X509_free(certificate);
    for (X509_CRL* revocation : m_revocations)
        X509_CRL_free(revocation);
}

// The system's CA bundle: curl's built-in one, or the file that stands for it; empty when
// there is none.
std::string TrustBundlePath(CURL* easy)
{
    static const std::string strBuiltIn = [easy]
    {
        char* pszPath = nullptr;
        return curl_easy_getinfo(easy, CURLINFO_CAINFO, &pszPath) == CURLE_OK && pszPath
                   ? std::string(pszPath)
                   : std::string();
    }();
    MutexLock lock(g_csTrustBundle);
    const std::string& strStandIn = TrustBundleStandIn();
    return strStandIn.empty() ? strBuiltIn : strStandIn;
}

// Header text as lines: CR LF (or LF) separated, empty lines dropped.
std::vector<std::string> HeaderLines(const std::string& strHeaders)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < strHeaders.size())
    {
        std::size_t end = strHeaders.find('\n', start);
        if (end == std::string::npos)
            end = strHeaders.size();
        const std::string_view line =
            TrimAsciiEnd(std::string_view(strHeaders).substr(start, end - start), "\r\n");
        if (!line.empty())
            lines.emplace_back(line);
        start = end + 1;
    }
    return lines;
}

// A decimal number of at most 19 digits (so it fits 64 bits), nothing else.
std::optional<uint64_t> Decimal64(std::string_view text)
{
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    uint64_t value = 0;
    for (const char c : text)
    {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + uint64_t(c - '0');
    }
    return value;
}

// The three digits after the protocol of a status line; 0 when there are none.
DWORD StatusOfLine(std::string_view line)
{
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos || line.size() < space + 4)
        return 0;
    DWORD dwStatus = 0;
    for (std::size_t i = space + 1; i < space + 4; ++i)
    {
        if (line[i] < '0' || line[i] > '9')
            return 0;
        dwStatus = dwStatus * 10 + DWORD(line[i] - '0');
    }
    return dwStatus;
}
} // namespace

DWORD LastError()
{
    return t_dwLastError;
}

bool IsTrustFailure(DWORD dwError)
{
    switch (dwError)
    {
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR:
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SECURE_FAILURE:
        return true;
    default:
        return false;
    }
}

std::optional<EScheme> SchemeOf(std::string_view scheme)
{
    if (EqualsNoCase(scheme, "http"))
        return EScheme::eHttp;
    if (EqualsNoCase(scheme, "https"))
        return EScheme::eHttps;
    return std::nullopt;
}

bool ParseContentRange(const std::string& strValue, SContentRange& range)
{
    const std::string_view value = TrimAscii(strValue);
    constexpr std::string_view kUnit = "bytes ";
    if (!StartsWithNoCase(value, kUnit))
        return false;
    const std::string_view rangeText = TrimAscii(value.substr(kUnit.size()));
    const std::size_t slash = rangeText.find('/');
    if (slash == std::string_view::npos)
        return false;
    const std::string_view span = rangeText.substr(0, slash);
    const std::string_view total = rangeText.substr(slash + 1);
    SContentRange parsed;
    if (total != "*")
    {
        parsed.total = Decimal64(total);
        if (!parsed.total)
            return false;
    }
    if (span != "*")
    {
        const std::size_t dash = span.find('-');
        if (dash == std::string_view::npos)
            return false;
        parsed.first = Decimal64(span.substr(0, dash));
        const std::optional<uint64_t> last = Decimal64(span.substr(dash + 1));
        if (!parsed.first || !last || *last < *parsed.first ||
            (parsed.total && *last >= *parsed.total))
            return false;
        parsed.last = *last;
    }
    else if (!parsed.total)
        return false; // "*/*" says nothing
    range = parsed;
    return true;
}

void SetLastError(DWORD dwError)
{
    t_dwLastError = dwError;
}

namespace detail
{
// The handles opened from a session or a connection, which closing it closes too.
template <typename Child>
class ChildHandles
{
public:
    // Registers the child; false, with nothing registered, once the list is closed.
    bool Add(const std::shared_ptr<Child>& child) OVR_EXCLUDES(m_mutex)
    {
        MutexLock lock(m_mutex);
        if (m_bClosed)
            return false;
        std::erase_if(m_children, [](const std::weak_ptr<Child>& w) { return w.expired(); });
        m_children.push_back(child);
        return true;
    }

    // Closes the list and hands out the children still alive, for the caller to close
    // outside the lock; later Adds fail.
    std::vector<std::shared_ptr<Child>> Close() OVR_EXCLUDES(m_mutex)
    {
        std::vector<std::weak_ptr<Child>> children;
        {
            MutexLock lock(m_mutex);
            m_bClosed = true;
            children.swap(m_children);
        }
        std::vector<std::shared_ptr<Child>> alive;
        for (const auto& weak : children)
            if (auto child = weak.lock())
                alive.push_back(std::move(child));
        return alive;
    }

private:
    Mutex m_mutex;
    bool m_bClosed OVR_GUARDED_BY(m_mutex) = false;
    std::vector<std::weak_ptr<Child>> m_children OVR_GUARDED_BY(m_mutex);
};

struct SessionState
{
    SessionState(std::string agent, std::string trustFile)
        : strAgent(std::move(agent)), strTrustFile(std::move(trustFile))
    {
    }

    // Closes every connection opened from the session, and their requests.
    void Close();

    const std::string strAgent;
    const std::string strTrustFile;
    ChildHandles<ConnectionState> connections;
};

struct ConnectionState
{
    ConnectionState(std::shared_ptr<SessionState> s, std::string host, WORD port, EScheme scheme)
        : session(std::move(s)), strHost(std::move(host)), nPort(port), eScheme(scheme)
    {
    }

    // Closes every request opened from the connection.
    void Close();

    const std::shared_ptr<SessionState> session;
    const std::string strHost;
    const WORD nPort;
    const EScheme eScheme;
    std::atomic<DWORD> dwReceiveTimeout{kDefaultReceiveTimeoutMs};
    ChildHandles<RequestState> requests;
};

void SessionState::Close()
{
    for (const auto& connection : connections.Close())
        connection->Close();
}

// Body bytes that came before the reader asked for them, in order: bytes are taken from
// the front and added at the back. It holds at most kReadAheadSize bytes, or one piece of
// curl's when it is empty, in blocks that come and go with the bytes.
class ReadAhead
{
public:
    std::size_t Size() const { return m_bytes.Size(); }
    // Whether n more bytes may be added.
    bool HasRoomFor(std::size_t n) const { return Size() == 0 || Size() + n <= kReadAheadSize; }

    void Add(const char* p, std::size_t n)
    {
        m_bytes.Push(reinterpret_cast<const unsigned char*>(p), n);
    }

    // Moves up to n bytes from the front to pOut; the count moved.
    std::size_t Take(char* pOut, std::size_t n)
    {
        return m_bytes.Take(reinterpret_cast<unsigned char*>(pOut), n);
    }

    void Clear() { m_bytes.Clear(); }

private:
    platform::detail::ByteQueue m_bytes;
};

// The life of a request handle. It only moves forward: a cancelled handle fails every
// call with 12017, a closed one with ERROR_INVALID_HANDLE.
enum class EHandle
{
    eOpen,
    eCancelled,
    eClosed,
};

// Where the exchange of the last Send stands. Send starts it, curl's callbacks and Pump
// move it on, Read takes the body; only the thread inside Send or Read touches it.
enum class EExchange
{
    eNone,         // nothing sent yet, or the last Send could not start its exchange
    eAwaitingHead, // sent; the answer's head has not come
    eBody,         // the head has come; the body flows into the caller's buffer or read-ahead
    ePaused,       // the read-ahead is full: curl keeps what it has until a Read resumes it
    eEnded,        // the transfer ended after the head came (result says how)
    eFailed,       // the transfer ended before a head came (result says why)
};

// One request's transfer. The handle's state changes under mutex (Pump reads it without);
// the curl handles are created before the request is shared and freed under mutex once
// the handle is closed and no thread is inside (nInside), so the thread inside uses them
// without the lock. The exchange fields are touched only by the one thread inside
// Send/Read (and by curl's callbacks, which run in that thread).
struct RequestState
{
    RequestState(std::shared_ptr<ConnectionState> c, std::string verb, std::string path)
        : connection(std::move(c)), strVerb(std::move(verb)), strPath(std::move(path)),
          dwReceiveTimeout(connection->dwReceiveTimeout.load())
    {
    }
    ~RequestState() { FreeCurl(); }

    bool CreateCurl();
    void FreeCurl();
    bool Enter() OVR_EXCLUDES(mutex);
    void Leave() OVR_EXCLUDES(mutex);
    void Cancel() OVR_EXCLUDES(mutex);
    void Close() OVR_EXCLUDES(mutex);
    bool IsOpen() const { return handle.load() == EHandle::eOpen; }

    bool PrepareExchange(const std::string& strExtraHeaders);
    bool HeadCame() const
    {
        return exchange == EExchange::eBody || exchange == EExchange::ePaused ||
               exchange == EExchange::eEnded;
    }
    bool Finished() const
    {
        return exchange == EExchange::eEnded || exchange == EExchange::eFailed;
    }
    template <typename Done>
    DWORD Pump(Done done);
    DWORD ResultError() const;
    DWORD TrustError() const;
    static CURLcode OnSslContext(CURL* easy, void* pSslContext, void* user);
    static size_t OnHeader(char* p, size_t size, size_t n, void* user);
    static size_t OnBody(char* p, size_t size, size_t n, void* user);

    const std::shared_ptr<ConnectionState> connection;
    const std::string strVerb;
    const std::string strPath;
    std::atomic<DWORD> dwReceiveTimeout;

    Mutex mutex;
    std::atomic<EHandle> handle{EHandle::eOpen};
    int nInside OVR_GUARDED_BY(mutex) = 0;
    CURLM* multi = nullptr;
    CURL* easy = nullptr;

    // Exchange state, only in the thread inside.
    std::string strAddedHeaders;
    curl_slist* headerList = nullptr;
    EExchange exchange = EExchange::eNone;
    // Something came since Pump last looked: the receive time-out counts from then.
    bool bProgress = false;
    CURLcode result = CURLE_OK;
    std::string strStatusLine;
    DWORD dwStatus = 0;
    std::vector<std::pair<std::string, std::string>> answerHeaders;
    std::size_t nHeadBytes = 0;
    bool bHeadTooLarge = false;
    // Where a redirect of this exchange pointed, and why the system's bundle or the trust
    // file could not be used.
    std::string strRedirectUrl;
    std::string strTrustFileFailure;
    std::string strTrustBundle; // the system's CA bundle, empty when curl knows none
    char* pDest = nullptr;
    std::size_t nDestLeft = 0;
    ReadAhead ahead;
    char errorBuffer[CURL_ERROR_SIZE] = {};
};

void ConnectionState::Close()
{
    for (const auto& request : requests.Close())
        request->Close();
}

bool RequestState::CreateCurl()
{
    InitCurlOnce();
    multi = curl_multi_init();
    easy = curl_easy_init();
    if (multi == nullptr || easy == nullptr)
        return false;
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &RequestState::OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &RequestState::OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kCurlBufferSize);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    const bool bSecure = connection->eScheme == EScheme::eHttps;
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    // An https address is never followed to a plain one: its requests carry the
    // listener's identifier and signed addresses.
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, bSecure ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    // The system's bundle comes from the process's copy (OnSslContext), not from the file.
    strTrustBundle = TrustBundlePath(easy);
    if (!strTrustBundle.empty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &RequestState::OnSslContext);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, this);
    curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, connection->session->strAgent.c_str());

    std::string strHost = connection->strHost;
    if (strHost.find(':') != std::string::npos && strHost.front() != '[')
        strHost = "[" + strHost + "]";
    const std::string strUrl = (bSecure ? "https://" : "http://") + strHost + ":" +
                               std::to_string(connection->nPort) + strPath;
    if (curl_easy_setopt(easy, CURLOPT_URL, strUrl.c_str()) != CURLE_OK)
        return false;

    if (strVerb.empty() || strVerb == "GET")
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    else if (strVerb == "POST")
    {
        // No body: an empty POST with Content-Length: 0.
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, 0L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
    }
    else if (strVerb == "HEAD")
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    else
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, strVerb.c_str());
    return true;
}

// Runs with no thread inside (under mutex, or in the destructor). It leaves the exchange
// state alone: the thread that made the last exchange may still read its answer (status,
// headers) while another thread closes the handle.
void RequestState::FreeCurl()
{
    if (multi != nullptr && easy != nullptr && exchange != EExchange::eNone)
        curl_multi_remove_handle(multi, easy);
    if (easy != nullptr)
        curl_easy_cleanup(easy);
    if (multi != nullptr)
        curl_multi_cleanup(multi);
    easy = nullptr;
    multi = nullptr;
    curl_slist_free_all(headerList);
    headerList = nullptr;
}

bool RequestState::Enter()
{
    MutexLock lock(mutex);
    switch (handle.load())
    {
    case EHandle::eClosed:
        return Fail(ERROR_INVALID_HANDLE);
    case EHandle::eCancelled:
        return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    case EHandle::eOpen:
        break;
    }
    if (easy == nullptr)
        return Fail(ERROR_INTERNET_INTERNAL_ERROR);
    ++nInside;
    return true;
}

void RequestState::Leave()
{
    MutexLock lock(mutex);
    if (--nInside == 0 && handle.load() == EHandle::eClosed)
        FreeCurl();
}

void RequestState::Cancel()
{
    MutexLock lock(mutex);
    EHandle open = EHandle::eOpen;
    handle.compare_exchange_strong(open, EHandle::eCancelled);
    if (multi != nullptr)
        curl_multi_wakeup(multi);
}

void RequestState::Close()
{
    MutexLock lock(mutex);
    handle = EHandle::eClosed;
    if (nInside == 0)
        FreeCurl();
    else if (multi != nullptr)
        curl_multi_wakeup(multi); // the thread inside ends its call and frees on leaving
}

// Starts a new exchange: the previous one (if any) is dropped, its answer forgotten.
bool RequestState::PrepareExchange(const std::string& strExtraHeaders)
{
    if (exchange != EExchange::eNone)
        curl_multi_remove_handle(multi, easy);
    exchange = EExchange::eNone;
    bProgress = false;
    result = CURLE_OK;
    strStatusLine.clear();
    dwStatus = 0;
    answerHeaders.clear();
    nHeadBytes = 0;
    bHeadTooLarge = false;
    strRedirectUrl.clear();
    strTrustFileFailure.clear();
    pDest = nullptr;
    nDestLeft = 0;
    ahead.Clear();
    errorBuffer[0] = '\0';

    curl_slist_free_all(headerList);
    headerList = nullptr;
    std::vector<std::string> lines = HeaderLines(strAddedHeaders);
    for (std::string& line : HeaderLines(strExtraHeaders))
        lines.push_back(std::move(line));
    if (strVerb == "POST")
        lines.insert(lines.begin(), "Content-Type:"); // no body, so no body type
    for (const std::string& line : lines)
    {
        curl_slist* next = curl_slist_append(headerList, line.c_str());
        if (next == nullptr)
            return false;
        headerList = next;
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
    if (curl_multi_add_handle(multi, easy) != CURLM_OK)
        return false;
    exchange = EExchange::eAwaitingHead;
    return true;
}

// Drives the transfer in this thread until done() holds, the transfer ends, the handle
// is cancelled, or nothing arrived for the receive time-out. 0 or the error number.
template <typename Done>
DWORD RequestState::Pump(Done done)
{
    using Clock = std::chrono::steady_clock;
    const auto timeout = std::chrono::milliseconds(dwReceiveTimeout.load());
    auto lastProgress = Clock::now();
    for (;;)
    {
        if (!IsOpen())
            return ERROR_INTERNET_OPERATION_CANCELLED;
        int nRunning = 0;
        if (curl_multi_perform(multi, &nRunning) != CURLM_OK)
            return ERROR_INTERNET_INTERNAL_ERROR;
        int nQueued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &nQueued))
        {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy)
            {
                exchange = HeadCame() ? EExchange::eEnded : EExchange::eFailed;
                result = msg->data.result;
            }
        }
        const auto now = Clock::now();
        if (bProgress)
        {
            lastProgress = now;
            bProgress = false;
        }
        if (done() || Finished())
            return 0;
        if (!IsOpen())
            return ERROR_INTERNET_OPERATION_CANCELLED;
        const auto idle = now - lastProgress;
        if (idle >= timeout)
            return ERROR_INTERNET_TIMEOUT;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(timeout - idle);
        const int nWaitMs = int(std::clamp<long long>(left.count() + 1, 1, 1000));
        if (curl_multi_poll(multi, nullptr, 0, nWaitMs, nullptr) != CURLM_OK)
            return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

// The error number of a finished transfer (0 when it ended as a complete answer: a body
// cut before its Content-Length ends like a complete one).
DWORD RequestState::ResultError() const
{
    if (bHeadTooLarge)
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    switch (result)
    {
    case CURLE_OK:
    case CURLE_PARTIAL_FILE:
        return 0;
    case CURLE_OPERATION_TIMEDOUT:
        return ERROR_INTERNET_TIMEOUT;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
        return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_URL_MALFORMAT:
        return ERROR_INTERNET_INVALID_URL;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_TOO_MANY_REDIRECTS:
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_UNSUPPORTED_PROTOCOL:
        return connection->eScheme == EScheme::eHttps && !strRedirectUrl.empty()
                   ? ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR
                   : ERROR_INTERNET_INVALID_URL;
    case CURLE_PEER_FAILED_VERIFICATION:
        return TrustError();
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
        return ERROR_INTERNET_SECURE_FAILURE;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    {
        long nErrno = 0;
        curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &nErrno);
        if (nErrno == ECONNRESET || nErrno == EPIPE || std::strstr(errorBuffer, "reset") != nullptr)
            return ERROR_INTERNET_CONNECTION_RESET;
        return ERROR_INTERNET_CONNECTION_ABORTED;
    }
    default:
        return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

// A certificate that did not verify: which check failed, from the TLS library's verdict on
// the chain. curl checks the host name before it takes the chain's verdict: a failure there
// leaves the verdict unspecified (or that of a verified chain).
DWORD RequestState::TrustError() const
{
    long nVerdict = X509_V_OK;
    if (curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &nVerdict) != CURLE_OK || nVerdict < 0)
        return ERROR_INTERNET_SEC_CERT_CN_INVALID;
    switch (nVerdict)
    {
    case X509_V_OK:
    case X509_V_ERR_UNSPECIFIED:
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return ERROR_INTERNET_SEC_CERT_CN_INVALID;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return ERROR_INTERNET_INVALID_CA;
    default:
        return ERROR_INTERNET_SEC_CERT_ERRORS;
    }
}

// Runs in the thread inside Send, once curl has set up a TLS connection's context: adds
// the system's bundle and the session's trust file to its store.
CURLcode RequestState::OnSslContext(CURL*, void* pSslContext, void* user)
{
    auto& s = *static_cast<RequestState*>(user);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(pSslContext));
    if (store == nullptr)
    {
        s.strTrustFileFailure = "the TLS connection has no certificate store";
        return CURLE_SSL_CACERT_BADFILE;
    }
    std::string strReason;
    if (!s.strTrustBundle.empty())
    {
        const auto bundle = TrustBundle::Get(s.strTrustBundle, strReason);
        if (!bundle)
        {
            s.strTrustFileFailure = "the system's trusted certificates of " + s.strTrustBundle +
                                    " cannot be read: " + strReason;
            return CURLE_SSL_CACERT_BADFILE;
        }
        bundle->AddTo(store);
    }
    const std::string& strFile = s.connection->session->strTrustFile;
    if (strFile.empty() || LoadCertificates(store, strFile, strReason))
        return CURLE_OK;
    s.strTrustFileFailure =
        "the trusted certificates of " + strFile + " cannot be read: " + strReason;
    return CURLE_SSL_CACERT_BADFILE;
}

size_t RequestState::OnHeader(char* p, size_t size, size_t n, void* user)
{
    auto& s = *static_cast<RequestState*>(user);
    const size_t total = size * n;
    s.bProgress = true;
    // Every head of the exchange counts (interim answers and redirects too): a server that
    // sends header lines without end must not make the request keep them without end.
    s.nHeadBytes += total;
    if (s.nHeadBytes > kMaxHeadBytes)
    {
        s.bHeadTooLarge = true;
        return 0; // curl ends the transfer
    }
    const std::string_view line = TrimAsciiEnd(std::string_view(p, total), "\r\n");
    if (line.substr(0, 5) == "HTTP/")
    {
        s.strStatusLine = line;
        s.answerHeaders.clear();
    }
    else if (line.empty())
    {
        const DWORD dwStatus = StatusOfLine(s.strStatusLine);
        char* redirect = nullptr;
        if (dwStatus >= 300 && dwStatus < 400)
            curl_easy_getinfo(s.easy, CURLINFO_REDIRECT_URL, &redirect);
        if (redirect != nullptr)
            s.strRedirectUrl = redirect;
        // An interim answer, or one that curl follows to another address, is not the
        // answer the caller waits for; the blank line after trailers changes nothing.
        if (dwStatus >= 200 && redirect == nullptr && s.exchange == EExchange::eAwaitingHead)
        {
            s.dwStatus = dwStatus;
            s.exchange = EExchange::eBody;
        }
    }
    else
    {
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos)
            s.answerHeaders.emplace_back(TrimAscii(line.substr(0, colon)),
                                         TrimAscii(line.substr(colon + 1)));
    }
    return total;
}

// While a Read waits for bytes the read-ahead is empty (Read empties it first), so the
// bytes go straight into the caller's buffer; what does not fit, or comes while no Read
// waits, goes to the read-ahead.
size_t RequestState::OnBody(char* p, size_t size, size_t n, void* user)
{
    auto& s = *static_cast<RequestState*>(user);
    const size_t total = size * n;
    s.bProgress = true;
    const size_t take = std::min(total, s.nDestLeft);
    if (!s.ahead.HasRoomFor(total - take))
    {
        // curl keeps this piece and hands it again on resume.
        s.exchange = EExchange::ePaused;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (take != 0)
    {
        std::memcpy(s.pDest, p, take);
        s.pDest += take;
        s.nDestLeft -= take;
    }
    if (take < total)
        s.ahead.Add(p + take, total - take);
    return total;
}
} // namespace detail

// ---- Session

std::size_t SystemTrustBundleReads()
{
    return g_nTrustBundleReads.load();
}

void StandInForSystemTrustBundle(std::string strPath)
{
    MutexLock lock(g_csTrustBundle);
    TrustBundleStandIn() = std::move(strPath);
}

Session::Session(std::string strAgent, std::string strTrustFile)
    : m_state(std::make_shared<detail::SessionState>(std::move(strAgent), std::move(strTrustFile)))
{
}

Session::~Session()
{
    Close();
}

void Session::Close()
{
    m_state->Close();
}

// ---- Connection

Connection::Connection(Session& session, std::string strHost, WORD nPort, EScheme eScheme)
    : m_state(std::make_shared<detail::ConnectionState>(session.m_state, std::move(strHost), nPort,
                                                        eScheme))
{
    // Opened from a closed session: closed from the start.
    if (!session.m_state->connections.Add(m_state))
        m_state->Close();
}

Connection::~Connection()
{
    Close();
}

void Connection::SetReceiveTimeout(DWORD dwMilliseconds)
{
    m_state->dwReceiveTimeout = dwMilliseconds;
}

void Connection::Close()
{
    m_state->Close();
}

// ---- Request

Request::Request(Connection& connection, std::string strVerb, std::string strPathWithQuery)
    : m_state(std::make_shared<detail::RequestState>(connection.m_state, std::move(strVerb),
                                                     std::move(strPathWithQuery)))
{
    // Opened from a closed connection, or without a transfer: closed from the start.
    if (!m_state->CreateCurl() || !connection.m_state->requests.Add(m_state))
        m_state->Close();
}

Request::~Request()
{
    Close();
}

bool Request::AddHeaders(const std::string& strHeaders)
{
    if (HeaderLines(strHeaders).empty())
        return Fail(ERROR_INVALID_PARAMETER);
    if (!m_state->Enter())
        return false;
    m_state->strAddedHeaders += strHeaders;
    m_state->strAddedHeaders += "\r\n";
    m_state->Leave();
    return true;
}

void Request::SetReceiveTimeout(DWORD dwMilliseconds)
{
    m_state->dwReceiveTimeout = dwMilliseconds;
}

bool Request::Send(const std::string& strExtraHeaders)
{
    detail::RequestState& s = *m_state;
    if (!s.Enter())
        return false;
    DWORD dwError = s.PrepareExchange(strExtraHeaders) ? 0 : ERROR_INTERNET_INTERNAL_ERROR;
    if (dwError == 0)
        dwError = s.Pump([&s] { return s.HeadCame(); });
    if (dwError == 0 && !s.HeadCame())
        dwError = s.Finished() && s.ResultError() != 0 ? s.ResultError()
                                                       : ERROR_HTTP_INVALID_SERVER_RESPONSE;
    s.Leave();
    return dwError == 0 ? true : Fail(dwError);
}

bool Request::QueryStatusCode(DWORD& dwStatus) const
{
    if (m_state->handle.load() == detail::EHandle::eClosed)
        return Fail(ERROR_INVALID_HANDLE);
    if (!m_state->HeadCame())
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    dwStatus = m_state->dwStatus;
    return true;
}

DWORD Request::StatusCode() const
{
    DWORD dwStatus = 0;
    return QueryStatusCode(dwStatus) ? dwStatus : 0;
}

std::string Request::LastResponseText() const
{
    return m_state->HeadCame() ? m_state->strStatusLine : std::string();
}

bool Request::QueryHeader(const std::string& strName, std::string& strValue) const
{
    for (const auto& [name, value] : m_state->answerHeaders)
    {
        if (EqualsNoCase(name, strName))
        {
            strValue = value;
            return true;
        }
    }
    return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
}

bool Request::QueryContentRange(SContentRange& range) const
{
    std::string strValue;
    if (!QueryHeader("Content-Range", strValue))
        return false;
    return ParseContentRange(strValue, range) ? true : Fail(ERROR_HTTP_INVALID_SERVER_RESPONSE);
}

bool Request::QueryContentLength(uint64_t& nLength) const
{
    std::string strValue;
    if (!QueryHeader("Content-Length", strValue))
        return false;
    const std::optional<uint64_t> length = Decimal64(TrimAscii(strValue));
    if (!length)
        return Fail(ERROR_HTTP_INVALID_SERVER_RESPONSE);
    nLength = *length;
    return true;
}

bool Request::QueryRetryAfter(DWORD& dwSeconds) const
{
    std::string strValue;
    if (!QueryHeader("Retry-After", strValue))
        return false;
    const std::string_view value = TrimAscii(strValue);
    if (const std::optional<uint64_t> delta = Decimal64(value))
    {
        dwSeconds = DWORD(std::min<uint64_t>(*delta, 0xFFFFFFFFu));
        return true;
    }
    const time_t date = curl_getdate(std::string(value).c_str(), nullptr);
    if (date < 0)
        return Fail(ERROR_HTTP_INVALID_SERVER_RESPONSE);
    const time_t now = std::time(nullptr);
    dwSeconds = date > now ? DWORD(std::min<uint64_t>(uint64_t(date - now), 0xFFFFFFFFu)) : 0;
    return true;
}

std::string Request::FailureText() const
{
    const detail::RequestState& s = *m_state;
    if (s.bHeadTooLarge)
        return "the answer's head is larger than " + std::to_string(kMaxHeadBytes) + " bytes";
    if (s.exchange != detail::EExchange::eFailed)
        return {};
    const DWORD dwError = s.ResultError();
    if (dwError == ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR)
        return "the redirect to " + s.strRedirectUrl + " is refused: an https address is " +
               "followed to https addresses only";
    if (!IsTrustFailure(dwError))
        return {};
    if (!s.strTrustFileFailure.empty())
        return s.strTrustFileFailure;
    return s.errorBuffer[0] != '\0' ? std::string(s.errorBuffer) : "the TLS handshake failed";
}

bool Request::Read(void* pBuffer, DWORD dwToRead, DWORD* pdwRead)
{
    detail::RequestState& s = *m_state;
    if (pdwRead != nullptr)
        *pdwRead = 0;
    if (pdwRead == nullptr || (pBuffer == nullptr && dwToRead != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!s.Enter())
        return false;
    if (!s.HeadCame())
    {
        s.Leave();
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    }

    // First the bytes that came ahead of this read.
    char* const pOut = static_cast<char*>(pBuffer);
    std::size_t nFilled = s.ahead.Take(pOut, dwToRead);

    DWORD dwError = 0;
    if (nFilled < dwToRead && !s.Finished())
    {
        s.pDest = pOut + nFilled;
        s.nDestLeft = dwToRead - nFilled;
        if (s.exchange == detail::EExchange::ePaused)
        {
            s.exchange = detail::EExchange::eBody;
            curl_easy_pause(s.easy, CURLPAUSE_CONT); // may hand the kept bytes at once
        }
        dwError = s.Pump([&s] { return s.nDestLeft == 0; });
        nFilled = dwToRead - s.nDestLeft;
        s.pDest = nullptr;
        s.nDestLeft = 0;
    }
    // The bytes before an error are the caller's; the error comes with the next read.
    if (dwError == 0 && nFilled == 0 && s.Finished())
        dwError = s.ResultError();
    s.Leave();
    if (dwError != 0)
        return Fail(dwError);
    *pdwRead = DWORD(nFilled);
    return true;
}

void Request::Cancel()
{
    m_state->Cancel();
}

void Request::Close()
{
    m_state->Close();
}
} // namespace platform::http
