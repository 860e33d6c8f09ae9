#include "TraceMessageReader.h"

#include "host/TraceBlock.h"
#include "platform/Clock.h"
#include "platform/Format.h"
#include "platform/QueryMask.h"
#include "platform/TerminalText.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace
{
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

DWORD CTraceMessageReader::Read(const void* pMessage, std::size_t nSize)
{
    if (nSize < sizeof(DWORD) + offsetof(host::STraceBlock, szText))
        return 1;
    // Bytes the message lacks read as zero; bytes beyond a message are not part of it.
    host::STraceMessage message{};
    std::memcpy(&message, pMessage, std::min(nSize, sizeof(message)));
    const long nChannelId = message.block.nChannelId;
    switch (message.dwKind)
    {
    case host::kTraceKindOpen:
    {
        if (m_mapChannelNames.size() >= kMaxChannels)
            m_mapChannelNames.erase(m_mapChannelNames.begin());
        const long nId = m_nNextChannelId;
        // Ids stay positive numbers that the block's 32-bit channel field can carry.
        m_nNextChannelId = m_nNextChannelId < 0x7FFFFFFF ? m_nNextChannelId + 1 : 1;
        m_mapChannelNames[nId] = TextOf(message.block);
        return static_cast<DWORD>(nId);
    }
    case host::kTraceKindClose:
        m_mapChannelNames.erase(nChannelId);
        return 1;
    case host::kTraceKindText:
        Print(nChannelId, TextOf(message.block));
        return 1;
    default:
        return 1;
    }
}

// One output line per line of the text; a trailing line feed ends the last one.
void CTraceMessageReader::Print(long nChannelId, const std::string& strText)
{
    const auto it = m_mapChannelNames.find(nChannelId);
    const std::string strChannel = platform::TerminalSafe(
        it != m_mapChannelNames.end() ? it->second : std::to_string(nChannelId));
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
        // Lines quote servers' text: printed clean for a terminal, and without the user
        // identifier in the addresses, since they may go to a file.
        strLine = platform::TerminalSafe(platform::MaskQueryFields(strLine));
        for (std::ostream* pOut : m_listOutputs)
            *pOut << strStamp << " [" << strChannel << "] " << strLine << std::endl;
        nStart = nEnd + 1;
    } while (nStart < strText.size());
}
