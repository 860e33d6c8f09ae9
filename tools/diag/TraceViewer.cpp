#include "TraceViewer.h"

#include "host/TraceBlock.h"
#include "platform/Clock.h"
#include "platform/Format.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{
constexpr int kListenBacklog = 16;

sockaddr_un AddressOf(const std::string& strPath)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (strPath.size() >= sizeof(address.sun_path))
        throw std::runtime_error("trace socket path too long: " + strPath);
    std::memcpy(address.sun_path, strPath.c_str(), strPath.size() + 1);
    return address;
}

// True when some viewer accepts connections on the path.
bool SomeoneListens(const sockaddr_un& address)
{
    const int hProbe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (hProbe < 0)
        return false;
    const bool bListens =
        ::connect(hProbe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(hProbe);
    return bListens;
}

std::string TimeStamp()
{
    const platform::SYSTEMTIME st = platform::LocalSystemTime(std::chrono::system_clock::now());
    return platform::FormatText("%02d:%02d:%02d.%03d", st.wHour, st.wMinute, st.wSecond,
                                st.wMilliseconds);
}

// The block's text: no further than its stated length, its zero, or its capacity.
std::string TextOf(const host::STraceBlock& block)
{
    std::size_t nLength = block.dwTextLength > 0 ? block.dwTextLength - 1 : 0;
    nLength = std::min(nLength, host::kTraceTextCapacity);
    return std::string(block.szText, strnlen(block.szText, nLength));
}
} // namespace

CTraceViewer::CTraceViewer(std::string strSocketPath) : m_strSocketPath(std::move(strSocketPath))
{
    const sockaddr_un address = AddressOf(m_strSocketPath);
    if (SomeoneListens(address))
        throw std::runtime_error("another viewer is listening on " + m_strSocketPath);
    ::unlink(m_strSocketPath.c_str()); // a stale socket of a viewer that died
    m_hListen = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (m_hListen < 0 ||
        ::bind(m_hListen, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(m_hListen, kListenBacklog) != 0 || ::pipe2(m_hWake, O_CLOEXEC | O_NONBLOCK) != 0)
    {
        const std::string strReason = std::strerror(errno);
        if (m_hListen >= 0)
            ::close(m_hListen);
        throw std::runtime_error("cannot listen on " + m_strSocketPath + ": " + strReason);
    }
}

CTraceViewer::~CTraceViewer()
{
    for (const int hClient : m_listClients)
        ::close(hClient);
    ::close(m_hListen);
    ::unlink(m_strSocketPath.c_str());
    ::close(m_hWake[0]);
    ::close(m_hWake[1]);
}

void CTraceViewer::Stop()
{
    const char c = 'q';
    [[maybe_unused]] const ssize_t n = ::write(m_hWake[1], &c, 1);
}

void CTraceViewer::Run()
{
    while (true)
    {
        std::vector<pollfd> fds{{m_hWake[0], POLLIN, 0}, {m_hListen, POLLIN, 0}};
        for (const int hClient : m_listClients)
            fds.push_back({hClient, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0)
        {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;
        if (fds[1].revents & POLLIN)
            Accept();
        for (std::size_t i = 2; i < fds.size(); ++i)
        {
            if (fds[i].revents && !Serve(fds[i].fd))
            {
                ::close(fds[i].fd);
                std::erase(m_listClients, fds[i].fd);
            }
        }
    }
    for (const int hClient : m_listClients)
        ::close(hClient);
    m_listClients.clear();
    ::unlink(m_strSocketPath.c_str());
}

void CTraceViewer::Accept()
{
    const int hClient = ::accept4(m_hListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (hClient >= 0)
        m_listClients.push_back(hClient);
}

// Reads one message and answers it; false when the client has gone.
bool CTraceViewer::Serve(int hClient)
{
    host::STraceMessage message{};
    const ssize_t nRead = ::recv(hClient, &message, sizeof(message), 0);
    if (nRead <= 0)
        return false;
    DWORD dwReply = 1;
    if (static_cast<std::size_t>(nRead) >= sizeof(DWORD) + offsetof(host::STraceBlock, szText))
    {
        const long nChannelId = message.block.nChannelId;
        switch (message.dwKind)
        {
        case host::kTraceKindOpen:
            dwReply = static_cast<DWORD>(m_nNextChannelId);
            m_mapChannelNames[m_nNextChannelId++] = TextOf(message.block);
            break;
        case host::kTraceKindClose:
            m_mapChannelNames.erase(nChannelId);
            break;
        case host::kTraceKindText:
            Print(nChannelId, TextOf(message.block));
            break;
        default:
            break;
        }
    }
    return ::send(hClient, &dwReply, sizeof(dwReply), MSG_NOSIGNAL) == sizeof(dwReply);
}

// One output line per line of the text; a trailing line feed ends the last one.
void CTraceViewer::Print(long nChannelId, const std::string& strText)
{
    const auto it = m_mapChannelNames.find(nChannelId);
    const std::string strChannel =
        it != m_mapChannelNames.end() ? it->second : std::to_string(nChannelId);
    const std::string strStamp = TimeStamp();
    std::size_t nStart = 0;
    do
    {
        std::size_t nEnd = strText.find('\n', nStart);
        if (nEnd == std::string::npos)
            nEnd = strText.size();
        std::string strLine = strText.substr(nStart, nEnd - nStart);
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        for (std::ostream* pOut : m_listOutputs)
            *pOut << strStamp << " [" << strChannel << "] " << strLine << std::endl;
        nStart = nEnd + 1;
    } while (nStart < strText.size());
}
