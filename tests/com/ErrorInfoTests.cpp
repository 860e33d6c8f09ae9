#include "platform/com/BStr.h"
#include "platform/com/ComPtr.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using platform::com::BStr;
using platform::com::ComPtr;

namespace
{
ComPtr<IErrorInfo> MakeError(const char16_t* description, DWORD helpContext)
{
    ComPtr<ICreateErrorInfo> create;
    EXPECT_EQ(CreateErrorInfo(create.Out()), S_OK);
    std::u16string text = description;
    std::u16string source = u"Test.Source";
    create->SetDescription(text.data());
    create->SetSource(source.data());
    create->SetHelpContext(helpContext);
    ComPtr<IErrorInfo> info;
    EXPECT_EQ(create.As(IID_IErrorInfo, info), S_OK);
    return info;
}

std::string Description(IErrorInfo* info)
{
    BStr text;
    EXPECT_EQ(info->GetDescription(text.Out()), S_OK);
    return text.ToUtf8();
}

// Fields never set read as null texts, zero and the null GUID; a text set to "" is not
// "never set". The object answers both of its interfaces.
TEST(ErrorInfo, CarriesItsFieldsAndAnswersBothInterfaces)
{
    ComPtr<ICreateErrorInfo> create;
    ASSERT_EQ(CreateErrorInfo(create.Out()), S_OK);
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(create.As(IID_IErrorInfo, info), S_OK);
    BStr text;
    EXPECT_EQ(info->GetDescription(text.Out()), S_OK);
    EXPECT_EQ(text.Get(), nullptr);
    DWORD context = 99;
    EXPECT_EQ(info->GetHelpContext(&context), S_OK);
    EXPECT_EQ(context, 0u);

    std::u16string helpFile = u"";
    create->SetGUID(IID_IDispatch);
    create->SetHelpFile(helpFile.data());
    GUID guid{};
    EXPECT_EQ(info->GetGUID(&guid), S_OK);
    EXPECT_TRUE(IsEqualGUID(guid, IID_IDispatch));
    EXPECT_EQ(info->GetHelpFile(text.Out()), S_OK);
    ASSERT_NE(text.Get(), nullptr);
    EXPECT_EQ(text.Length(), 0u);

    ComPtr<IUnknown> unknown;
    EXPECT_EQ(info.As(IID_IUnknown, unknown), S_OK);
    ComPtr<ICreateErrorInfo> back;
    EXPECT_EQ(unknown.As(IID_ICreateErrorInfo, back), S_OK);
    EXPECT_EQ(back.Get(), create.Get());
    ComPtr<IDispatch> none;
    EXPECT_EQ(info.As(IID_IDispatch, none), E_NOINTERFACE);
}

TEST(ErrorInfo, GetErrorInfoHandsTheObjectOverAndClearsTheSlot)
{
    IErrorInfo* taken = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &taken), S_FALSE);
    EXPECT_EQ(taken, nullptr);

    ASSERT_EQ(SetErrorInfo(0, MakeError(u"first", 1).Get()), S_OK);
    ASSERT_EQ(SetErrorInfo(0, MakeError(u"second", 2).Get()), S_OK); // replaces the first
    ASSERT_EQ(GetErrorInfo(0, &taken), S_OK);
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(Description(taken), "second");
    taken->Release();

    IErrorInfo* again = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &again), S_FALSE);
    EXPECT_EQ(again, nullptr);

    SetErrorInfo(0, MakeError(u"cleared", 3).Get());
    EXPECT_EQ(SetErrorInfo(0, nullptr), S_OK);
    EXPECT_EQ(GetErrorInfo(0, &again), S_FALSE);
    EXPECT_EQ(SetErrorInfo(1, nullptr), E_INVALIDARG);
    EXPECT_EQ(GetErrorInfo(0, nullptr), E_INVALIDARG);
}

// Another thread starts with an empty slot of its own, leaves this thread's alone, and its
// end releases what its slot held.
TEST(ErrorInfo, EachThreadHasItsOwnSlotReleasedWhenTheThreadEnds)
{
    ASSERT_EQ(SetErrorInfo(0, MakeError(u"main thread", 7).Get()), S_OK);
    ComPtr<IErrorInfo> error = MakeError(u"other thread", 8);
    HRESULT otherBefore = E_FAIL;
    ULONG heldBeforeExit = 0;
    {
        std::jthread other(
            [&]
            {
                IErrorInfo* info = nullptr;
                otherBefore = GetErrorInfo(0, &info);
                SetErrorInfo(0, error.Get());
                heldBeforeExit = error->AddRef(); // the owner's, the slot's and this one
                error->Release();
            });
    }
    EXPECT_EQ(otherBefore, S_FALSE);
    EXPECT_EQ(heldBeforeExit, 3u);
    EXPECT_EQ(error->AddRef(), 2u) << "the ended thread's slot let its reference go";
    error->Release();
    IErrorInfo* mine = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &mine), S_OK);
    EXPECT_EQ(Description(mine), "main thread");
    mine->Release();
}

TEST(ErrorInfo, ReferenceCountingIsThreadSafe)
{
    ComPtr<IErrorInfo> info = MakeError(u"shared", 1);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t)
        {
            threads.emplace_back(
                [&]
                {
                    for (int i = 0; i < 20000; ++i)
                    {
                        info->AddRef();
                        // Each thread passes the object through its own slot as well.
                        SetErrorInfo(0, info.Get());
                        info->Release();
                        IErrorInfo* back = nullptr;
                        GetErrorInfo(0, &back);
                        back->Release();
                    }
                });
        }
    }
    // Lost updates would leave a count other than the owner's single reference.
    EXPECT_EQ(info->AddRef(), 2u);
    EXPECT_EQ(info->Release(), 1u);
    EXPECT_EQ(Description(info.Get()), "shared");
}
} // namespace
