#include "sequence/ExtM3uFieldType.h"

#include "platform/AsciiText.h"
#include "platform/Convert.h"
#include "sequence/ExtM3uBoolFieldType.h"
#include "sequence/ExtM3uNonZeroLongFieldType.h"
#include "sequence/ExtM3uUrlFieldType.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace
{
// The value with leading and trailing spaces (only the space character) removed.
std::string_view TrimSpaces(std::string_view text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

// The first position at or after `from` where the text, read as if lower-cased, holds
// `needle` (given in lower case); npos when there is none. A needle byte that is an
// upper-case letter never matches, as in a lower-cased copy.
std::size_t FindLowered(std::string_view text, std::string_view needle, std::size_t from)
{
    if (needle.empty() || needle.size() > text.size() || from > text.size() - needle.size())
        return std::string_view::npos;
    const char first = needle[0];
    if (first >= 'A' && first <= 'Z')
        return std::string_view::npos;
    const char firstUpper = (first >= 'a' && first <= 'z') ? char(first - 'a' + 'A') : first;
    const char* const base = text.data();
    const std::size_t lastStart = text.size() - needle.size();
    for (std::size_t at = from; at <= lastStart; ++at)
    {
        // Skip to the next byte that can start the needle: a search for a byte when it has
        // no other case, a plain scan otherwise.
        if (first == firstUpper)
        {
            const void* hit = std::memchr(base + at, first, lastStart - at + 1);
            if (hit == nullptr)
                return std::string_view::npos;
            at = std::size_t(static_cast<const char*>(hit) - base);
        }
        else if (base[at] != first && base[at] != firstUpper)
            continue;
        std::size_t i = 1;
        while (i < needle.size() && platform::AsciiLower(base[at + i]) == needle[i])
            ++i;
        if (i == needle.size())
            return at;
    }
    return std::string_view::npos;
}
} // namespace

CExtM3uFieldType::CExtM3uFieldType(const char* text)
    : CExtM3uFieldType(text ? std::string_view(text) : std::string_view())
{
}

CExtM3uFieldIndex::CExtM3uFieldIndex(std::string_view text) : m_text(text)
{
    m_first.fill(kNone);
    if (text.size() >= kNone)
        return;
    m_bIndexed = true;
    m_pairs.reserve(text.size() / 8 + 8); // one allocation for lines of usual fields
    std::array<std::uint32_t, kGroups> last;
    last.fill(kNone);
    const char* const p = text.data();
    const std::size_t n = text.size();
    std::size_t at = 0;
#if defined(__SSE2__)
    // Sixteen starts at a time: a pair starts where this byte and the next are ':'.
    const __m128i colon = _mm_set1_epi8(':');
    for (; at + 17 <= n; at += 16)
    {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at + 1));
        unsigned mask = unsigned(_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpeq_epi8(here, colon), _mm_cmpeq_epi8(next, colon))));
        while (mask != 0)
        {
            Add(at + std::size_t(__builtin_ctz(mask)), last);
            mask &= mask - 1;
        }
    }
#endif
    for (; at + 1 < n; ++at)
        if (p[at] == ':' && p[at + 1] == ':')
            Add(at, last);
}

// Files the pair at nAt in order, and under its group when two characters follow it
// (a key of the `::name=` form has at least two after its `::`).
void CExtM3uFieldIndex::Add(std::size_t nAt, std::array<std::uint32_t, kGroups>& last)
{
    const auto nIndex = std::uint32_t(m_pairs.size());
    m_pairs.push_back({std::uint32_t(nAt), kNone});
    if (nAt + 3 >= m_text.size())
        return;
    const std::size_t group = GroupOf(m_text[nAt + 2], m_text[nAt + 3]);
    if (last[group] == kNone)
        m_first[group] = nIndex;
    else
        m_pairs[last[group]].nNext = nIndex;
    last[group] = nIndex;
}

