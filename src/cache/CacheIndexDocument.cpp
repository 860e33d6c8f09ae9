#include "cache/CacheIndexDocument.h"

#include "host/StringTable.h"
#include "ovradio/Com.h"
#include "platform/MessageBox.h"
#include "platform/Utf.h"

#include <algorithm>
#include <array>

namespace
{
constexpr const char* kRoot = "RADIO_CACHE";
constexpr const char* kGeneralInfo = "GENERAL_INFO";
constexpr const char* kCachePath = "CACHE_PATH";
constexpr const char* kMaxSize = "MAX_SIZE";
constexpr const char* kSafetyMargin = "SAFETY_MARGIN";
constexpr const char* kIsCacheEnabled = "IS_CACHE_ENABLED";

// A VARIANT that frees what it holds.
struct Variant
{
    VARIANT v;
    Variant() { VariantInit(&v); }
    ~Variant() { VariantClear(&v); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
};

std::string ToText(const Variant& value)
{
    Variant text;
    if (FAILED(VariantChangeType(&text.v, &value.v, 0, VT_BSTR)))
        return {};
    return platform::Utf16ToUtf8(
        std::u16string_view(text.v.bstrVal ? text.v.bstrVal : u"", SysStringLen(text.v.bstrVal)));
}

// The text converted to vt; false when the conversion refuses it.
bool FromText(const std::string& text, VARTYPE vt, Variant& into)
{
    Variant source;
    const std::u16string wide = platform::Utf8ToUtf16(text);
    source.v.vt = VT_BSTR;
    source.v.bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    return source.v.bstrVal != nullptr && SUCCEEDED(VariantChangeType(&into.v, &source.v, 0, vt));
}

// A cache folder names a folder: it ends with the separator, so that the folder and a
// file name joined make a path inside it.
std::string AsFolder(std::string text)
{
    if (!text.empty() && text.back() != '/')
        text += '/';
    return text;
}
} // namespace

std::string CacheIndexDocument::NumberText(double value)
{
    Variant number;
    number.v.vt = VT_R8;
    number.v.dblVal = value;
    return ToText(number);
}

std::string CacheIndexDocument::FlagText(bool value)
{
    Variant flag;
    flag.v.vt = VT_BOOL;
    flag.v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return ToText(flag);
}

std::optional<double> CacheIndexDocument::ParseNumber(const std::string& text)
{
    Variant number;
    if (!FromText(text, VT_R8, number))
        return std::nullopt;
    return number.v.dblVal;
}

std::optional<bool> CacheIndexDocument::ParseFlag(const std::string& text)
{
    Variant flag;
    if (!FromText(text, VT_BOOL, flag))
        return std::nullopt;
    return flag.v.boolVal != VARIANT_FALSE;
}

namespace
{
// The text between <name> and </name>, the five predefined entities undone; nothing when
// either tag is missing or the text holds markup or another reference.
std::optional<std::string> ElementText(std::string_view text, const std::string& name)
{
    const std::string open = "<" + name + ">";
    const std::size_t nOpen = text.find(open);
    if (nOpen == std::string_view::npos)
        return std::nullopt;
    const std::size_t nStart = nOpen + open.size();
    const std::size_t nClose = text.find("</" + name + ">", nStart);
    if (nClose == std::string_view::npos)
        return std::nullopt;
    const std::string_view raw = text.substr(nStart, nClose - nStart);
    if (raw.find('<') != std::string_view::npos)
        return std::nullopt;
    static constexpr std::array<std::pair<std::string_view, char>, 5> kEntities = {
        {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}}};
    std::string value;
    for (std::size_t i = 0; i < raw.size();)
    {
        if (raw[i] != '&')
        {
            value += raw[i++];
            continue;
        }
        const auto it = std::find_if(kEntities.begin(), kEntities.end(),
                                     [&](const auto& entity)
                                     { return raw.substr(i).starts_with(entity.first); });
        if (it == kEntities.end())
            return std::nullopt;
        value += it->second;
        i += it->first.size();
    }
    return value;
}
} // namespace

