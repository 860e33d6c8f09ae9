// ovradio-regsvr registering and unregistering a real in-process server library in a
// temporary registry, and its answers when it cannot.
#include "TestCalc.h"
#include "platform/Registry.h"
#include "platform/com/ComPtr.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using platform::Hive;
namespace Registry = platform::Registry;

namespace
{
struct SRun
{
    int nExit = -1;        // -1 when it did not end by itself
    std::string strOutput; // stdout and stderr together
};

// Runs ovradio-regsvr with the arguments to its end, within the tests' limit, in the
// given folder (this process's when empty).
SRun RunRegSvr(const std::vector<std::string>& args, const std::string& strFolder = "")
{
    testsupport::SChildOptions options;
    options.args = args;
    options.folder = strFolder;
    options.bMergeStderr = true;
    const testsupport::SChildResult result = testsupport::RunChild(OVRADIO_REGSVR_PATH, options);
    return {result.nExit, result.strOut};
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

HRESULT ClassOf(const char16_t* pszProgID, CLSID& clsid)
{
    clsid = GUID_NULL;
    return CLSIDFromProgID(pszProgID, &clsid);
}

class RegSvrTest : public ::testing::Test
{
protected:
    void TearDown() override { CoFreeUnusedLibraries(); }

    testsupport::TempHome m_home;
};
} // namespace

TEST_F(RegSvrTest, RegistersALibraryThatCanThenBeCreatedAndUnregistersIt)
{
    SRun run = RunRegSvr({OVCOM_TEST_SERVER});
    ASSERT_EQ(run.nExit, 0) << run.strOutput;
    EXPECT_TRUE(Contains(run.strOutput, "DllRegisterServer")) << run.strOutput;
    EXPECT_TRUE(Contains(run.strOutput, "0x00000000")) << run.strOutput;

    CLSID clsid;
    ASSERT_EQ(ClassOf(u"OVComTest.Calc", clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_TestCalc));
    const std::string strClass = std::string("CLSID\\") + kTestCalcClsid;
    EXPECT_EQ(Registry::QueryString(Hive::ClassesRoot, strClass + "\\InprocServer32", ""),
              std::filesystem::canonical(OVCOM_TEST_SERVER).string());
    EXPECT_EQ(
        Registry::QueryString(Hive::ClassesRoot, strClass + "\\InprocServer32", "ThreadingModel"),
        "Apartment");
    {
        platform::com::ComPtr<ITestCalc> calc;
        ASSERT_EQ(
            CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITestCalc, calc.OutVoid()),
            S_OK);
        LONG difference = 0;
        EXPECT_EQ(calc->Subtract(2, 5, &difference), S_OK);
        EXPECT_EQ(difference, -3);
    }

    run = RunRegSvr({"-u", OVCOM_TEST_SERVER});
    ASSERT_EQ(run.nExit, 0) << run.strOutput;
    EXPECT_TRUE(Contains(run.strOutput, "DllUnregisterServer")) << run.strOutput;
    EXPECT_EQ(ClassOf(u"OVComTest.Calc", clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(ClassOf(u"OVComTest.Calc.1", clsid), CO_E_CLASSSTRING);
    platform::com::ComPtr<ITestCalc> calc;
    EXPECT_EQ(CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_ITestCalc,
                               calc.OutVoid()),
              REGDB_E_CLASSNOTREG);
    EXPECT_TRUE(Registry::KeyExists(Hive::ClassesRoot, "CLSID"));
}

TEST_F(RegSvrTest, ALibraryNamedWithoutAFolderIsTheOneInTheCurrentFolder)
{
    const std::filesystem::path server = std::filesystem::canonical(OVCOM_TEST_SERVER);
    const SRun run = RunRegSvr({server.filename().string()}, server.parent_path().string());
    ASSERT_EQ(run.nExit, 0) << run.strOutput;
    // The class names the library by its full path, so that any program can load it.
    EXPECT_EQ(Registry::QueryString(Hive::ClassesRoot,
                                    std::string("CLSID\\") + kTestCalcClsid + "\\InprocServer32",
                                    ""),
              server.string());
}

TEST_F(RegSvrTest, SaysWhyItCannotRegisterAndExitsWithItsCode)
{
    const std::string strMissing = m_home.File("libNothingHere.so");
    SRun run = RunRegSvr({strMissing});
    EXPECT_EQ(run.nExit, 2) << run.strOutput;
    EXPECT_TRUE(Contains(run.strOutput, "cannot load " + strMissing)) << run.strOutput;

    run = RunRegSvr({"-u", OVCOM_TEST_NOFACTORY});
    EXPECT_EQ(run.nExit, 3) << run.strOutput;
    EXPECT_TRUE(Contains(run.strOutput, "does not export DllUnregisterServer")) << run.strOutput;

    // A damaged registry: the server's own call fails, and the file stays as it was.
    const std::string strDamaged = "REGEDIT4\n\nnot a registry line\n";
    testsupport::WriteFile(m_home.File("registry.reg"), strDamaged);
    run = RunRegSvr({OVCOM_TEST_SERVER});
    EXPECT_EQ(run.nExit, 4) << run.strOutput;
    EXPECT_TRUE(
        Contains(run.strOutput, "DllRegisterServer in " OVCOM_TEST_SERVER " failed: 0x80040201"))
        << run.strOutput;
    EXPECT_EQ(testsupport::ReadFile(m_home.File("registry.reg")), strDamaged);

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"-x", OVCOM_TEST_SERVER}, {"a.so", "b.so"}})
    {
        run = RunRegSvr(args);
        EXPECT_EQ(run.nExit, 1) << run.strOutput;
        EXPECT_TRUE(Contains(run.strOutput, "usage: ovradio-regsvr [-u] LIBRARY")) << run.strOutput;
    }
}
