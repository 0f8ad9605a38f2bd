// The console from the testers' zip on a machine where nothing else is
// installed. tests/testerzip.sh makes that machine (a new Wine prefix with the
// zip unpacked), names the unpacked console in SKERRY_EXE, runs one case at a
// time and the demo kit's scripts between them.
#include <gtest/gtest.h>

#include "TestUtil.h"
#include "WindowDriver.h"
#include "resource.h"

#include <string>

namespace
{

// A console started in a new prefix has Wine load its libraries first.
constexpr DWORD kStartMs = 30000;
constexpr DWORD kBoxMs = 10000;
// The kit's default test stream lasts 10 s.
constexpr DWORD kEndOfStreamMs = 60000;

std::wstring UnpackedConsole()
{
    wchar_t sz[MAX_PATH] = {};
    const DWORD cch = ::GetEnvironmentVariableW(L"SKERRY_EXE", sz, MAX_PATH);
    return cch > 0 && cch < MAX_PATH ? sz : L"";
}

// Opens the console's next message box, reads and closes it.
MessageBoxView TakeMessageBox(const CConsoleProcess& console, DWORD dwTimeoutMs)
{
    const HWND hWndBox = console.WaitForMessageBox(dwTimeoutMs);
    if (hWndBox == nullptr)
        return MessageBoxView();
    const MessageBoxView view = ReadMessageBox(hWndBox);
    DismissMessageBox(hWndBox);
    return view;
}

class TesterZipTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(exe.empty()) << "SKERRY_EXE names the unpacked console";
        ASSERT_TRUE(console.Started()) << "cannot start " << std::string(exe.begin(), exe.end());
        ASSERT_NE(nullptr, console.Dialog()) << "the dialog opens";
        EXPECT_EQ(L"RTMP Server", WindowText(console.Dialog()));
    }

    void TearDown() override { EXPECT_EQ(0u, console.CloseWith(WM_COMMAND, IDCANCEL)); }

    const std::wstring exe = UnpackedConsole();
    CConsoleProcess console{exe, L"", kStartMs};
};

} // namespace

// Before the kit is registered, or after it is unregistered again.
TEST_F(TesterZipTest, WithoutTheFiltersDefaultGraphSaysTheClassIsNotRegistered)
{
    console.PostClick(IDC_DEFAULT);
    const MessageBoxView box = TakeMessageBox(console, kBoxMs);
    ASSERT_NE(nullptr, box.hWnd) << "a message box after Default graph";
    EXPECT_EQ(L"Skerry", box.caption);
    EXPECT_EQ(0u, box.text.rfind(L"Can't build graph\n", 0)) << box.text;
    EXPECT_TRUE(EndsWith(box.text, L"\n" + StatusLine(REGDB_E_CLASSNOTREG))) << box.text;
    EXPECT_TRUE(box.bIcon);
}

// Once the kit's register.cmd has run.
TEST_F(TesterZipTest, WithTheDemoKitDefaultGraphPlaysToTheEnd)
{
    ASSERT_TRUE(console.Click(IDC_DEFAULT, kBoxMs)) << "no message box after Default graph";
    ASSERT_TRUE(console.Click(IDC_PLAY, kBoxMs)) << "no message box after Play";
    const MessageBoxView box = TakeMessageBox(console, kEndOfStreamMs);
    ASSERT_NE(nullptr, box.hWnd) << "no end of stream";
    EXPECT_EQ(L"Skerry", box.caption);
    EXPECT_EQ(L"The end", box.text);
}
