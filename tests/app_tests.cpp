// The process entry: in this process, and the real program in another one.
#include <gtest/gtest.h>

#include "Diagnostics.h"
#include "TestUtil.h"
#include "WindowDriver.h"
#include "SkerryVersion.h"
#include "resource.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

extern "C" int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int);

namespace
{

// The version resource of a program file; empty when it has none.
std::vector<BYTE> VersionInfoOf(const std::wstring& file)
{
    DWORD dwHandle = 0;
    const DWORD cb = ::GetFileVersionInfoSizeW(file.c_str(), &dwHandle);
    std::vector<BYTE> info(cb);
    if (cb == 0 || !::GetFileVersionInfoW(file.c_str(), 0, cb, info.data()))
        info.clear();
    return info;
}

// A value of the version resource's US English strings; empty when missing.
std::wstring VersionString(std::vector<BYTE>& info, const wchar_t* pszName)
{
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + pszName;
    void* pv = nullptr;
    UINT cch = 0;
    if (info.empty() || !::VerQueryValueW(info.data(), path.c_str(), &pv, &cch) || pv == nullptr)
        return L"";
    return static_cast<const wchar_t*>(pv);
}

// The manifest a program file holds for its process, as its bytes.
std::string ManifestOf(const std::wstring& file)
{
    std::string manifest;
    const HMODULE hModule = ::LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (hModule == nullptr)
        return manifest;
    if (const HRSRC hInfo = ::FindResourceW(hModule, MAKEINTRESOURCEW(1), RT_MANIFEST))
    {
        const HGLOBAL hData = ::LoadResource(hModule, hInfo);
        const char* pch = hData != nullptr ? static_cast<const char*>(::LockResource(hData)) : nullptr;
        if (pch != nullptr)
            manifest.assign(pch, ::SizeofResource(hModule, hInfo));
    }
    ::FreeLibrary(hModule);
    return manifest;
}

} // namespace

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

// project() in CMakeLists.txt is the one place the version is written.
TEST(EntryTest, VersionResourceAndManifestNameTheConfiguredVersion)
{
    const std::wstring exe = BuildFolder() + L"\\Skerry.exe";
    std::vector<BYTE> info = VersionInfoOf(exe);
    ASSERT_FALSE(info.empty()) << "Skerry.exe has a version resource";
    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT cb = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&pFixed), &cb));
    ASSERT_NE(nullptr, pFixed);
    const WORD kNumbers[] = {SKERRY_VERSION_NUMBERS};
    EXPECT_EQ(MAKELONG(kNumbers[1], kNumbers[0]), pFixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(kNumbers[3], kNumbers[2]), pFixed->dwFileVersionLS);
    EXPECT_EQ(pFixed->dwFileVersionMS, pFixed->dwProductVersionMS);
    EXPECT_EQ(pFixed->dwFileVersionLS, pFixed->dwProductVersionLS);

    const std::string text = SKERRY_VERSION_TEXT;
    for (const wchar_t* pszName : {L"FileVersion", L"ProductVersion"})
        EXPECT_EQ(std::wstring(text.begin(), text.end()), VersionString(info, pszName))
            << std::string(pszName, pszName + ::wcslen(pszName));

    const std::string manifest = ManifestOf(exe);
    EXPECT_NE(std::string::npos, manifest.find("name=\"Skerry\" version=\"" + text + "\"")) << manifest;
}
