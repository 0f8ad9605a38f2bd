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
        std::wstring commandLine = L"\"" + exe + L"\" --build E:\\other.grf /x";
        STARTUPINFOW si = {sizeof(si)};
        PROCESS_INFORMATION pi = {};
        ASSERT_TRUE(::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                     &si, &pi))
            << "cannot start " << std::string(exe.begin(), exe.end());
        HWND hWndDialog = WaitForProcessDialog(pi.dwProcessId, 10000);
        EXPECT_NE(nullptr, hWndDialog);
        if (hWndDialog != nullptr)
        {
            EXPECT_EQ(L"RTMP Server", WindowText(hWndDialog));
            EXPECT_EQ(L"E:\\MXF-DATA\\!\\3.GRF", ControlText(::GetDlgItem(hWndDialog, IDC_FILE)));
            ::PostMessageW(hWndDialog, c.uMsg, c.wParam, 0);
        }
        EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(pi.hProcess, 10000));
        DWORD dwExit = STILL_ACTIVE;
        ::GetExitCodeProcess(pi.hProcess, &dwExit);
        EXPECT_EQ(0u, dwExit);
        if (dwExit == STILL_ACTIVE)
            ::TerminateProcess(pi.hProcess, 1);
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
    }
}
