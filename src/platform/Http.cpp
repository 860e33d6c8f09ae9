#include "platform/Http.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <curl/curl.h>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::http
{
namespace
{
thread_local DWORD t_dwLastError = 0;

// Read buffer of curl per transfer: larger chunks mean fewer callbacks and pauses.
constexpr long kCurlBufferSize = 256 * 1024;
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

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y)
                      {
                          auto lower = [](char c)
                          { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; };
                          return lower(x) == lower(y);
                      });
}

std::string_view TrimLine(std::string_view line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    return line;
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
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
        std::string_view line = TrimLine(std::string_view(strHeaders).substr(start, end - start));
        if (!line.empty())
            lines.emplace_back(line);
        start = end + 1;
    }
    return lines;
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

void SetLastError(DWORD dwError)
{
    t_dwLastError = dwError;
}

namespace detail
{
struct SessionState
{
    explicit SessionState(std::string agent) : strAgent(std::move(agent)) {}

    const std::string strAgent;
    std::mutex mutex;
    bool bClosed = false;                                    // under mutex
    std::vector<std::weak_ptr<ConnectionState>> connections; // under mutex
};

struct ConnectionState
{
    ConnectionState(std::shared_ptr<SessionState> s, std::string host, WORD port)
        : session(std::move(s)), strHost(std::move(host)), nPort(port)
    {
    }

    const std::shared_ptr<SessionState> session;
    const std::string strHost;
    const WORD nPort;
    std::atomic<DWORD> dwReceiveTimeout{kDefaultReceiveTimeoutMs};
    std::mutex mutex;
    bool bClosed = false;                              // under mutex
    std::vector<std::weak_ptr<RequestState>> requests; // under mutex
};

// One request's transfer. The curl handles live until the handle is closed and no thread
// is inside (mutex guards bClosed, nInside and the handles' lifetime); the exchange
// fields are touched only by the one thread inside Send/Read (and by curl's callbacks,
// which run in that thread).
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
    bool Enter();
    void Leave();
    void Cancel();
    void Close();

    bool PrepareExchange(const std::string& strExtraHeaders);
    template <typename Done>
    DWORD Pump(Done done);
    DWORD ResultError() const;
    static size_t OnHeader(char* p, size_t size, size_t n, void* user);
    static size_t OnBody(char* p, size_t size, size_t n, void* user);

    const std::shared_ptr<ConnectionState> connection;
    const std::string strVerb;
    const std::string strPath;
    std::atomic<DWORD> dwReceiveTimeout;
    std::atomic<bool> bCancelled{false};

    std::mutex mutex;
    bool bClosed = false;
    int nInside = 0;
    CURLM* multi = nullptr;
    CURL* easy = nullptr;

    // Exchange state, only in the thread inside.
    std::string strAddedHeaders;
    curl_slist* headerList = nullptr;
    bool bAttached = false;
    bool bHeadDone = false;
    bool bFinished = false;
    bool bPaused = false;
    bool bProgress = false;
    CURLcode result = CURLE_OK;
    std::string strStatusLine;
    DWORD dwStatus = 0;
    bool bHaveAnswer = false;
    std::vector<std::pair<std::string, std::string>> answerHeaders;
    char* pDest = nullptr;
    std::size_t nDestLeft = 0;
    std::vector<char> pending; // the tail of a chunk that did not fit the caller's buffer
    std::size_t nPendingPos = 0;
    char errorBuffer[CURL_ERROR_SIZE] = {};
};

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
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http");
    curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, connection->session->strAgent.c_str());

    std::string strHost = connection->strHost;
    if (strHost.find(':') != std::string::npos && strHost.front() != '[')
        strHost = "[" + strHost + "]";
    const std::string strUrl =
        "http://" + strHost + ":" + std::to_string(connection->nPort) + strPath;
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

