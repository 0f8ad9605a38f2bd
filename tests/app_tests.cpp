// The process entry: in this process, and the real program in another one.
#include <gtest/gtest.h>

#include "Diagnostics.h"
#include "TestUtil.h"
#include "WindowDriver.h"
#include "resource.h"

#include <string>

extern "C" int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int);

TEST(EntryTest, ComAlreadyInitialisedEndsWithItsStatusAndNoDialog)
{
    CDiagnosticsRecorder diag;
    ASSERT_EQ(S_OK, ::CoInitialize(nullptr));
    const int nExit = wWinMain(::GetModuleHandleW(nullptr), nullptr, const_cast<LPWSTR>(L""), SW_SHOWNORMAL);
    EXPECT_EQ(1, nExit) << "S_FALSE counts as a failure";
    EXPECT_TRUE(diag.HasReport(L"_AtlModule.InitializeCom() FAILED"));
    EXPECT_EQ(nullptr, WaitForThreadDialog(::GetCurrentThreadId(), nullptr, 0)) << "no dialog was shown";
    ::CoUninitialize();
}

TEST(EntryTest, RealProgramExitsWithZeroHoweverItIsClosed)
{
    const struct
    {
        const char* pszHow;
        UINT uMsg;
        WPARAM wParam;
    } kCases[] = {
        {"IDOK", WM_COMMAND, IDOK},
        {"IDCANCEL", WM_COMMAND, IDCANCEL},
        {"close box", WM_SYSCOMMAND, SC_CLOSE},
    };
    const std::wstring exe = BuildFolder() + L"\\Skerry.exe";
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(c.pszHow);
        // Arguments are ignored.
        CConsoleProcess console(exe, L"--build E:\\other.grf /x");
        ASSERT_TRUE(console.Started()) << "cannot start " << std::string(exe.begin(), exe.end());
        const HWND hWndDialog = console.Dialog();
        EXPECT_NE(nullptr, hWndDialog);
        if (hWndDialog != nullptr)
        {
            EXPECT_EQ(L"RTMP Server", WindowText(hWndDialog));
            EXPECT_EQ(L"E:\\MXF-DATA\\!\\3.GRF", ControlText(::GetDlgItem(hWndDialog, IDC_FILE)));
        }
        EXPECT_EQ(0u, console.CloseWith(c.uMsg, c.wParam));
    }
}

