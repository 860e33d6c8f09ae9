// The cache index: an XML document holding the cache settings,
//   <RADIO_CACHE><GENERAL_INFO><CACHE_PATH/><MAX_SIZE/><SAFETY_MARGIN/>
//   <IS_CACHE_ENABLED/></GENERAL_INFO></RADIO_CACHE>
// with numbers and the flag as OLE's variant conversions write them (250000000, -1, 0).
// Owned by the radio cache manager, which holds it only in its plain form while loading
// or saving; used by one thread at a time (the manager serialises its index calls).
#pragma once

#include "cache/CacheSettings.h"
#include "platform/Xml.h"

#include <optional>
#include <string>
#include <string_view>

class CacheIndexDocument
{
public:
    CacheIndexDocument() = default;
    CacheIndexDocument(const CacheIndexDocument&) = delete;
    CacheIndexDocument& operator=(const CacheIndexDocument&) = delete;

    // Remembers the path and loads the file. False when it is missing or does not parse;
    // the document is then built anew from the defaults.
    bool Load(const std::string& path, const CacheSettings& defaults);
    // The same from text in memory (a deciphered index that is never written out).
    bool LoadText(std::string_view text, const CacheSettings& defaults);
    // Saves to the remembered path.
    bool Save() const;

    // Sets the fields that the document has an element for; the others keep their value.
    void GetSettings(CacheSettings& settings) const;
    // Writes the four values, adding the elements the document lacks.
    void SetSettings(const CacheSettings& settings);

    std::string ToString() const { return m_doc.ToString(); }

    // The value texts of the index (OLE's conversions with default flags).
    static std::string NumberText(double value);
    static std::string FlagText(bool value);
    static std::optional<double> ParseNumber(const std::string& text);
    static std::optional<bool> ParseFlag(const std::string& text);

    // What can still be read of an index that does not parse (cut short by a crash, say):
    // each of the four elements whose start and end tags are both there and whose text
    // reads sets its field; the others keep their value. The number of fields set.
    static int Salvage(std::string_view text, CacheSettings& settings);

private:
    bool Adopt(bool bParsed, const CacheSettings& defaults);
    std::optional<platform::xml::Element> GeneralInfo() const;

    platform::xml::Document m_doc;
    std::string m_strPath;
};
