#include "sequence/TrackInfo.h"

#include "host/Trace.h"
#include "platform/AsciiText.h"
#include "sequence/ExtM3uBoolFieldType.h"
#include "sequence/ExtM3uNonZeroLongFieldType.h"
#include "sequence/ExtM3uUrlFieldType.h"

#include <cstring>
#include <string_view>

namespace
{
int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Up to two characters read as hexadecimal, stopping at the first that is not a digit.
char DecodeEscape(std::string_view digits)
{
    int value = 0;
    for (const char c : digits)
    {
        const int digit = HexValue(c);
        if (digit < 0)
            break;
        value = value * 16 + digit;
    }
    return static_cast<char>(value);
}

// A token error: the parse stops at this step.
struct TokenError
{
    const char* key;
};

// Parses the line's fields in their fixed order; throws TokenError at a required field
// that is missing or invalid.
class TrackLineParser
{
public:
    TrackLineParser(const char* line, STrackInfo& rec)
        : m_strings(line), m_urls(line), m_longs(line), m_nonZero(line), m_bools(line), m_rec(rec)
    {
    }

    void Parse();

private:
    std::string String(const char* key, bool decoded);
    std::string Url(const char* key);
    bool Long(CExtM3uLongFieldType& reader, const char* key, DWORD& into);
    void RequiredLong(CExtM3uLongFieldType& reader, const char* key, DWORD& into);

    CExtM3uStringFieldType m_strings;
    CExtM3uUrlFieldType m_urls;
    CExtM3uLongFieldType m_longs;
    CExtM3uNonZeroLongFieldType m_nonZero;
    CExtM3uBoolFieldType m_bools;
    STrackInfo& m_rec;
};

std::string TrackLineParser::String(const char* key, bool decoded)
{
    std::string value;
    if (!m_strings.GetString(key, value))
        return {};
    if (decoded)
        DecodeText(value);
    return value;
}

// A URL that is found but fails the check counts as absent.
std::string TrackLineParser::Url(const char* key)
{
    std::string value;
    return m_urls.GetString(key, value) ? value : std::string();
}

bool TrackLineParser::Long(CExtM3uLongFieldType& reader, const char* key, DWORD& into)
{
    LONG value = 0;
    if (!reader.GetLong(key, value))
        return false;
    into = static_cast<DWORD>(value);
    return true;
}

void TrackLineParser::RequiredLong(CExtM3uLongFieldType& reader, const char* key, DWORD& into)
{
    if (!Long(reader, key, into))
        throw TokenError{key};
}

void TrackLineParser::Parse()
{
    RequiredLong(m_longs, "::trackid=", m_rec.trackid);
    m_rec.track = String("::track=", true);
    m_rec.artist = String("::artist=", true);
    m_rec.artistid = String("::artistid=", false);
    m_rec.album = String("::album=", true);
    m_rec.albumid = String("::albumid=", false);
    m_rec.songurl = Url("::songurl=");
    if (m_rec.songurl.empty())
        throw TokenError{"::songurl="};
    m_rec.weburl = Url("::weburl=");
    m_rec.stationtext = String("::stationtext=", true);
    m_rec.arturl = Url("::arturl=");
    RequiredLong(m_nonZero, "::songbr=", m_rec.songbr);
    RequiredLong(m_longs, "::songsize=", m_rec.songsize);
    if (m_rec.songsize == 0)
        throw TokenError{"::songsize="};
    if (!Long(m_bools, "::skip=", m_rec.skip))
    {
        m_rec.skip = 0;
        Trace("ParseTrackExtendedM3u: no Skippable field for %s, set to 0", m_rec.track.c_str());
    }
    m_rec.nextdisplay = String("::nextdisplay=", true);
    m_rec.qualityname = String("::qualityname=", true);
    m_rec.afd = String("::afd=", true);
    RequiredLong(m_longs, "::numchans=", m_rec.numchans);
    RequiredLong(m_longs, "::samplerate=", m_rec.samplerate);
    m_rec.browserstr = String("::browserstr=", true);
    m_rec.songenc = String("::songenc=", false);
    m_rec.cacheid = String("::cacheid=", false);
    const bool hasCachePart = !m_rec.cacheid.empty();

    m_rec.cacheurl = Url("::cacheurl=");
    if (m_rec.cacheurl.empty() && hasCachePart)
        throw TokenError{"::cacheurl="};
    if (Long(m_longs, "::cachesize=", m_rec.cachesize))
    {
        m_rec.songpartsize = m_rec.songsize;
        m_rec.songsize = m_rec.songsize + m_rec.cachesize;
    }
    else
    {
        m_rec.cachesize = 0;
        m_rec.songpartsize = 0;
        if (hasCachePart)
            throw TokenError{"::cachesize="};
    }
    for (auto [key, into] : {std::pair{"::splitcache=", &m_rec.splitcache},
                             std::pair{"::splitsong=", &m_rec.splitsong}})
    {
        if (!Long(m_longs, key, *into))
        {
            *into = 0;
            if (hasCachePart)
                throw TokenError{key};
        }
    }
    if (!Long(m_longs, "::retry=", m_rec.retry))
        m_rec.retry = 30;
}

// The line starts with "OVDK::", compared without regard to case.
bool HasTrackPrefix(const char* line)
{
    return platform::StartsWithNoCase(std::string_view(line, strnlen(line, 6)), "OVDK::");
}
} // namespace

void DecodeText(std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        char c = text[i];
        if (c == '+')
            c = ' ';
        else if (c == '%')
        {
            const std::string_view digits = std::string_view(text).substr(i + 1, 2);
            c = DecodeEscape(digits);
            i += digits.size();
        }
        // A decoded zero byte ends the text, as it ends an 8-bit C string for every
        // reader of the value; nothing after it is kept.
        if (c == '\0')
            break;
        out += c;
    }
    text = std::move(out);
}

bool ParseTrackExtendedM3u(const char* line, STrackInfo& rec)
{
    try
    {
        if (line == nullptr || !HasTrackPrefix(line))
            throw TokenError{"OVDK::"};
        TrackLineParser(line, rec).Parse();
        return true;
    }
    catch (const TokenError& error)
    {
        Trace("ParseTrackExtendedM3u:token error on %s:%s\n", rec.track.c_str(), error.key);
    }
    catch (...)
    {
        Trace("ParseTrackExtendedM3u - exception catch all hit");
    }
    return false;
}