void RequestState::FreeCurl()
{
    if (multi != nullptr && easy != nullptr && bAttached)
        curl_multi_remove_handle(multi, easy);
    bAttached = false;
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
    std::lock_guard lock(mutex);
    if (bClosed)
        return Fail(ERROR_INVALID_HANDLE);
    if (bCancelled)
        return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    if (easy == nullptr)
        return Fail(ERROR_INTERNET_INTERNAL_ERROR);
    ++nInside;
    return true;
}

void RequestState::Leave()
{
    std::lock_guard lock(mutex);
    if (--nInside == 0 && bClosed)
        FreeCurl();
}

void RequestState::Cancel()
{
    bCancelled = true;
    std::lock_guard lock(mutex);
    if (multi != nullptr)
        curl_multi_wakeup(multi);
}

void RequestState::Close()
{
    Cancel();
    std::lock_guard lock(mutex);
    bClosed = true;
    if (nInside == 0)
        FreeCurl();
}

// Starts a new exchange: the previous one (if any) is dropped, its answer forgotten.
bool RequestState::PrepareExchange(const std::string& strExtraHeaders)
{
    if (bAttached)
        curl_multi_remove_handle(multi, easy);
    bAttached = false;
    bHeadDone = bFinished = bPaused = bProgress = bHaveAnswer = false;
    result = CURLE_OK;
    strStatusLine.clear();
    dwStatus = 0;
    answerHeaders.clear();
    pDest = nullptr;
    nDestLeft = 0;
    pending.clear();
    nPendingPos = 0;
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
    bAttached = true;
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
        if (bCancelled)
            return ERROR_INTERNET_OPERATION_CANCELLED;
        int nRunning = 0;
        if (curl_multi_perform(multi, &nRunning) != CURLM_OK)
            return ERROR_INTERNET_INTERNAL_ERROR;
        int nQueued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &nQueued))
        {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy)
            {
                bFinished = true;
                result = msg->data.result;
            }
        }
        const auto now = Clock::now();
        if (bProgress)
        {
            lastProgress = now;
            bProgress = false;
        }
        if (done() || bFinished)
            return 0;
        if (bCancelled)
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
    case CURLE_UNSUPPORTED_PROTOCOL:
        return ERROR_INTERNET_INVALID_URL;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_TOO_MANY_REDIRECTS:
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
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

size_t RequestState::OnHeader(char* p, size_t size, size_t n, void* user)
{
    auto& s = *static_cast<RequestState*>(user);
    const size_t total = size * n;
    const std::string_view line = TrimLine(std::string_view(p, total));
    s.bProgress = true;
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
        // An interim answer, or one that curl follows to another address, is not the
        // answer the caller waits for.
        if (dwStatus >= 200 && redirect == nullptr)
        {
            s.dwStatus = dwStatus;
            s.bHaveAnswer = true;
            s.bHeadDone = true;
        }
    }
    else
    {
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos)
            s.answerHeaders.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    }
    return total;
}

size_t RequestState::OnBody(char* p, size_t size, size_t n, void* user)
{
    auto& s = *static_cast<RequestState*>(user);
    const size_t total = size * n;
    s.bProgress = true;
    if (s.nDestLeft == 0)
    {
        // The caller's buffer is full: curl keeps this chunk and hands it again on resume.
        s.bPaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    const size_t take = std::min(total, s.nDestLeft);
    std::memcpy(s.pDest, p, take);
    s.pDest += take;
    s.nDestLeft -= take;
    if (take < total)
    {
        s.pending.assign(p + take, p + total);
        s.nPendingPos = 0;
    }
    return total;
}
} // namespace detail

// ---- Session

Session::Session(std::string strAgent)
    : m_state(std::make_shared<detail::SessionState>(std::move(strAgent)))
{
}

Session::~Session()
{
    Close();
}

void Session::Close()
{
    std::vector<std::weak_ptr<detail::ConnectionState>> connections;
    {
        std::lock_guard lock(m_state->mutex);
        m_state->bClosed = true;
        connections.swap(m_state->connections);
    }
    for (auto& weak : connections)
    {
        if (auto connection = weak.lock())
        {
            std::vector<std::weak_ptr<detail::RequestState>> requests;
            {
                std::lock_guard lock(connection->mutex);
                connection->bClosed = true;
                requests.swap(connection->requests);
            }
            for (auto& request : requests)
                if (auto r = request.lock())
                    r->Close();
        }
    }
}

