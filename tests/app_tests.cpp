// The process entry: in this process, and the real program in another one.
#include <gtest/gtest.h>

#include "Diagnostics.h"
#include "TestUtil.h"
#include "WindowDriver.h"
#include "resource.h"

#include <string>

extern "C" int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int);

namespace
{

// Skerry.exe lies in the folder above the tests.
std::wstring SkerryExePath()
{
    wchar_t sz[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, sz, MAX_PATH);
    std::wstring path = sz;
    path.resize(path.find_last_of(L'\\'));
    path.resize(path.find_last_of(L'\\'));
    return path + L"\\Skerry.exe";
}

struct WindowSearch
{
    DWORD dwProcessId;
    HWND hWnd;
};

BOOL CALLBACK FindProcessDialog(HWND hWnd, LPARAM lParam)
{
    auto* pSearch = reinterpret_cast<WindowSearch*>(lParam);
    DWORD dwProcessId = 0;
    ::GetWindowThreadProcessId(hWnd, &dwProcessId);
    if (dwProcessId == pSearch->dwProcessId && ClassNameOf(hWnd) == L"#32770" && ::IsWindowVisible(hWnd))
    {
        pSearch->hWnd = hWnd;
        return FALSE;
    }
    return TRUE;
}

// The text of a control in another process, which only the control knows.
std::wstring ControlText(HWND hWnd)
{
    wchar_t sz[MAX_PATH] = {};
    ::SendMessageW(hWnd, WM_GETTEXT, MAX_PATH, reinterpret_cast<LPARAM>(sz));
    return sz;
}

HWND WaitForProcessDialog(DWORD dwProcessId, DWORD dwTimeoutMs)
{
    const DWORD dwStart = ::GetTickCount();
    do
    {
        WindowSearch search = {dwProcessId, nullptr};
        ::EnumWindows(FindProcessDialog, reinterpret_cast<LPARAM>(&search));
        if (search.hWnd != nullptr)
            return search.hWnd;
        ::Sleep(20);
    } while (::GetTickCount() - dwStart < dwTimeoutMs);
    return nullptr;
}

} // namespace

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
    const std::wstring exe = SkerryExePath();
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
