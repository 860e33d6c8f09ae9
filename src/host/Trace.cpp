#include "host/Trace.h"

#include "host/TraceBlock.h"
#include "platform/Format.h"
#include "platform/Mutex.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace host
{
std::string TraceSocketPath()
{
    if (const char* pszSocket = std::getenv("OVDIAG_SOCKET"); pszSocket && *pszSocket)
        return pszSocket;
    if (const char* pszRuntime = std::getenv("XDG_RUNTIME_DIR"); pszRuntime && *pszRuntime)
        return std::string(pszRuntime) + "/ovdiag.sock";
    return "/tmp/ovdiag-" + std::to_string(::getuid()) + ".sock";
}
} // namespace host

namespace
{
// How long a send waits for the viewer's reply before the viewer counts as gone.
constexpr int kReplyTimeoutMs = 3000;
// How long FindViewer waits for the socket of a viewer it started.
constexpr auto kViewerStartWait = std::chrono::milliseconds(500);
constexpr auto kViewerStartPoll = std::chrono::milliseconds(10);

// The process-wide trace state; every member is used under m_lock only.
struct STraceState
{
    platform::Mutex m_lock;
    int m_hViewer OVR_GUARDED_BY(m_lock) = -1; // connected socket, -1 when no viewer is known
    host::STraceBlock m_block OVR_GUARDED_BY(m_lock){};
    LONG m_nChannelId OVR_GUARDED_BY(m_lock) = -1;
    DWORD m_dwLastReply OVR_GUARDED_BY(m_lock) = 0;
};

STraceState& State()
{
    static STraceState s_state;
    return s_state;
}

int ConnectToViewer(const std::string& strPath)
{
    sockaddr_un address{};
    if (strPath.size() >= sizeof(address.sun_path))
        return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, strPath.c_str(), strPath.size() + 1);
    int hSocket = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (hSocket < 0)
        return -1;
    if (::connect(hSocket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
    {
        ::close(hSocket);
        return -1;
    }
    return hSocket;
}

// The full path of an executable named name on the PATH, empty when there is none.
std::string FindOnPath(const char* pszName)
{
    const char* pszPath = std::getenv("PATH");
    if (!pszPath)
        return {};
    std::string strPath = pszPath;
    std::size_t nStart = 0;
    while (nStart <= strPath.size())
    {
        std::size_t nEnd = strPath.find(':', nStart);
        if (nEnd == std::string::npos)
            nEnd = strPath.size();
        // An empty entry means the current folder.
        std::string strCandidate =
            nEnd > nStart ? strPath.substr(nStart, nEnd - nStart) : std::string(".");
        strCandidate.append(1, '/').append(pszName);
        struct stat info
        {
        };
        if (::stat(strCandidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(strCandidate.c_str(), X_OK) == 0)
            return strCandidate;
        nStart = nEnd + 1;
    }
    return {};
}

// Starts the viewer detached from this process (it outlives the engine and is never
// left as a zombie). False when the start failed.
bool StartViewer(const std::string& strProgram, const std::string& strSocket)
{
    pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0)
    {
        // Only async-signal-safe calls between fork and exec. The viewer starts with no
        // signal blocked and SIGPIPE at its default, whatever the host set for its own
        // threads (a host that takes SIGTERM with sigwait blocks it in every thread).
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::setsid();
        if (::fork() != 0)
            ::_exit(0);
        int hNull = ::open("/dev/null", O_RDWR);
        if (hNull >= 0)
        {
            ::dup2(hNull, 0);
            ::dup2(hNull, 1);
            ::dup2(hNull, 2);
        }
        const char* argv[] = {strProgram.c_str(), "--socket", strSocket.c_str(), nullptr};
        ::execv(strProgram.c_str(), const_cast<char* const*>(argv));
        ::_exit(127);
    }
    int nStatus = 0;
    while (::waitpid(child, &nStatus, 0) < 0 && errno == EINTR)
    {
    }
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

int LaunchAndConnect(const std::string& strSocket)
{
    std::string strProgram = FindOnPath("ovdiag");
    if (strProgram.empty() || !StartViewer(strProgram, strSocket))
        return -1;
    auto deadline = std::chrono::steady_clock::now() + kViewerStartWait;
    while (true)
    {
        int hViewer = ConnectToViewer(strSocket);
        if (hViewer >= 0 || std::chrono::steady_clock::now() >= deadline)
            return hViewer;
        std::this_thread::sleep_for(kViewerStartPoll);
    }
}

void DropViewer(STraceState& state) OVR_REQUIRES(state.m_lock)
{
    if (state.m_hViewer >= 0)
        ::close(state.m_hViewer);
    state.m_hViewer = -1;
}

int FindViewerLocked(STraceState& state) OVR_REQUIRES(state.m_lock)
{
    state.m_block.dwBlockSize = host::kTraceBlockSize;
    if (state.m_hViewer >= 0)
        return 0;
    std::string strSocket = host::TraceSocketPath();
    state.m_hViewer = ConnectToViewer(strSocket);
    if (state.m_hViewer < 0)
        state.m_hViewer = LaunchAndConnect(strSocket);
    return state.m_hViewer >= 0 ? 0 : -1;
}

bool SendMessageTo(int hViewer, DWORD dwKind, const host::STraceBlock& block)
{
    host::STraceMessage message;
    message.dwKind = dwKind;
    message.block = block;
    ssize_t nSent;
    do
        nSent = ::send(hViewer, &message, sizeof(message), MSG_NOSIGNAL);
    while (nSent < 0 && errno == EINTR);
    return nSent == static_cast<ssize_t>(sizeof(message));
}

// Waits for the 4-byte reply; nothing when the viewer went away or did not answer.
std::optional<DWORD> ReceiveReply(int hViewer)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    while (true)
    {
        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0)
            return std::nullopt;
        pollfd wait{hViewer, POLLIN, 0};
        int nReady = ::poll(&wait, 1, static_cast<int>(remaining.count()));
        if (nReady < 0 && errno == EINTR)
            continue;
        if (nReady <= 0)
            return std::nullopt;
        DWORD dwReply = 0;
        ssize_t nRead = ::recv(hViewer, &dwReply, sizeof(dwReply), 0);
        if (nRead < 0 && errno == EINTR)
            continue;
        if (nRead != static_cast<ssize_t>(sizeof(dwReply)))
            return std::nullopt;
        return dwReply;
    }
}

// Sends the block as a message of the given kind and returns the viewer's reply.
// A viewer whose connection broke is looked for once more; one that does not answer
// is dropped.
DWORD SendLocked(STraceState& state, DWORD dwKind) OVR_REQUIRES(state.m_lock)
{
    if (state.m_hViewer < 0)
        return 0;
    state.m_block.dwBlockSize = host::kTraceBlockSize;
    if (!SendMessageTo(state.m_hViewer, dwKind, state.m_block))
    {
        DropViewer(state);
        if (FindViewerLocked(state) != 0 || !SendMessageTo(state.m_hViewer, dwKind, state.m_block))
        {
            DropViewer(state);
            return 0;
        }
    }
    std::optional<DWORD> reply = ReceiveReply(state.m_hViewer);
    if (!reply)
    {
        DropViewer(state);
        return 0;
    }
    state.m_dwLastReply = *reply;
    return *reply;
}

// Copies text into the block, cut to what the block holds; the bytes after the
// terminator keep what earlier messages left there.
std::size_t CopyText(STraceState& state, const char* pszText) OVR_REQUIRES(state.m_lock)
{
    std::size_t nLength = pszText ? ::strnlen(pszText, host::kTraceTextMaxChars) : 0;
    if (nLength)
        std::memcpy(state.m_block.szText, pszText, nLength);
    state.m_block.szText[nLength] = '\0';
    return nLength;
}
} // namespace