// ---- Connection

namespace
{
template <typename T>
void Register(std::vector<std::weak_ptr<T>>& list, const std::shared_ptr<T>& item)
{
    std::erase_if(list, [](const std::weak_ptr<T>& w) { return w.expired(); });
    list.push_back(item);
}
} // namespace

Connection::Connection(Session& session, std::string strHost, WORD nPort)
    : m_state(std::make_shared<detail::ConnectionState>(session.m_state, std::move(strHost), nPort))
{
    std::lock_guard lock(session.m_state->mutex);
    if (session.m_state->bClosed)
        m_state->bClosed = true;
    else
        Register(session.m_state->connections, m_state);
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
    std::vector<std::weak_ptr<detail::RequestState>> requests;
    {
        std::lock_guard lock(m_state->mutex);
        m_state->bClosed = true;
        requests.swap(m_state->requests);
    }
    for (auto& request : requests)
        if (auto r = request.lock())
            r->Close();
}

// ---- Request

Request::Request(Connection& connection, std::string strVerb, std::string strPathWithQuery)
    : m_state(std::make_shared<detail::RequestState>(connection.m_state, std::move(strVerb),
                                                     std::move(strPathWithQuery)))
{
    const bool bCreated = m_state->CreateCurl();
    std::lock_guard lock(connection.m_state->mutex);
    if (connection.m_state->bClosed || !bCreated)
        m_state->bClosed = true;
    else
        Register(connection.m_state->requests, m_state);
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
        dwError = s.Pump([&s] { return s.bHeadDone; });
    if (dwError == 0 && !s.bHeadDone)
        dwError = s.bFinished && s.ResultError() != 0 ? s.ResultError()
                                                      : ERROR_HTTP_INVALID_SERVER_RESPONSE;
    s.Leave();
    return dwError == 0 ? true : Fail(dwError);
}

bool Request::QueryStatusCode(DWORD& dwStatus) const
{
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->bClosed)
            return Fail(ERROR_INVALID_HANDLE);
    }
    if (!m_state->bHaveAnswer)
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
    return m_state->bHaveAnswer ? m_state->strStatusLine : std::string();
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

bool Request::Read(void* pBuffer, DWORD dwToRead, DWORD* pdwRead)
{
    detail::RequestState& s = *m_state;
    if (pdwRead != nullptr)
        *pdwRead = 0;
    if (pdwRead == nullptr || (pBuffer == nullptr && dwToRead != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!s.Enter())
        return false;
    if (!s.bAttached || !s.bHeadDone)
    {
        s.Leave();
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    }

    // First what is left of a chunk that did not fit the last buffer.
    char* const pOut = static_cast<char*>(pBuffer);
    std::size_t nFilled = std::min<std::size_t>(dwToRead, s.pending.size() - s.nPendingPos);
    if (nFilled != 0)
    {
        std::memcpy(pOut, s.pending.data() + s.nPendingPos, nFilled);
        s.nPendingPos += nFilled;
        if (s.nPendingPos == s.pending.size())
        {
            s.pending.clear();
            s.nPendingPos = 0;
        }
    }

    DWORD dwError = 0;
    if (nFilled < dwToRead && !s.bFinished)
    {
        s.pDest = pOut + nFilled;
        s.nDestLeft = dwToRead - nFilled;
        if (s.bPaused)
        {
            s.bPaused = false;
            curl_easy_pause(s.easy, CURLPAUSE_CONT); // may hand the kept chunk at once
        }
        dwError = s.Pump([&s] { return s.nDestLeft == 0; });
        nFilled = dwToRead - s.nDestLeft;
        s.pDest = nullptr;
        s.nDestLeft = 0;
    }
    // The bytes before an error are the caller's; the error comes with the next read.
    if (dwError == 0 && nFilled == 0 && s.bFinished)
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
