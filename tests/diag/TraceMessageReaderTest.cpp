// The trace viewer's reading of its clients' messages, fed directly: channels, lines,
// malformed messages and a client that opens channels without end.
#include "TraceMessageReader.h"

#include "host/TraceBlock.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

namespace
{
host::STraceMessage Message(DWORD dwKind, LONG nChannelId, const std::string& strText)
{
    host::STraceMessage message{};
    message.dwKind = dwKind;
    message.block.dwBlockSize = host::kTraceBlockSize;
    message.block.nChannelId = nChannelId;
    const std::size_t nCopy = std::min(strText.size(), host::kTraceTextMaxChars);
    std::memcpy(message.block.szText, strText.data(), nCopy);
    message.block.dwTextLength = DWORD(nCopy + 1);
    return message;
}

// The lines written, without their time stamps.
std::string WithoutStamps(const std::string& strOut)
{
    std::istringstream in(strOut);
    std::string strResult;
    for (std::string strLine; std::getline(in, strLine);)
        strResult += strLine.substr(strLine.find(' ') + 1) + "\n";
    return strResult;
}
} // namespace

TEST(TraceMessageReader, NamesChannelsAndWritesEachLineOfAText)
{
    CTraceMessageReader reader;
    std::ostringstream out;
    reader.AddOutput(out);
    auto open = Message(host::kTraceKindOpen, 0, "OVRadioEngine");
    const DWORD dwId = reader.Read(&open, sizeof open);
    EXPECT_EQ(1u, dwId);
    // Server text quoted in a line reaches the terminal and the file clean, and the
    // addresses in it without the user.
    auto quoted = Message(host::kTraceKindText, LONG(dwId),
                          "name \x1b]0;title\x07 at http://h/s?OVUID=7C1D-22&USR_INFO=me&LOG=AB");
    EXPECT_EQ(1u, reader.Read(&quoted, sizeof quoted));
    auto text = Message(host::kTraceKindText, LONG(dwId), "first\r\nsecond\n");
    EXPECT_EQ(1u, reader.Read(&text, sizeof text));
    auto close = Message(host::kTraceKindClose, LONG(dwId), "");
    EXPECT_EQ(1u, reader.Read(&close, sizeof close));
    EXPECT_EQ(1u, reader.Read(&text, sizeof text)); // a closed channel shows its number
    EXPECT_EQ(WithoutStamps(out.str()),
              "[OVRadioEngine] name ?]0;title? at http://h/s?OVUID=***&USR_INFO=***&LOG=AB\n"
              "[OVRadioEngine] first\n[OVRadioEngine] second\n[1] first\n[1] second\n");

    // Too short to hold the block's fields: answered, nothing written. A message cut
    // inside its text, or with a length beyond the block, is read up to what it holds.
    out.str("");
    EXPECT_EQ(1u, reader.Read(&text, 39));
    EXPECT_EQ(1u, reader.Read("", 0));
    EXPECT_EQ(out.str(), "");
    text.block.dwTextLength = 0xFFFFFFFF;
    EXPECT_EQ(1u, reader.Read(&text, 4 + 36 + 3));
    EXPECT_EQ(WithoutStamps(out.str()), "[1] fir\n");
}

TEST(TraceMessageReader, KeepsABoundedNumberOfChannelNames)
{
    CTraceMessageReader reader;
    std::ostringstream out;
    reader.AddOutput(out);
    DWORD dwLast = 0;
    for (std::size_t i = 0; i < 3 * CTraceMessageReader::kMaxChannels; ++i)
    {
        auto open = Message(host::kTraceKindOpen, 0, "channel " + std::to_string(i));
        const DWORD dwId = reader.Read(&open, sizeof open);
        EXPECT_GT(dwId, dwLast); // every open gets a new id
        dwLast = dwId;
    }
    EXPECT_EQ(CTraceMessageReader::kMaxChannels, reader.ChannelCount());
    // The newest keep their names; the first was forgotten.
    auto text = Message(host::kTraceKindText, LONG(dwLast), "x");
    reader.Read(&text, sizeof text);
    text.block.nChannelId = 1;
    reader.Read(&text, sizeof text);
    EXPECT_EQ(WithoutStamps(out.str()),
              "[channel " + std::to_string(3 * CTraceMessageReader::kMaxChannels - 1) +
                  "] x\n[1] x\n");
}
