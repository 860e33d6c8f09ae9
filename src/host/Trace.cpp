#include "host/Trace.h"

#include "host/TraceBlock.h"
#include "platform/Files.h"
#include "platform/Format.h"
#include "platform/Mutex.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <link.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
// The user a viewer must run as; -1 for this process's own.
std::atomic<long long> g_nViewerOwner{-1};

uid_t ViewerOwner()
{
    const long long nOwner = g_nViewerOwner.load();
    return nOwner < 0 ? ::geteuid() : static_cast<uid_t>(nOwner);
}

struct SModuleSearch
{
    ElfW(Addr) address;
    std::string strPath;
    bool bFound = false;
};

int FindModuleOf(dl_phdr_info* pInfo, std::size_t, void* pData)
{
    auto& search = *static_cast<SModuleSearch*>(pData);
    for (ElfW(Half) i = 0; i < pInfo->dlpi_phnum; ++i)
    {
        const ElfW(Phdr)& segment = pInfo->dlpi_phdr[i];
        const ElfW(Addr) start = pInfo->dlpi_addr + segment.p_vaddr;
        if (segment.p_type != PT_LOAD || search.address < start ||
            search.address >= start + segment.p_memsz)
            continue;
        search.bFound = true;
        search.strPath = pInfo->dlpi_name != nullptr ? pInfo->dlpi_name : "";
        return 1;
    }
    return 0;
}

// The absolute path of the program or library that holds this code (the engine library,
// or a tool that links the trace); empty when it is not known as an absolute path. The
// program itself has no name in the loader's list: the kernel's link names it. A library
// loaded by a relative path is not trusted, since what that names depends on the
// current folder.
std::string ModulePath()
{
    SModuleSearch search{reinterpret_cast<ElfW(Addr)>(&FindModuleOf), {}};
    ::dl_iterate_phdr(&FindModuleOf, &search);
    if (!search.bFound)
        return {};
    if (search.strPath.empty())
    {
        char szTarget[4096];
        const ssize_t nLength = ::readlink("/proc/self/exe", szTarget, sizeof(szTarget) - 1);
        if (nLength <= 0)
            return {};
        search.strPath.assign(szTarget, static_cast<std::size_t>(nLength));
    }
    return search.strPath.front() == '/' ? search.strPath : std::string();
}

// A folder the user alone can reach, as the base directory rules require of
// XDG_RUNTIME_DIR; one that is not is not used.
bool IsPrivateFolder(const char* pszFolder)
{
    struct stat info
    {
    };
    return ::stat(pszFolder, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & 077) == 0;
}
} // namespace