CExtM3uFieldIndex::SFound CExtM3uFieldIndex::Find(std::string_view key) const
{
    if (!m_bIndexed || key.size() < 4 || key[0] != ':' || key[1] != ':')
        return {FindLowered(m_text, key, 0), kNone};
    // Every occurrence of such a key starts at a pair followed by the key's next two
    // characters; the pairs of a group come in order, so the first match is the first.
    const char cLast = key.back();
    for (std::uint32_t i = m_first[GroupOf(key[2], key[3])]; i != kNone; i = m_pairs[i].nNext)
    {
        const std::size_t nAt = m_pairs[i].nAt;
        if (key.size() > m_text.size() - nAt ||
            platform::AsciiLower(m_text[nAt + key.size() - 1]) != cLast)
            continue;
        std::size_t j = 2; // the group says little: two characters share it with others
        while (j < key.size() && platform::AsciiLower(m_text[nAt + j]) == key[j])
            ++j;
        if (j == key.size())
            return {nAt, i};
    }
    return {std::string_view::npos, kNone};
}

std::size_t CExtM3uFieldIndex::FindPair(std::size_t from, std::uint32_t nAfterPair) const
{
    if (!m_bIndexed)
        return FindLowered(m_text, "::", from);
    // Pairs are in order: the one wanted is the first at or after from, at most a few
    // past the pair a key was found at.
    for (std::size_t i = nAfterPair == kNone ? 0 : nAfterPair + 1; i < m_pairs.size(); ++i)
        if (m_pairs[i].nAt >= from)
            return m_pairs[i].nAt;
    return std::string_view::npos;
}

CExtM3uFieldType::CExtM3uFieldType(std::string_view text) : m_text(text) {}

CExtM3uFieldType::CExtM3uFieldType(const CExtM3uFieldIndex& index)
    : m_text(index.Text()), m_pIndex(&index)
{
}

bool CExtM3uFieldType::PlainLookup(std::string_view key, std::string& value) const
{
    const CExtM3uFieldIndex::SFound found =
        m_pIndex ? m_pIndex->Find(key)
                 : CExtM3uFieldIndex::SFound{FindLowered(m_text, key, 0), CExtM3uFieldIndex::kNone};
    const std::size_t keyAt = found.nAt;
    if (keyAt == std::string_view::npos)
        return false;
    const std::size_t valueAt = keyAt + key.size();
    const std::string_view delimiter =
        m_strDelimiter.empty() ? std::string_view("::") : std::string_view(m_strDelimiter);
    const std::size_t endAt = m_pIndex && m_strDelimiter.empty()
                                  ? m_pIndex->FindPair(valueAt, found.nPair)
                                  : FindLowered(m_text, delimiter, valueAt);
    if (endAt == std::string_view::npos)
        return false;
    value.assign(m_text.substr(valueAt, endAt - valueAt));
    return true;
}

bool CExtM3uStringFieldType::GetString(std::string_view key, std::string& value)
{
    return PlainLookup(key, value);
}

bool CExtM3uUrlFieldType::GetString(std::string_view key, std::string& value)
{
    if (!PlainLookup(key, value))
        return false;
    return platform::StartsWithNoCase(value, "http://") ||
           platform::StartsWithNoCase(value, "https://") ||
           platform::StartsWithNoCase(value, "http:\\\\");
}

bool CExtM3uLongFieldType::GetString(std::string_view key, std::string& value)
{
    return PlainLookup(key, value);
}

bool CExtM3uLongFieldType::GetLong(std::string_view key, LONG& value)
{
    std::string text;
    const bool found = GetString(key, text);
    if (text.empty())
        return false;
    value = platform::StrToLong(std::string_view(text));
    if (value == 0 && TrimSpaces(text) != "0")
        return false;
    return found;
}

bool CExtM3uNonZeroLongFieldType::GetString(std::string_view key, std::string& value)
{
    return PlainLookup(key, value) && platform::StrToLong(std::string_view(value)) != 0;
}

bool CExtM3uBoolFieldType::GetString(std::string_view key, std::string& value)
{
    if (!PlainLookup(key, value))
        return false;
    const LONG n = platform::StrToLong(std::string_view(value));
    return n == 0 || n == 1;
}
