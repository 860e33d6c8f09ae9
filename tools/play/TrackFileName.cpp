#include "TrackFileName.h"

#include "platform/AsciiText.h"

#include <cstdio>

namespace
{
// 255 bytes, the most a file name may have, less the room of the name it is written under
// first (".NAME.part").
constexpr std::size_t kMaxNameBytes = 249;

bool CannotStand(unsigned char c)
{
    return c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' ||
           c == '"' || c == '<' || c == '>' || c == '|';
}

std::string Cleaned(std::string_view text)
{
    std::string out;
    for (const char ch : text)
        out += CannotStand(static_cast<unsigned char>(ch)) ? '_' : ch;
    return out;
}

// The extension: letters and digits of the format in lower case; "bin" when none.
std::string Extension(std::string_view format)
{
    std::string out;
    for (const char ch : format)
        if ((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z'))
            out += platform::AsciiLower(ch);
    if (out.empty() || out.size() > 8)
        return "bin";
    return out;
}

// At most nBytes of the text, not ending inside a UTF-8 sequence.
std::string CutAtCharacter(const std::string& text, std::size_t nBytes)
{
    if (text.size() <= nBytes)
        return text;
    std::size_t nEnd = nBytes;
    while (nEnd > 0 && (static_cast<unsigned char>(text[nEnd]) & 0xC0) == 0x80)
        --nEnd;
    return text.substr(0, nEnd);
}
} // namespace

std::string TrackFileName(uint32_t nIndex, std::string_view artist, std::string_view title,
                          std::string_view format)
{
    char number[16];
    std::snprintf(number, sizeof(number), "%02u", nIndex);
    const std::string strHead = std::string(number) + " - ";
    // Appended rather than "." + Extension(): GCC 12 at -O3 reports a false overlap in
    // the operator+ of a literal and a temporary string.
    std::string strTail(1, '.');
    strTail += Extension(format);
    std::string strArtist = Cleaned(artist);
    std::string strTitle = Cleaned(title);
    const std::size_t nRoom = kMaxNameBytes - strHead.size() - strTail.size() - 3;
    if (strArtist.size() + strTitle.size() > nRoom)
    {
        // Each keeps at least half of the room; the shorter one lends the other the rest.
        const std::size_t nHalf = nRoom / 2;
        if (strArtist.size() <= nHalf)
            strTitle = CutAtCharacter(strTitle, nRoom - strArtist.size());
        else if (strTitle.size() <= nHalf)
            strArtist = CutAtCharacter(strArtist, nRoom - strTitle.size());
        else
        {
            strArtist = CutAtCharacter(strArtist, nHalf);
            strTitle = CutAtCharacter(strTitle, nRoom - strArtist.size());
        }
    }
    return strHead + strArtist + " - " + strTitle + strTail;
}