int CacheIndexDocument::Salvage(std::string_view text, CacheSettings& settings)
{
    int nSet = 0;
    if (const auto path = ElementText(text, kCachePath); path && !path->empty())
    {
        settings.strLocation = AsFolder(*path);
        ++nSet;
    }
    for (auto [name, pField] : {std::pair(kMaxSize, &settings.dMaxSize),
                                std::pair(kSafetyMargin, &settings.dSafetyMargin)})
    {
        const auto element = ElementText(text, name);
        if (const auto value = element ? ParseNumber(*element) : std::nullopt)
        {
            *pField = *value;
            ++nSet;
        }
    }
    const auto enabled = ElementText(text, kIsCacheEnabled);
    if (const auto value = enabled ? ParseFlag(*enabled) : std::nullopt)
    {
        settings.bEnabled = *value;
        ++nSet;
    }
    return nSet;
}

bool CacheIndexDocument::Load(const std::string& path, const CacheSettings& defaults)
{
    m_strPath = path;
    return Adopt(m_doc.LoadFile(path), defaults);
}

bool CacheIndexDocument::LoadText(std::string_view text, const CacheSettings& defaults)
{
    return Adopt(m_doc.LoadFromBuffer(text), defaults);
}

bool CacheIndexDocument::Adopt(bool bParsed, const CacheSettings& defaults)
{
    if (bParsed && m_doc.Root())
        return true;
    if (bParsed)
        platform::MessageBox("Syntax Error Found in Loaded File!", "Error", platform::MB_OK);
    platform::xml::Element info = m_doc.CreateRoot(kRoot).AppendChild(kGeneralInfo);
    info.AppendChild(kCachePath).SetText(defaults.strLocation);
    info.AppendChild(kMaxSize).SetText(NumberText(defaults.dMaxSize));
    info.AppendChild(kSafetyMargin).SetText(NumberText(defaults.dSafetyMargin));
    info.AppendChild(kIsCacheEnabled).SetText(FlagText(defaults.bEnabled));
    return false;
}

bool CacheIndexDocument::Save() const
{
    return !m_strPath.empty() && m_doc.Save(m_strPath);
}

std::optional<platform::xml::Element> CacheIndexDocument::GeneralInfo() const
{
    const std::optional<platform::xml::Element> root = m_doc.Root();
    if (!root)
        return std::nullopt;
    return root->FirstDescendant(kGeneralInfo);
}

void CacheIndexDocument::GetSettings(CacheSettings& settings) const
{
    const std::optional<platform::xml::Element> info = GeneralInfo();
    if (!info)
        return;
    for (const platform::xml::Element& child : info->ChildElements())
    {
        const std::string name = child.Name();
        const std::string text = child.Text();
        if (name == kCachePath)
        {
            // An empty folder text would put the cache in whatever the current folder is.
            if (!text.empty())
                settings.strLocation = AsFolder(text);
        }
        else if (name == kMaxSize)
        {
            if (const auto value = ParseNumber(text))
                settings.dMaxSize = *value;
        }
        else if (name == kSafetyMargin)
        {
            if (const auto value = ParseNumber(text))
                settings.dSafetyMargin = *value;
        }
        else if (name == kIsCacheEnabled)
        {
            if (const auto value = ParseFlag(text))
                settings.bEnabled = *value;
        }
    }
}

void CacheIndexDocument::SetSettings(const CacheSettings& settings)
{
    std::optional<platform::xml::Element> root = m_doc.Root();
    if (!root)
        root = m_doc.CreateRoot(kRoot);
    std::optional<platform::xml::Element> info = root->FirstDescendant(kGeneralInfo);
    if (!info)
        info = root->AppendChild(kGeneralInfo);
    const std::array<std::pair<const char*, std::string>, 4> values = {{
        {kCachePath, settings.strLocation},
        {kMaxSize, NumberText(settings.dMaxSize)},
        {kSafetyMargin, NumberText(settings.dSafetyMargin)},
        {kIsCacheEnabled, FlagText(settings.bEnabled)},
    }};
    for (const auto& [name, text] : values)
    {
        std::optional<platform::xml::Element> element = info->FirstDescendant(name);
        if (!element)
            element = info->AppendChild(name);
        element->SetText(text);
    }
}
