// Readers of `key=value` fields in `::`-delimited or line-delimited text: track lines,
// the sequence header, the host's user information and cache file headers. A reader
// keeps a view of the caller's text (which must outlive it) and matches keys in it as
// if it were lower-cased, without copying it: keys are found without regard to case,
// anywhere, first occurrence wins; values keep their case. A value counts only when the
// delimiter follows it. Readers never read outside the text they were given, whatever it
// holds. A sequence parses thousands of lines, so a reader costs no allocation of its
// own and a lookup allocates only for a value too long for the string's own storage.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Where the `::` pairs of a text are, found in one pass and grouped by the two characters
// that follow each, so that a key of the `::name=` form is looked for only where it can
// start. A track line is read by one reader of each kind, which share one index of it.
// The index keeps a view of the text, which must outlive it; it is not copied.
class CExtM3uFieldIndex
{
public:
    explicit CExtM3uFieldIndex(std::string_view text);
    CExtM3uFieldIndex(const CExtM3uFieldIndex&) = delete;
    CExtM3uFieldIndex& operator=(const CExtM3uFieldIndex&) = delete;

    std::string_view Text() const { return m_text; }
    static constexpr std::uint32_t kNone = 0xFFFFFFFF;
    struct SFound
    {
        std::size_t nAt;     // npos when the key is not found
        std::uint32_t nPair; // the pair it starts at, kNone when it was scanned for
    };
    // The first position where the text, read as if lower-cased, holds key (given in
    // lower case).
    SFound Find(std::string_view key) const;
    // The first `::` at or after from (a found key's end), searched from after the pair
    // the key was found at; npos when there is none.
    std::size_t FindPair(std::size_t from, std::uint32_t nAfterPair) const;

private:
    static constexpr std::size_t kGroups = 64;
    struct SPair
    {
        std::uint32_t nAt;   // where the pair starts
        std::uint32_t nNext; // the next pair of the same group, or kNone
    };

    // The group of a pair or key: the two characters after the `::`, lower-cased.
    static std::size_t GroupOf(char c1, char c2)
    {
        const auto lower = [](char c)
        { return std::size_t(std::uint8_t(c | ((c >= 'A' && c <= 'Z') << 5))); };
        return (lower(c1) * 7 + lower(c2)) % kGroups;
    }
    void Add(std::size_t nAt, std::array<std::uint32_t, kGroups>& last);

    std::string_view m_text;
    bool m_bIndexed = false;    // false for a text too long to index: keys are then scanned for
    std::vector<SPair> m_pairs; // every pair, in order
    std::array<std::uint32_t, kGroups> m_first;
};

class CExtM3uFieldType
{
public:
    explicit CExtM3uFieldType(const char* text);
    // The text as a view: it may hold NUL bytes, which are then part of the text.
    explicit CExtM3uFieldType(std::string_view text);
    // The index's text, found through the index (which must outlive the reader).
    explicit CExtM3uFieldType(const CExtM3uFieldIndex& index);
    CExtM3uFieldType(const CExtM3uFieldType&) = delete;
    CExtM3uFieldType& operator=(const CExtM3uFieldType&) = delete;

    // key in lower case with its punctuation ("::trackid=", "status_code=").
    virtual bool GetString(std::string_view key, std::string& value) = 0;

    // An empty delimiter means "::".
    void SetDelimiter(std::string delimiter) { m_strDelimiter = std::move(delimiter); }

protected:
    ~CExtM3uFieldType() = default;
    bool PlainLookup(std::string_view key, std::string& value) const;

private:
    std::string_view m_text;
    const CExtM3uFieldIndex* m_pIndex = nullptr;
    std::string m_strDelimiter;
};
