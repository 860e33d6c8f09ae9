// The trace viewer's reading of the messages its clients send: a 4-byte kind, then the
// trace block. An open message names a channel and is answered with its new id, a close
// message forgets the channel, a text message is written as "HH:MM:SS.mmm [channel] text"
// to every output, one output line per line of the text, flushed per line. The text and
// the channel name come out safe for a terminal (control characters as '?'), and the
// values of OVUID and USR_INFO in addresses as "***". Messages are
// read as any bytes of any length: a short or malformed one is answered with 1 and
// otherwise ignored. Used by the viewer's one thread.
#pragma once

#include "platform/Types.h"

#include <cstddef>
#include <map>
#include <ostream>
#include <string>
#include <vector>

class CTraceMessageReader
{
public:
    // Channel names kept at most: when clients open more without closing them, the
    // lowest-numbered is forgotten (its lines then show the channel's number), so the
    // viewer's memory stays bounded whatever its clients send.
    static constexpr std::size_t kMaxChannels = 1024;

    void AddOutput(std::ostream& out) { m_listOutputs.push_back(&out); }

    // Reads one message of nSize bytes; returns the reply to send.
    DWORD Read(const void* pMessage, std::size_t nSize);

    std::size_t ChannelCount() const { return m_mapChannelNames.size(); }

private:
    void Print(long nChannelId, const std::string& strText);

    std::map<long, std::string> m_mapChannelNames;
    long m_nNextChannelId = 1;
    std::vector<std::ostream*> m_listOutputs;
};
