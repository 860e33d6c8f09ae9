// The engine's exception journal, its two trace lines, and the message boxes of COM
// errors and string-table entries.
#include "host/ComError.h"
#include "host/RadEngException.h"
#include "host/StringTable.h"
#include "platform/MessageBox.h"
#include "support/TraceCapture.h"

#include <gtest/gtest.h>
#include <string>

TEST(RadEngException, JournalsTheRaiseSiteAndTracesTwoLines)
{
    testsupport::TraceCapture capture;
    int nLine = 0;
    try
    {
        nLine = __LINE__ + 1;
        RADENG_THROW("Station is not initialized. Call StartStation", 14);
    }
    catch (const CRadEngException& e)
    {
        std::string strLine = "ExceptionTest.cpp(" + std::to_string(nLine) +
                              ") : OVEXC - Station is not initialized. Call StartStation";
        EXPECT_EQ(e.GetText(), strLine + "\n");
        EXPECT_EQ(e.code, 14);
        EXPECT_EQ(e.message, "Station is not initialized. Call StartStation");
        CRadEngException copy = e;
        EXPECT_EQ(copy.GetText(), e.GetText());
        auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], strLine + "\n");
        EXPECT_EQ(lines[1], "Station is not initialized. Call StartStation");
    }
}

TEST(ComError, MessageBoxTextsForKnownAndUnknownCodes)
{
    std::string strText, strTitle;
    platform::SetMessageBoxHook([&](const std::string& text, const std::string& title, UINT) {
        strText = text;
        strTitle = title;
        return platform::IDOK;
    });
    ShowComError(host::CComError(static_cast<HRESULT>(0x80004005)));
    EXPECT_EQ(strTitle, "Error");
    EXPECT_EQ(strText, "->>Error = 80004005 (Unspecified error)\n");
    ShowComError(host::CComError(static_cast<HRESULT>(0x80040205)));
    EXPECT_EQ(strText, "->>Error = 80040205 (IDispatch error #5)\n");
    ShowComError(host::CComError(static_cast<HRESULT>(0x8123ABCD)));
    EXPECT_EQ(strText, "->>Error = 8123abcd (Unknown error 0x8123ABCD)\n");

    int nResult = 0;
    platform::SetMessageBoxHook([&](const std::string& text, const std::string& title, UINT type) {
        strText = text;
        strTitle = title;
        nResult = static_cast<int>(type);
        return platform::IDCANCEL;
    });
    EXPECT_EQ(ShowResourceMessage(IDS_SYNTAX_ERROR, platform::MB_OKCANCEL), platform::IDCANCEL);
    EXPECT_EQ(strTitle, "ORVALE Radio Message");
    EXPECT_EQ(strText, "Syntax Error Found in Loaded Buffer!");
    EXPECT_EQ(nResult, static_cast<int>(platform::MB_OKCANCEL));
    ShowResourceMessage(IDS_MSXML_OUTDATED, platform::MB_OK);
    EXPECT_EQ(strText.rfind("The version of MsXML.DLL is outdated!\n\n", 0), 0u);
    platform::SetMessageBoxHook({});
}
