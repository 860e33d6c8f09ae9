#include "host/UserId.h"

#include "host/ObjectManagerException.h"
#include "host/UtilityHolder.h"
#include "ovradio/Com.h"
#include "platform/Registry.h"

namespace
{
constexpr const char* kERegKey = "SOFTWARE\\Orvale\\Orvale Deck\\SharedData\\EReg";
constexpr int kGuidTextChars = 39; // braced text with its terminator

// The new GUID's braced text; wide characters are narrowed by their low byte.
std::string NewBracedGuid()
{
    GUID guid{};
    if (FAILED(CoCreateGuid(&guid)))
        return {};
    OLECHAR wide[kGuidTextChars + 1] = {};
    int nChars = StringFromGUID2(guid, wide, kGuidTextChars + 1);
    if (nChars <= 0 || nChars > kGuidTextChars)
        return {};
    std::string strText;
    for (int i = 0; i < nChars - 1; ++i)
        strText += static_cast<char>(wide[i] & 0xFF);
    return strText;
}
} // namespace

bool CreateUserId(std::string& strId)
{
    std::string strGuid = NewBracedGuid();
    if (strGuid.empty())
        return false;
    bool bResult = false;
    try
    {
        using platform::Hive;
        namespace reg = platform::Registry;
        if (!reg::SetString(Hive::LocalMachine, kERegKey, "OVUID", strGuid))
            return false;
        DWORD dwPermission =
            reg::QueryDword(Hive::LocalMachine, kERegKey, "EregUploadPermission").value_or(0);
        bResult = dwPermission == 0 ||
                  reg::SetDword(Hive::LocalMachine, kERegKey, "Upload", dwPermission);
    }
    catch (const platform::RegistryError&)
    {
        return false;
    }
    if (bResult)
        strId = strGuid;
    return bResult;
}

std::string GetUserId()
{
    UtilityHolder<miSettingUtilities> settings("RegSetUtilCMN");
    UtilityHolder<miStringUtilities> strings("StringUtilCMN");
    std::string strId;
    settings->SetBaseKey("Software\\Orvale\\Orvale Deck\\");
    if (!settings->QueryString("SharedData\\EReg", "OVUID", strId))
        CreateUserId(strId);
    strId = strings->TrimLeadingChar(strId, '{');
    strId = strings->TrimTrailingChar(strId, '}');
    return strId;
}

std::string GetUserIdOrEmpty()
{
    try
    {
        return GetUserId();
    }
    catch (const mcObjectManagerException&)
    {
        return {};
    }
}