namespace host
{
std::string TraceSocketPath()
{
    if (const char* pszSocket = std::getenv("OVDIAG_SOCKET"); pszSocket && *pszSocket)
        return pszSocket;
    if (const char* pszRuntime = std::getenv("XDG_RUNTIME_DIR");
        pszRuntime && *pszRuntime == '/' && IsPrivateFolder(pszRuntime))
        return std::string(pszRuntime) + "/ovdiag.sock";
    const std::string strFolder = "/tmp/ovdiag-" + std::to_string(::geteuid());
    if (!platform::CreatePrivateFolder(strFolder))
        return {};
    return strFolder + "/ovdiag.sock";
}

bool PeerIsUser(int hSocket, uid_t user)
{
    ucred peer{};
    socklen_t nSize = sizeof(peer);
    return ::getsockopt(hSocket, SOL_SOCKET, SO_PEERCRED, &peer, &nSize) == 0 &&
           nSize == sizeof(peer) && peer.uid == user;
}

void SetTraceViewerOwner(std::optional<uid_t> user)
{
    g_nViewerOwner = user ? static_cast<long long>(*user) : -1;
}

std::string TraceViewerProgram()
{
    const std::string strModule = ModulePath();
    const std::size_t nSlash = strModule.rfind('/');
    if (nSlash == std::string::npos)
        return {};
    const std::string strFolder = strModule.substr(0, nSlash);
    // Beside the tools that link the trace, or in the bin folder beside the lib folder
    // that holds the engine library (as installed, and in the build tree).
    for (const std::string& strCandidate : {strFolder + "/ovdiag", strFolder + "/../bin/ovdiag"})
    {
        struct stat info
        {
        };
        if (::stat(strCandidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(strCandidate.c_str(), X_OK) == 0)
            return strCandidate;
    }
    return {};
}
} // namespace host

namespace
{
// How long a send waits for the viewer's reply before the viewer counts as gone.
constexpr int kReplyTimeoutMs = 3000;
// How long FindViewer waits for a viewer it started to listen.
constexpr int kViewerStartWaitMs = 500;

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

enum class EConnect
{
    eConnected,
    eNobodyListens, // no socket, or a stale one: a viewer may be started
    eRefused        // someone else's socket, or one that cannot be used: start nothing
};

// Connects to the viewer's socket; hSocket is the connection when eConnected. A socket
// whose listener runs as another user is left at once: the trace quotes the user
// identifier and signed addresses.
EConnect ConnectToViewer(const std::string& strPath, int& hSocket)
{
    hSocket = -1;
    sockaddr_un address{};
    if (strPath.empty() || strPath.size() >= sizeof(address.sun_path))
        return EConnect::eRefused;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, strPath.c_str(), strPath.size() + 1);
    const int hConnection = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (hConnection < 0)
        return EConnect::eRefused;
    if (::connect(hConnection, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
    {
        const bool bNobody = errno == ENOENT || errno == ECONNREFUSED;
        ::close(hConnection);
        return bNobody ? EConnect::eNobodyListens : EConnect::eRefused;
    }
    if (!host::PeerIsUser(hConnection, ViewerOwner()))
    {
        ::close(hConnection);
        return EConnect::eRefused;
    }
    hSocket = hConnection;
    return EConnect::eConnected;
}

// The viewer is started only when the environment does not forbid it.
bool MayStartViewer()
{
    const char* pszNoStart = std::getenv("OVDIAG_NOSTART");
    return pszNoStart == nullptr || *pszNoStart == '\0' || std::strcmp(pszNoStart, "0") == 0;
}

// Starts the viewer detached from this process (it outlives the engine and is never
// left as a zombie), with the write end of a pipe on which it says when it listens. The
// read end of that pipe; -1 when the start failed.
int StartViewer(const std::string& strProgram, const std::string& strSocket)
{
    int hReady[2] = {-1, -1};
    if (::pipe2(hReady, O_CLOEXEC) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child < 0)
    {
        ::close(hReady[0]);
        ::close(hReady[1]);
        return -1;
    }
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
        // Descriptor 3 is the ready pipe, kept open across exec (dup2 onto itself would
        // keep the close-on-exec flag, so that case clears it).
        if (hReady[1] == 3 ? ::fcntl(3, F_SETFD, 0) != 0 : ::dup2(hReady[1], 3) != 3)
            ::_exit(127);
        const char* argv[] = {strProgram.c_str(), "--socket", strSocket.c_str(),
                              "--ready-fd",       "3",        nullptr};
        ::execv(strProgram.c_str(), const_cast<char* const*>(argv));
        ::_exit(127);
    }
    ::close(hReady[1]);
    int nStatus = 0;
    while (::waitpid(child, &nStatus, 0) < 0 && errno == EINTR)
    {
    }
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0)
    {
        ::close(hReady[0]);
        return -1;
    }
    return hReady[0];
}

// Waits, at most the start limit, until the viewer says it listens or its end of the
// pipe closes (it failed, or ended).
void WaitUntilListening(int hReady)
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kViewerStartWaitMs);
    while (true)
    {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0)
            return;
        pollfd wait{hReady, POLLIN, 0};
        const int nReady = ::poll(&wait, 1, static_cast<int>(remaining.count()));
        if (nReady < 0 && errno == EINTR)
            continue;
        return;
    }
}

int LaunchAndConnect(const std::string& strSocket)
{
    if (!MayStartViewer())
        return -1;
    const std::string strProgram = host::TraceViewerProgram();
    if (strProgram.empty())
        return -1;
    const int hReady = StartViewer(strProgram, strSocket);
    if (hReady < 0)
        return -1;
    WaitUntilListening(hReady);
    ::close(hReady);
    int hViewer = -1;
    ConnectToViewer(strSocket, hViewer);
    return hViewer;
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
    const std::string strSocket = host::TraceSocketPath();
    if (ConnectToViewer(strSocket, state.m_hViewer) == EConnect::eNobodyListens)
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
