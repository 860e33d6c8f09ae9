#include "host/StringTable.h"

#include "platform/MessageBox.h"

namespace
{
struct SStringEntry
{
    UINT nId;
    const char* pszText;
};

constexpr SStringEntry kStringTable[] = {
    {IDS_MESSAGE_TITLE, "ORVALE Radio Message"},
    {IDS_MSXML_OUTDATED, "The version of MsXML.DLL is outdated!\n\nDownload and Register the "
                         "latest MsXML.DLL or simply Upgrade your IE Browser. "},
    {IDS_SYNTAX_ERROR, "Syntax Error Found in Loaded Buffer!"},
};

constexpr std::size_t kMaxTextChars = 2047;
constexpr std::size_t kMaxTitleChars = 249;
} // namespace

namespace host
{
std::string LoadResourceString(UINT nId, std::size_t nMaxChars)
{
    for (const SStringEntry& entry : kStringTable)
        if (entry.nId == nId)
            return std::string(entry.pszText).substr(0, nMaxChars);
    return {};
}
} // namespace host

int ShowResourceMessage(UINT nTextId, UINT nStyle)
{
    return platform::MessageBox(host::LoadResourceString(nTextId, kMaxTextChars),
                                host::LoadResourceString(IDS_MESSAGE_TITLE, kMaxTitleChars),
                                nStyle);
}