int FindViewer()
{
    STraceState& state = State();
    platform::MutexLock lock(state.m_lock);
    return FindViewerLocked(state);
}

DWORD TraceText(const char* pszText)
{
    STraceState& state = State();
    platform::MutexLock lock(state.m_lock);
    if (state.m_hViewer < 0)
        return 0;
    std::size_t nLength = CopyText(state, pszText);
    state.m_block.dwTextLength = static_cast<DWORD>(nLength + 1);
    return SendLocked(state, host::kTraceKindText);
}

DWORD Trace(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    std::string strText = platform::FormatTextV(pszFormat, args);
    va_end(args);
    return TraceText(strText.c_str());
}

DWORD OpenTraceChannel(const char* pszName, DWORD dwParameter, BYTE bFlag, DWORD dwMask)
{
    STraceState& state = State();
    platform::MutexLock lock(state.m_lock);
    std::size_t nLength = CopyText(state, pszName);
    state.m_block.dwTextLength = static_cast<DWORD>(nLength + 1);
    state.m_block.dwOpenParameter = dwParameter;
    state.m_block.bOpenFlag = bFlag;
    state.m_block.dwOpenMask = dwMask;
    DWORD dwReply = SendLocked(state, host::kTraceKindOpen);
    if (state.m_hViewer >= 0)
    {
        state.m_nChannelId = static_cast<LONG>(dwReply);
        state.m_block.nChannelId = state.m_nChannelId;
    }
    return dwReply;
}

void CloseTraceChannel()
{
    STraceState& state = State();
    platform::MutexLock lock(state.m_lock);
    if (state.m_nChannelId == -1)
        return;
    state.m_block.nChannelId = state.m_nChannelId;
    SendLocked(state, host::kTraceKindClose);
    state.m_nChannelId = -1;
}

namespace host
{
void ForgetTraceViewer()
{
    STraceState& state = State();
    platform::MutexLock lock(state.m_lock);
    DropViewer(state);
    state.m_nChannelId = -1;
    state.m_block = STraceBlock{};
}

LONG TraceChannelId()
{
    STraceState& state = State();
    platform::MutexLock lock(state.m_lock);
    return state.m_nChannelId;
}
} // namespace host
