#include "sequence/TrackInfo.h"

#include "host/Trace.h"
#include "platform/AsciiText.h"
#include "sequence/ExtM3uBoolFieldType.h"
#include "sequence/ExtM3uNonZeroLongFieldType.h"
#include "sequence/ExtM3uUrlFieldType.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace
{
// Up to two characters read as hexadecimal, stopping at the first that is not a digit.
char DecodeEscape(std::string_view digits)
{
    int value = 0;
    for (const char c : digits)
    {
        const int digit = platform::AsciiHexValue(c);
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
    TrackLineParser(std::string_view line, STrackInfo& rec)
        : m_index(line), m_strings(m_index), m_urls(m_index), m_longs(m_index), m_nonZero(m_index),
          m_bools(m_index), m_rec(rec)
    {
    }

    void Parse();

private:
    void String(const char* key, bool decoded, std::string& into);
    void Url(const char* key, std::string& into);
    bool Long(CExtM3uLongFieldType& reader, const char* key, DWORD& into);
    void RequiredLong(CExtM3uLongFieldType& reader, const char* key, DWORD& into);

    CExtM3uFieldIndex m_index; // the readers' shared index of the line
    CExtM3uStringFieldType m_strings;
    CExtM3uUrlFieldType m_urls;
    CExtM3uLongFieldType m_longs;
    CExtM3uNonZeroLongFieldType m_nonZero;
    CExtM3uBoolFieldType m_bools;
    STrackInfo& m_rec;
};

// The value is read straight into the record's field, "" when it is absent.
void TrackLineParser::String(const char* key, bool decoded, std::string& into)
{
    if (!m_strings.GetString(key, into))
        into.clear();
    else if (decoded)
        DecodeText(into);
}

// A URL that is found but fails the check counts as absent.
void TrackLineParser::Url(const char* key, std::string& into)
{
    if (!m_urls.GetString(key, into))
        into.clear();
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
    String("::track=", true, m_rec.track);
    String("::artist=", true, m_rec.artist);
    String("::artistid=", false, m_rec.artistid);
    String("::album=", true, m_rec.album);
    String("::albumid=", false, m_rec.albumid);
    Url("::songurl=", m_rec.songurl);
    if (m_rec.songurl.empty())
        throw TokenError{"::songurl="};
    Url("::weburl=", m_rec.weburl);
    String("::stationtext=", true, m_rec.stationtext);
    Url("::arturl=", m_rec.arturl);
    RequiredLong(m_nonZero, "::songbr=", m_rec.songbr);
    RequiredLong(m_longs, "::songsize=", m_rec.songsize);
    if (m_rec.songsize == 0)
        throw TokenError{"::songsize="};
    if (!Long(m_bools, "::skip=", m_rec.skip))
    {
        m_rec.skip = 0;
        Trace("ParseTrackExtendedM3u: no Skippable field for %s, set to 0", m_rec.track.c_str());
    }
    String("::nextdisplay=", true, m_rec.nextdisplay);
    String("::qualityname=", true, m_rec.qualityname);
    String("::afd=", true, m_rec.afd);
    RequiredLong(m_longs, "::numchans=", m_rec.numchans);
    RequiredLong(m_longs, "::samplerate=", m_rec.samplerate);
    String("::browserstr=", true, m_rec.browserstr);
    String("::songenc=", false, m_rec.songenc);
    String("::cacheid=", false, m_rec.cacheid);
    const bool hasCachePart = !m_rec.cacheid.empty();

    Url("::cacheurl=", m_rec.cacheurl);
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
    // Decoded in place: the output never runs ahead of the input.
    char* const p = text.data();
    const std::size_t n = text.size();
    std::size_t nOut = 0;
    for (std::size_t i = 0; i < n; ++i)
    {
        char c = p[i];
        if (c == '+')
            c = ' ';
        else if (c == '%')
        {
            const std::size_t nDigits = std::min<std::size_t>(2, n - i - 1);
            c = DecodeEscape(std::string_view(p + i + 1, nDigits));
            i += nDigits;
        }
        // A decoded zero byte ends the text, as it ends an 8-bit C string for every
        // reader of the value; nothing after it is kept.
        if (c == '\0')
            break;
        p[nOut++] = c;
    }
    text.resize(nOut);
}

bool ParseTrackExtendedM3u(const char* line, STrackInfo& rec)
{
    try
    {
        if (line == nullptr || !HasTrackPrefix(line))
            throw TokenError{"OVDK::"};
        TrackLineParser(std::string_view(line), rec).Parse();
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
