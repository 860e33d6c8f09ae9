// The conversion of the engine's exception into the thread's COM error information.
#include "engine/ReportError.h"

#include "ovradio/RadioEngineIds.h"
#include "platform/Utf.h"
#include "platform/com/BStr.h"
#include "platform/com/ComPtr.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace
{
std::string Text(BSTR bstr)
{
    std::string strText =
        bstr ? platform::Utf16ToUtf8(std::u16string_view(bstr, SysStringLen(bstr))) : "";
    SysFreeString(bstr);
    return strText;
}
} // namespace

TEST(ReportError, SetsDescriptionHelpContextAndSource)
{
    testsupport::TempHome home;
    HRESULT hr = S_OK;
    try
    {
        RADENG_THROW("Station is not initialized. Call StartStation", 14);
    }
    catch (const CRadEngException& e)
    {
        hr = ReportError(e);
    }
    EXPECT_EQ(hr, DISP_E_EXCEPTION);
    IErrorInfo* pRaw = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &pRaw), S_OK);
    auto pInfo = platform::com::ComPtr<IErrorInfo>::Adopt(pRaw);
    DWORD dwContext = 0;
    pInfo->GetHelpContext(&dwContext);
    EXPECT_EQ(dwContext, 14u);
    BSTR bstr = nullptr;
    pInfo->GetDescription(&bstr);
    std::string strDescription = Text(bstr);
    const std::string strTail = "OVEXC - Station is not initialized. Call StartStation\n";
    ASSERT_GE(strDescription.size(), strTail.size());
    EXPECT_EQ(strDescription.substr(strDescription.size() - strTail.size()), strTail);
    pInfo->GetSource(&bstr);
    EXPECT_EQ(Text(bstr), OVRADIO_PROGID);
    GUID guid{};
    pInfo->GetGUID(&guid);
    EXPECT_TRUE(IsEqualGUID(guid, GUID_NULL));
}

TEST(ReportError, SourceIsTheProgIdTheRegistryMapsTheClassTo)
{
    testsupport::TempHome home;
    testsupport::WriteFile(
        home.File("registry.reg"),
        "REGEDIT4\n\n[HKEY_CLASSES_ROOT\\CLSID\\{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}\\ProgID]\n"
        "@=\"OVRadioEngine.RadioEngineObj.7\"\n");
    try
    {
        RADENG_THROW("BitRate is 0", 12);
    }
    catch (const CRadEngException& e)
    {
        EXPECT_EQ(ReportError(e), DISP_E_EXCEPTION);
    }
    IErrorInfo* pRaw = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &pRaw), S_OK);
    auto pInfo = platform::com::ComPtr<IErrorInfo>::Adopt(pRaw);
    BSTR bstr = nullptr;
    pInfo->GetSource(&bstr);
    EXPECT_EQ(Text(bstr), "OVRadioEngine.RadioEngineObj.7");
}

TEST(ReportError, AnyOtherFailureKeepsItsResultWithTheTextAndNoHelpContext)
{
    testsupport::TempHome home;
    EXPECT_EQ(ReportFailure("RadioEngineObj::StartSession failed: thread start", E_FAIL), E_FAIL);
    IErrorInfo* pRaw = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &pRaw), S_OK);
    auto pInfo = platform::com::ComPtr<IErrorInfo>::Adopt(pRaw);
    DWORD dwContext = 99;
    pInfo->GetHelpContext(&dwContext);
    EXPECT_EQ(dwContext, 0u);
    BSTR bstr = nullptr;
    pInfo->GetDescription(&bstr);
    EXPECT_EQ(Text(bstr), "RadioEngineObj::StartSession failed: thread start");
    pInfo->GetSource(&bstr);
    EXPECT_EQ(Text(bstr), OVRADIO_PROGID);
}
