// The process entry: in this process, and the real program in another one.
#include <gtest/gtest.h>

#include "Diagnostics.h"
#include "TestUtil.h"
#include "WindowDriver.h"
#include "resource.h"


#include <atomic>
#include <string>
#include <thread>

extern "C" int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int);

TEST(EntryTest, ComAlreadyInitialisedEndsWithItsStatusAndNoDialog)
{
    CDiagnosticsRecorder diag;
    ASSERT_EQ(S_OK, ::CoInitialize(nullptr));
    // A watcher looks for a dialog of this thread while the entry runs, and
    // closes one if it appears, so that a wrong entry fails instead of hanging.
    const DWORD dwThreadId = ::GetCurrentThreadId();
    std::atomic<bool> bReturned{false};
    HWND hWndSeen = nullptr;
    std::thread watcher([&] {
        while (!bReturned && hWndSeen == nullptr)
        {
            hWndSeen = WaitForThreadDialog(dwThreadId, nullptr, 0);
            if (hWndSeen != nullptr)
                ::PostMessageW(hWndSeen, WM_COMMAND, IDCANCEL, 0);
            ::Sleep(5);
        }
    });
    const int nExit = wWinMain(::GetModuleHandleW(nullptr), nullptr, const_cast<LPWSTR>(L""), SW_SHOWNORMAL);
    bReturned = true;
    watcher.join();
    EXPECT_EQ(nullptr, hWndSeen) << "a dialog was shown";
    EXPECT_EQ(1, nExit) << "S_FALSE counts as a failure";
    EXPECT_TRUE(diag.HasReport(L"_AtlModule.InitializeCom() FAILED"));
    ::CoUninitialize();
}

// The program's manifest (this test program carries the same one).
TEST(EntryTest, ManifestAsksForThemedControlsAndPerMonitorDpi)
{
    // The version-6 controls come through the process's activation context,
    // which redirects comctl32.dll to their assembly.
    ACTCTX_SECTION_KEYED_DATA data = {sizeof(data)};
    EXPECT_TRUE(::FindActCtxSectionStringW(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION, L"comctl32.dll",
                                           &data))
        << "comctl32.dll is not redirected to the common controls of version 6";

    using GetContextProc = DPI_AWARENESS_CONTEXT(WINAPI*)();
    using GetAwarenessProc = DPI_AWARENESS(WINAPI*)(DPI_AWARENESS_CONTEXT);
    HMODULE hUser = ::GetModuleHandleW(L"user32.dll");
    auto pfnGetContext = reinterpret_cast<GetContextProc>(
        reinterpret_cast<void*>(::GetProcAddress(hUser, "GetThreadDpiAwarenessContext")));
    auto pfnGetAwareness = reinterpret_cast<GetAwarenessProc>(
        reinterpret_cast<void*>(::GetProcAddress(hUser, "GetAwarenessFromDpiAwarenessContext")));
    ASSERT_NE(nullptr, pfnGetContext);
    ASSERT_NE(nullptr, pfnGetAwareness);
    EXPECT_EQ(DPI_AWARENESS_PER_MONITOR_AWARE, pfnGetAwareness(pfnGetContext()));
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
