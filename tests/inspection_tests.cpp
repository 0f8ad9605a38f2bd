// Showing the graph in the graph editor: the Running Object Table entry, the
// editor's list entries, where the editor is looked for, and the whole road
// through the real dialog with real editor processes.
#include <gtest/gtest.h>

#include "FakeComponents.h"
#include "Diagnostics.h"
#include "EditorDriver.h"
#include "Helpers.h"
#include "MainDialog.h"
#include "TestUtil.h"
#include "WindowDriver.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

struct CGraphEditAccess
{
    static bool IsGraphEntry(LPCWSTR psz, IUnknown* pGraph) { return CGraphEdit::IsGraphEntry(psz, pGraph); }
    static HANDLE Process(CGraphEdit& edit) { return edit.m_rgPI.hProcess; }
    // What each window test answers for a null window: go on enumerating.
    static std::vector<BOOL> MatchNullWindows(CGraphEdit& edit)
    {
        return {edit.MatchMainWindow(nullptr), edit.MatchConnectDialog(nullptr), edit.MatchListBox(nullptr)};
    }
    static int FindGraphEntry(CGraphEdit& edit, HWND hWndListBox, IUnknown* pGraph)
    {
        edit.m_hWndListBox = hWndListBox;
        int i = -2;
        EXPECT_EQ(S_OK, edit.FindGraphEntry(pGraph, &i));
        edit.m_hWndListBox = nullptr;
        return i;
    }
};

namespace
{

constexpr wchar_t kProppageKey[] = L"CLSID\\{29E07010-BD27-11CE-AB59-00AA00577DA1}\\InprocServer32";
constexpr wchar_t kGraphEditKey[] = L"Software\\Microsoft\\Shared Tools\\Graphedit";

std::wstring Hex8(unsigned u)
{
    wchar_t sz[16];
    std::swprintf(sz, 16, L"%08x", u);
    return sz;
}

// The display names of the table's entries that this process published.
std::vector<std::wstring> OwnRotEntries()
{
    std::vector<std::wstring> names;
    CComPtr<IRunningObjectTable> spROT;
    CComPtr<IEnumMoniker> spEnum;
    CComPtr<IBindCtx> spBindCtx;
    if (::GetRunningObjectTable(0, &spROT) != S_OK || spROT->EnumRunning(&spEnum) != S_OK ||
        ::CreateBindCtx(0, &spBindCtx) != S_OK)
        return names;
    const std::wstring pid = L" pid " + Hex8(::GetCurrentProcessId());
    for (;;)
    {
        CComPtr<IMoniker> spMoniker;
        if (spEnum->Next(1, &spMoniker, nullptr) != S_OK)
            break;
        LPOLESTR psz = nullptr;
        if (SUCCEEDED(spMoniker->GetDisplayName(spBindCtx, nullptr, &psz)) && psz != nullptr)
        {
            if (EndsWith(psz, pid))
                names.push_back(psz);
            ::CoTaskMemFree(psz);
        }
    }
    return names;
}

// Whether the registry hands out the unnamed value of the key, stored as
// text without its terminator, with a terminator added when there is room.
bool RegistryTerminates(HKEY hRoot, LPCWSTR pszKey, const std::wstring& stored)
{
    HKEY hKey = nullptr;
    if (::RegOpenKeyExW(hRoot, pszKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    std::vector<wchar_t> buffer(stored.size() + 8, L'Z');
    DWORD cb = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    const LONG lRes = ::RegQueryValueExW(hKey, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &cb);
    ::RegCloseKey(hKey);
    return lRes == ERROR_SUCCESS && cb == (stored.size() + 1) * sizeof(wchar_t) && buffer[stored.size()] == L'\0';
}

// The file and process id of the last editor the console says it started.
std::pair<std::wstring, DWORD> StartedEditor(const CDiagnosticsRecorder& diag)
{
    const std::wstring head = L"CGraphEdit::LoadGraphEdit(): started ";
    const std::wstring middle = L", process ";
    std::pair<std::wstring, DWORD> started(std::wstring(), 0);
    for (const auto& trace : diag.Traces())
    {
        const size_t nMiddle = trace.text.rfind(middle);
        if (trace.text.rfind(head, 0) != 0 || nMiddle == std::wstring::npos)
            continue;
        started.first = trace.text.substr(head.size(), nMiddle - head.size());
        started.second = static_cast<DWORD>(std::wcstoul(trace.text.c_str() + nMiddle + middle.size(), nullptr, 10));
    }
    return started;
}

// A minimal COM object, for publishing in the table at a chosen address.
class CPlainObject : public IUnknown
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = IsEqualIID(riid, IID_IUnknown) ? this : nullptr;
        if (*ppv == nullptr)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_cRef; }
    STDMETHODIMP_(ULONG) Release() override { return --m_cRef; }
    ULONG m_cRef = 1;
};

class ComTest : public ::testing::Test
{
protected:
    ComTest() { ::CoInitialize(nullptr); }
    ~ComTest() override { ::CoUninitialize(); }
};

} // namespace

// ---------------------------------------------------------------------------
// List entries and table names

TEST(GraphEntryTest, MatchesThisProcessAndGraphOnly)
{
    CDiagnosticsRecorder diag;
    const unsigned uPid = ::GetCurrentProcessId();
    // A graph pointer whose low half has its top bit set: compared unsigned.
    auto* pGraph = reinterpret_cast<IUnknown*>(static_cast<UINT_PTR>(0x00000012F00DBEEFULL));
    const std::wstring P = Hex8(uPid);
    wchar_t szPidPrefixed[32];
    std::swprintf(szPidPrefixed, 32, L"0x%010X", uPid);

    const struct
    {
        std::wstring text;
        bool bMatch;
    } kCases[] = {
        {L"pid " + P + L" IFilterGraph = f00dbeef", true},
        {L"pid " + P + L" (Skerry.exe) IFilterGraph = f00dbeef", true},
        {std::wstring(L"pid ") + szPidPrefixed + L" (remark) IFilterGraph = 0xF00DBEEF", true},
        {L"some text pid " + P + L" more IFilterGraph = F00DBEEF", true},
        {L"pid " + P + L" IFilterGraph = f00dbeef ", false},           // text after the number
        {L"pid " + P + L"(Skerry.exe) IFilterGraph = f00dbeef", false}, // no blank after the pid
        {L"PID " + P + L" IFilterGraph = f00dbeef", false},            // markers are case-sensitive
        {L"pid " + Hex8(uPid + 1) + L" IFilterGraph = f00dbeef", false},
        {L"pid " + P + L" IFilterGraph = f00dbeee", false},
        {L"pid " + P + L" IFilterGraph = 12f00dbeef", false},  // not the low 32 bits
        {L"pid " + P + L" IFilterGraph = ", false},
        {L"pid  IFilterGraph = f00dbeef", false},
        {L"pid", false},
        {L"", false},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(c.bMatch, CGraphEditAccess::IsGraphEntry(c.text.c_str(), pGraph)) << c.text.c_str();

    EXPECT_FALSE(CGraphEditAccess::IsGraphEntry(nullptr, pGraph));
    EXPECT_TRUE(diag.HasReport(L"pszCookieName != 0"));
}

TEST(GraphEntryTest, ListPicksTheFirstMatchAndSkipsEntriesTooLongToBeOurs)
{
    auto* pGraph = reinterpret_cast<IUnknown*>(static_cast<UINT_PTR>(0x1234ABCD));
    const std::wstring entry = L"pid " + Hex8(::GetCurrentProcessId()) + L" (app.exe) IFilterGraph = 1234abcd";
    HWND hWndList = ::CreateWindowExW(0, L"ListBox", nullptr, LBS_HASSTRINGS, 0, 0, 100, 100, nullptr, nullptr,
                                      nullptr, nullptr);
    ASSERT_NE(nullptr, hWndList);
    const std::wstring entries[] = {
        L"",
        std::wstring(40, L' ') + entry, // matches, but 64 characters or more
        L"pid " + Hex8(::GetCurrentProcessId() + 1) + L" (app.exe) IFilterGraph = 1234abcd",
        entry,
        entry,
    };
    for (const auto& text : entries)
        ::SendMessageW(hWndList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    ASSERT_GE(entries[1].size(), 64u);

    CGraphEdit edit;
    EXPECT_EQ(3, CGraphEditAccess::FindGraphEntry(edit, hWndList, pGraph));

    // The longest entry that is read is 63 characters.
    for (const size_t cch : {63u, 64u})
    {
        HWND hWndOne = ::CreateWindowExW(0, L"ListBox", nullptr, LBS_HASSTRINGS, 0, 0, 100, 100, nullptr, nullptr,
                                         nullptr, nullptr);
        const std::wstring padded = std::wstring(cch - entry.size(), L' ') + entry;
        ::SendMessageW(hWndOne, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(padded.c_str()));
        EXPECT_EQ(cch == 63u ? 0 : -1, CGraphEditAccess::FindGraphEntry(edit, hWndOne, pGraph)) << cch;
        ::DestroyWindow(hWndOne);
    }
    ::SendMessageW(hWndList, LB_DELETESTRING, 4, 0);
    ::SendMessageW(hWndList, LB_DELETESTRING, 3, 0);
    EXPECT_EQ(-1, CGraphEditAccess::FindGraphEntry(edit, hWndList, pGraph));
    ::DestroyWindow(hWndList);
    EXPECT_EQ(-1, CGraphEditAccess::FindGraphEntry(edit, hWndList, pGraph)) << "no list box";
}

TEST(GraphEntryTest, WindowTestsReportANullWindow)
{
    CDiagnosticsRecorder diag;
    CGraphEdit edit;
    EXPECT_EQ((std::vector<BOOL>{TRUE, TRUE, TRUE}), CGraphEditAccess::MatchNullWindows(edit));
    EXPECT_EQ((std::vector<std::wstring>{L"hWnd != 0", L"hWnd != 0", L"hWnd != 0"}), diag.Reports());
}

TEST_F(ComTest, RotEntryNamesTheLowHalfOfTheGraphPointerAndTheProcess)
{
#ifdef _WIN64
    // An object placed where its address has a high half and a short low half.
    constexpr UINT_PTR kBase = 0x00000AB000000000ULL;
    const std::wstring name = L"0000abc0";
#else
    // The whole address, with its leading zero.
    constexpr UINT_PTR kBase = 0x0AB00000;
    const std::wstring name = L"0ab0abc0";
#endif
    void* pMemory =
        ::VirtualAlloc(reinterpret_cast<void*>(kBase), 0x10000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(nullptr, pMemory) << "the test address is taken";
    auto* pObject = new (static_cast<BYTE*>(pMemory) + 0xABC0) CPlainObject;
    ASSERT_EQ(kBase + 0xABC0, reinterpret_cast<UINT_PTR>(pObject));

    DWORD dwCookie = 0xFFFF;
    ASSERT_TRUE(SUCCEEDED(AddGraphToRot(pObject, &dwCookie)));
    EXPECT_NE(0u, dwCookie);
    const std::wstring expected = L"!FilterGraph " + name + L" pid " + Hex8(::GetCurrentProcessId());
    EXPECT_EQ(std::vector<std::wstring>{expected}, OwnRotEntries());

    // Removed, added again: never two entries at once.
    RemoveGraphFromRot(dwCookie);
    EXPECT_TRUE(OwnRotEntries().empty());
    ASSERT_TRUE(SUCCEEDED(AddGraphToRot(pObject, &dwCookie)));
    EXPECT_EQ(std::vector<std::wstring>{expected}, OwnRotEntries());
    RemoveGraphFromRot(dwCookie);
    RemoveGraphFromRot(dwCookie); // a cookie the table no longer knows
    RemoveGraphFromRot(0);
    EXPECT_TRUE(OwnRotEntries().empty());
    EXPECT_EQ(1u, pObject->m_cRef) << "the table gave back its references";
    ::VirtualFree(pMemory, 0, MEM_RELEASE);
}

TEST_F(ComTest, StubKeeperHoldsOneStubOfEachEditorInterfaceUntilReleased)
{
    CComPtr<CFakeGraphManager> spGraph = MakeFake<CFakeGraphManager>();
    CComPtr<CFakeFilter> spFilter = MakeFake<CFakeFilter>();
    spFilter->AddPin(PINDIR_OUTPUT);
    ASSERT_EQ(S_OK, spGraph->AddFilter(spFilter, L"Filter"));
    const ULONG cGraphRefs = spGraph->RefCount();
    const ULONG cFilterRefs = spFilter->RefCount();
    const ULONG cPinRefs = spFilter->Pin(0)->RefCount();

    CStubKeeper keeper;
    keeper.KeepEditorInterfaces(spGraph->Identity());
    EXPECT_EQ(5u, keeper.Count()) << "the graph, a filter enumerator, a filter, a pin enumerator and a pin";
    EXPECT_GT(spFilter->Pin(0)->RefCount(), cPinRefs);

    keeper.Release();
    EXPECT_EQ(0u, keeper.Count());
    EXPECT_EQ(cGraphRefs, spGraph->RefCount()) << "every stub and the enumerators let go";
    EXPECT_EQ(cFilterRefs, spFilter->RefCount());
    EXPECT_EQ(cPinRefs, spFilter->Pin(0)->RefCount());

    keeper.KeepEditorInterfaces(nullptr);
    EXPECT_EQ(0u, keeper.Count()) << "nothing to hold";
}

TEST(RotEntryTest, RefusesMissingArguments)
{
    CDiagnosticsRecorder diag;
    CPlainObject object;
    DWORD dwCookie = 7;
    EXPECT_EQ(E_INVALIDARG, AddGraphToRot(nullptr, &dwCookie));
    EXPECT_EQ(7u, dwCookie);
    EXPECT_EQ(E_POINTER, AddGraphToRot(&object, nullptr));
    EXPECT_EQ((std::vector<std::wstring>{L"pGraph != 0", L"pdwCookie != 0"}), diag.Reports());
}

// ---------------------------------------------------------------------------
// Where the editor is looked for

class EditorLookupTest : public ComTest
{
protected:
    EditorLookupTest()
    {
        m_spGraph.CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER);
        m_dir = MakeTempFolder(L"editor");
        // An editor that starts but never shows: the lookup is all that runs.
        const std::wstring hidden = BuildFolder() + L"\\testbed\\graphedit\\graphedt-hidden.exe";
        ::CopyFileW(hidden.c_str(), (m_dir + L"\\graphedt.exe").c_str(), FALSE);
        ::CopyFileW(hidden.c_str(), (m_dir + L"\\other.exe").c_str(), FALSE);
    }
    ~EditorLookupTest() override
    {
        m_edit.Close();
        m_spGraph.Release();
        RemoveTempFolder(m_dir);
    }

    // Shows the graph; returns the status and the file the editor was started
    // from, as the console's trace names it (with backslashes).
    std::pair<HRESULT, std::wstring> Show()
    {
        CDiagnosticsRecorder diag(CDiagnosticsRecorder::Nesting::PassOn);
        const HRESULT hr = m_edit.ShowGraph(m_spGraph);
        m_edit.Close();
        std::wstring image = StartedEditor(diag).first;
        std::replace(image.begin(), image.end(), L'/', L'\\');
        return {hr, image};
    }

    CComPtr<IGraphBuilder> m_spGraph;
    std::wstring m_dir;
    CGraphEdit m_edit;
    CRegistryValue m_proppage{HKEY_CLASSES_ROOT, kProppageKey, nullptr};
    CRegistryValue m_path{HKEY_LOCAL_MACHINE, kGraphEditKey, L"Path"};
};

TEST_F(EditorLookupTest, FindsTheEditorByPathOrBesideTheLibrary)
{
    const std::wstring slashed = [&] {
        std::wstring dir = m_dir;
        for (auto& ch : dir)
            ch = ch == L'\\' ? L'/' : ch;
        return dir;
    }();
    const HRESULT hrNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    const struct
    {
        const char* pszCase;
        std::optional<std::wstring> library; // empty: the library is not registered
        std::optional<std::wstring> path;    // empty: no "Path" value
        HRESULT hr;
        std::wstring image;
    } kCases[] = {
        {"Path names the editor", m_dir + L"\\proppage.dll", m_dir + L"\\other.exe", S_FALSE, m_dir + L"\\other.exe"},
        {"no Path: beside the library", m_dir + L"\\proppage.dll", std::nullopt, S_FALSE, m_dir + L"\\graphedt.exe"},
        {"no Path: beside a library named with slashes", slashed + L"/proppage.dll", std::nullopt, S_FALSE,
         m_dir + L"\\graphedt.exe"},
        {"Path to a missing file: beside the library", m_dir + L"\\proppage.dll", m_dir + L"\\missing.exe", S_FALSE,
         m_dir + L"\\graphedt.exe"},
        {"a library without a folder", L"proppage.dll", std::nullopt, hrNotFound, L""},
        {"an empty library value", L"", std::nullopt, hrNotFound, L""},
        {"a Path in a missing folder is not retried", m_dir + L"\\proppage.dll", m_dir + L"\\none\\graphedt.exe",
         HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), L""},
        {"the library not registered", std::nullopt, m_dir + L"\\other.exe", REGDB_E_CLASSNOTREG, L""},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(c.pszCase);
        if (c.library)
            m_proppage.SetText(*c.library);
        else
            m_proppage.Delete();
        if (c.path)
            m_path.SetText(*c.path);
        else
            m_path.Delete();

        const auto [hr, image] = Show();
        EXPECT_EQ(c.hr, hr);
        EXPECT_EQ(0, _wcsicmp(c.image.c_str(), image.c_str())) << "ran " << std::string(image.begin(), image.end());
    }
}

TEST_F(EditorLookupTest, OverlongAndUnterminatedValuesAreNotRead)
{
    CDiagnosticsRecorder diag;
    const std::wstring overlong = m_dir + L"\\" + std::wstring(300, L'x') + L"\\proppage.dll";

    // The library's value must be read whole, or the library counts as missing.
    // A value that fills the buffer without a terminator leaves no room for one.
    m_path.SetText(m_dir + L"\\other.exe");
    for (bool bUnterminated : {false, true})
    {
        SCOPED_TRACE(bUnterminated ? "unterminated library value" : "overlong library value");
        if (bUnterminated)
            m_proppage.SetUnterminated(std::wstring(MAX_PATH, L'u'));
        else
            m_proppage.SetText(overlong);
        EXPECT_EQ(REGDB_E_CLASSNOTREG, Show().first);
    }
    EXPECT_TRUE(diag.HasReport(L"CGraphEdit::ShowGraph(): Proppage.dll is not registered"));

    // A short value without its terminator is read exactly where the
    // registry terminates it in the buffer (Wine does), and refused where it
    // does not (Windows): never read past its end.
    const std::wstring shortValue = m_dir + L"\\proppage.dll";
    m_proppage.SetUnterminated(shortValue);
    const bool bTerminated = RegistryTerminates(HKEY_CLASSES_ROOT, kProppageKey, shortValue);
    const auto [hrShort, imageShort] = Show();
    if (bTerminated)
    {
        EXPECT_EQ(S_FALSE, hrShort);
        EXPECT_EQ(0, _wcsicmp((m_dir + L"\\other.exe").c_str(), imageShort.c_str()));
    }
    else
    {
        EXPECT_EQ(REGDB_E_CLASSNOTREG, hrShort);
        EXPECT_TRUE(imageShort.empty()) << "no editor was started";
    }

    // An unreadable Path falls back to the bare file name, then beside the library.
    m_proppage.SetText(m_dir + L"\\proppage.dll");
    for (bool bUnterminated : {false, true})
    {
        SCOPED_TRACE(bUnterminated ? "unterminated Path" : "overlong Path");
        if (bUnterminated)
            m_path.SetUnterminated(std::wstring(MAX_PATH, L'u'));
        else
            m_path.SetText(overlong);
        const auto [hr, image] = Show();
        EXPECT_EQ(S_FALSE, hr);
        EXPECT_EQ(0, _wcsicmp((m_dir + L"\\graphedt.exe").c_str(), image.c_str()));
    }
}

TEST_F(EditorLookupTest, HiddenMainWindowGivesStatusOneAfterPolling)
{
    CDiagnosticsRecorder diag;
    m_proppage.SetText(m_dir + L"\\proppage.dll");
    m_path.SetText(m_dir + L"\\graphedt.exe");
    EXPECT_EQ(S_FALSE, m_edit.ShowGraph(m_spGraph));
    // Given up on, the editor was asked to quit at once, not left running.
    EXPECT_EQ(nullptr, CGraphEditAccess::Process(m_edit));
    const DWORD dwEditor = StartedEditor(diag).second;
    ASSERT_NE(0u, dwEditor);
    HANDLE hEditor = ::OpenProcess(SYNCHRONIZE, FALSE, dwEditor);
    if (hEditor != nullptr)
    {
        EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(hEditor, 1000)) << "the editor still runs";
        ::CloseHandle(hEditor);
    }
    EXPECT_EQ(1u, OwnRotEntries().size()) << "the graph stays published";

    std::vector<std::wstring> errors;
    size_t cPolls = 0;
    for (const auto& trace : diag.Traces())
    {
        if (trace.nLevel == 10)
            ++cPolls;
        else if (trace.nLevel == 2)
            errors.push_back(trace.text);
    }
    EXPECT_GE(cPolls, 5u) << "about 100 ms of polling every 10 ms";
    EXPECT_EQ((std::vector<std::wstring>{L"###Err### CGraphEdit::WaitWhileHidden(): Wait time is ending\n",
                                         L"###Err### CGraphEdit::FindMainWindow(): GraphEdit window not found\n"}),
              errors);
    m_edit.Close();
    EXPECT_TRUE(OwnRotEntries().empty());
}

// ---------------------------------------------------------------------------
// The editor on its own

namespace
{

struct DialogSearch
{
    DWORD dwProcessId;
    size_t cDialogs;
};

BOOL CALLBACK CountProcessDialog(HWND hWnd, LPARAM lParam)
{
    auto* pSearch = reinterpret_cast<DialogSearch*>(lParam);
    DWORD dwProcessId = 0;
    ::GetWindowThreadProcessId(hWnd, &dwProcessId);
    if (dwProcessId == pSearch->dwProcessId && ClassNameOf(hWnd) == L"#32770")
        ++pSearch->cDialogs;
    return TRUE;
}

// The dialogs of a process, shown or not yet shown.
size_t ProcessDialogCount(DWORD dwProcessId)
{
    DialogSearch search = {dwProcessId, 0};
    ::EnumWindows(CountProcessDialog, reinterpret_cast<LPARAM>(&search));
    return search.cDialogs;
}

} // namespace

TEST(GraphEditorTest, SecondConnectCommandDoesNotOpenASecondDialog)
{
    const std::wstring exe = BuildFolder() + L"\\testbed\\graphedit\\graphedt.exe";
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(::CreateProcessW(exe.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    ::WaitForInputIdle(pi.hProcess, 5000);
    std::vector<HWND> editors;
    for (int nTry = 0; nTry < 250 && editors.empty(); ++nTry, ::Sleep(20))
    {
        for (HWND hWnd : EditorWindows())
        {
            DWORD dwProcessId = 0;
            ::GetWindowThreadProcessId(hWnd, &dwProcessId);
            if (dwProcessId == pi.dwProcessId)
                editors.push_back(hWnd);
        }
    }
    ASSERT_EQ(1u, editors.size());

    // The second command arrives while the first one's dialog runs its loop.
    constexpr WPARAM kConnectCommand = 0x8034;
    ::PostMessageW(editors[0], WM_COMMAND, kConnectCommand, 0);
    ::PostMessageW(editors[0], WM_COMMAND, kConnectCommand, 0);
    size_t cMost = 0;
    for (int nTry = 0; nTry < 100; ++nTry, ::Sleep(10)) // a second dialog would open within this second
        cMost = std::max(cMost, ProcessDialogCount(pi.dwProcessId));
    EXPECT_EQ(1u, cMost);

    ::TerminateProcess(pi.hProcess, 0);
    ::WaitForSingleObject(pi.hProcess, 5000);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
}

// ---------------------------------------------------------------------------
// "Show graph" through the dialog, with the installed editor

namespace
{

class ShowGraphTest : public ::testing::Test
{
protected:
    ShowGraphTest() : host([this] { return filters.Register(); }) {}

    // The one editor window, once "Show graph" has returned.
    HWND OnlyEditor(DWORD dwExceptProcessId = 0)
    {
        std::vector<HWND> editors;
        for (int nTry = 0; nTry < 100 && editors.empty(); ++nTry, ::Sleep(20))
            editors = EditorWindows(dwExceptProcessId);
        EXPECT_EQ(1u, editors.size());
        return editors.empty() ? nullptr : editors.front();
    }

    CDiagnosticsRecorder diag;
    FakeVelkFilters filters;
    CDialogHost host;
};

} // namespace

TEST_F(ShowGraphTest, EditorAttachesToTheConsoleGraphAndQuitsWithIt)
{
    ASSERT_TRUE(host.Click(IDC_DEFAULT));
    ASSERT_TRUE(host.Click(IDC_SHOW, 10000)) << "a message box is open";
    HWND hWndEditor = OnlyEditor();
    ASSERT_NE(nullptr, hWndEditor);

    const std::vector<std::wstring> lines = EditorLines(hWndEditor);
    for (const wchar_t* pszName : {L"Video Generator", L"H264 Encoder", L"AAC Encoder", L"RTMP Server"})
        EXPECT_EQ(1u, CountStartingWith(lines, std::wstring(L"Filter: ") + pszName + L" {")) << pszName;
    EXPECT_EQ(4u, CountStartingWith(lines, L"Filter: "));
    EXPECT_EQ(4u, CountStartingWith(lines, L"Connection: "));
    EXPECT_EQ(2u, CountStartingWith(lines, L"Connection: Video Generator.")) << "video and audio";
    EXPECT_EQ(1u, CountStartingWith(lines, L"Connection: H264 Encoder."));
    EXPECT_EQ(1u, CountStartingWith(lines, L"Connection: AAC Encoder."));

    // Each wait tells how long it took, in the order they ran, and none gave way.
    std::vector<std::wstring> waits;
    for (const auto& trace : diag.Traces())
    {
        EXPECT_NE(2u, trace.nLevel) << trace.text;
        if (trace.nLevel == 4 && EndsWith(trace.text, L" ms\n"))
            waits.push_back(trace.text);
    }
    const wchar_t* const rgpszWaits[] = {
        L"CGraphEdit::WaitForEditorWindow(): main window after ", L"CGraphEdit::WaitWhileHidden(): visible after ",
        L"CGraphEdit::SelectRemoteGraph(): connect dialog after pass ",
        L"CGraphEdit::SelectGraphEntry(): entry 0 found, list answered in ", L"CGraphEdit::ShowGraph(): hr=0x0 after "};
    ASSERT_EQ(_countof(rgpszWaits), waits.size());
    for (size_t i = 0; i < waits.size(); ++i)
        EXPECT_EQ(0u, waits[i].rfind(rgpszWaits[i], 0)) << waits[i];

    // The editor registered for the console's bitness is the one started.
    HANDLE hEditor = OpenProcessOf(hWndEditor);
    EXPECT_EQ(OwnMachine(), ProcessMachine(hEditor));

    // Closing the console withdraws the entry and makes the editor quit.
    EXPECT_EQ(IDCANCEL, host.CloseWith(WM_COMMAND, IDCANCEL, 0));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(hEditor, 1000));
    ::CloseHandle(hEditor);
    EXPECT_TRUE(OwnRotEntries().empty());
}

TEST_F(ShowGraphTest, EditorEndsNamesThatComeWithoutTerminator)
{
    filters.spServer->AnswerUnterminatedNames();
    ASSERT_TRUE(host.Click(IDC_DEFAULT));
    ASSERT_TRUE(host.Click(IDC_SHOW, 10000)) << "a message box is open";
    HWND hWndEditor = OnlyEditor();
    ASSERT_NE(nullptr, hWndEditor);

    // The names are cut to what their arrays can hold with a terminator.
    const std::vector<std::wstring> lines = EditorLines(hWndEditor);
    const std::wstring filter(MAX_FILTER_NAME - 1, L'n');
    const std::wstring pin = L"    Pin: " + filter + L"." + std::wstring(MAX_PIN_NAME - 1, L'p') + L" (input)";
    EXPECT_EQ(1u, CountStartingWith(lines, L"Filter: " + filter + L" {"));
    EXPECT_EQ(2, std::count(lines.begin(), lines.end(), pin));
}

TEST_F(ShowGraphTest, ShowingAgainReplacesTheEditor)
{
    ASSERT_TRUE(host.Click(IDC_DEFAULT));
    ASSERT_TRUE(host.Click(IDC_SHOW, 10000));
    HWND hWndFirst = OnlyEditor();
    ASSERT_NE(nullptr, hWndFirst);
    HANDLE hFirst = OpenProcessOf(hWndFirst);
    const DWORD dwFirst = ::GetProcessId(hFirst);

    ASSERT_TRUE(host.Click(IDC_SHOW, 10000));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(hFirst, 2000)) << "the first editor quits";
    ::CloseHandle(hFirst);
    HWND hWndSecond = OnlyEditor(dwFirst);
    ASSERT_NE(nullptr, hWndSecond);
    EXPECT_EQ(4u, CountStartingWith(EditorLines(hWndSecond), L"Connection: "));
    EXPECT_EQ(1u, OwnRotEntries().size()) << "one table entry at a time";
}

TEST_F(ShowGraphTest, WithoutGraphSaysItCannot)
{
    const MessageBoxView box = host.ClickForMessageBox(IDC_SHOW);
    ASSERT_NE(nullptr, box.hWnd);
    EXPECT_EQ(L"Can't show graph\n" + SystemText(E_FAIL) + L"\nError 0x80004005", box.text);
    EXPECT_TRUE(EditorWindows().empty());
}

// A tester on 64-bit Windows may have the editor of the other bitness
// registered: it attaches through the table and the platform's proxies all
// the same.
TEST_F(ShowGraphTest, EditorOfTheOtherBitnessAttachesToTheConsoleGraph)
{
    const auto other = ReadRegistryText(HKEY_LOCAL_MACHINE, kGraphEditKey, L"Path", kOtherRegistryView);
    ASSERT_TRUE(other) << "the set-up installs the editors of both bitnesses";
    CRegistryValue path(HKEY_LOCAL_MACHINE, kGraphEditKey, L"Path");
    path.SetText(*other);

    ASSERT_TRUE(host.Click(IDC_DEFAULT));
    ASSERT_TRUE(host.Click(IDC_SHOW, 10000)) << "a message box is open";
    HWND hWndEditor = OnlyEditor();
    ASSERT_NE(nullptr, hWndEditor);
    HANDLE hEditor = OpenProcessOf(hWndEditor);
    EXPECT_NE(OwnMachine(), ProcessMachine(hEditor));

    const std::vector<std::wstring> lines = EditorLines(hWndEditor);
    EXPECT_EQ(4u, CountStartingWith(lines, L"Filter: "));
    EXPECT_EQ(4u, CountStartingWith(lines, L"Connection: "));
    for (const auto& trace : diag.Traces())
        EXPECT_NE(2u, trace.nLevel) << trace.text;

    EXPECT_EQ(IDCANCEL, host.CloseWith(WM_COMMAND, IDCANCEL, 0));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(hEditor, 1000)) << "it quits with the console";
    ::CloseHandle(hEditor);
}

// The property-page library registered for the other bitness alone: the box
// says the class is not registered, and a trace line names the other
// registration.
TEST_F(ShowGraphTest, LibraryRegisteredForTheOtherBitnessOnlyIsNotRegisteredAndTraced)
{
    const auto other = ReadRegistryText(HKEY_CLASSES_ROOT, kProppageKey, nullptr, kOtherRegistryView);
    ASSERT_TRUE(other) << "the set-up installs the editors of both bitnesses";
    CRegistryValue own(HKEY_CLASSES_ROOT, kProppageKey, nullptr);
    own.Delete();

    ASSERT_TRUE(host.Click(IDC_DEFAULT));
    const MessageBoxView box = host.ClickForMessageBox(IDC_SHOW);
    // The middle line is the platform's description of the status.
    EXPECT_EQ(0u, box.text.rfind(L"Can't show graph\n", 0)) << box.text;
    EXPECT_TRUE(EndsWith(box.text, L"\nError 0x80040154")) << box.text;
    EXPECT_TRUE(EditorWindows().empty());
    const std::wstring expected = L"###Err### CGraphEdit::ShowGraph(): {29E07010-BD27-11CE-AB59-00AA00577DA1} "
                                  L"is registered for " +
                                  std::wstring(kOtherBitness) + L"-bit programs only: " + *other + L"\n";
    const auto traces = diag.Traces();
    EXPECT_EQ(1, std::count_if(traces.begin(), traces.end(), [&](const auto& t) { return t.text == expected; }))
        << std::string(expected.begin(), expected.end());
}

// The editor builds that misbehave, in place of the installed one.
class HostileEditorTest : public ShowGraphTest
{
protected:
    void UseEditor(const wchar_t* pszFile)
    {
        m_path.SetText(BuildFolder() + L"\\testbed\\graphedit\\" + pszFile);
    }
    // Ends every editor this test started, answering or not.
    static void EndEditors()
    {
        for (HWND hWnd : EditorWindows())
        {
            DWORD dwProcessId = 0;
            ::GetWindowThreadProcessId(hWnd, &dwProcessId);
            HANDLE hProcess = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, dwProcessId);
            if (hProcess == nullptr)
                continue;
            EXPECT_TRUE(::TerminateProcess(hProcess, 1));
            ::WaitForSingleObject(hProcess, 5000);
            ::CloseHandle(hProcess);
        }
    }

    CRegistryValue m_path{HKEY_LOCAL_MACHINE, kGraphEditKey, L"Path"};
};

TEST_F(HostileEditorTest, ListThatTellsShortLengthsAndCopiesLongTextsIsReadSafely)
{
    UseEditor(L"graphedt-liar.exe");
    ASSERT_TRUE(host.Click(IDC_DEFAULT));
    ASSERT_TRUE(host.Click(IDC_SHOW, 10000)) << "a message box is open";
    HWND hWndEditor = OnlyEditor();
    ASSERT_NE(nullptr, hWndEditor);
    // The decoy before the console's entry was passed over.
    EXPECT_EQ(4u, CountStartingWith(EditorLines(hWndEditor), L"Connection: "));
    EXPECT_TRUE(diag.Reports().empty());
}

TEST_F(HostileEditorTest, ListThatStopsAnsweringFailsShowGraphAndTheDialogAnswers)
{
    UseEditor(L"graphedt-hung.exe");
    ASSERT_TRUE(host.Click(IDC_DEFAULT));
    host.PostClick(IDC_SHOW);
    HWND hWndBox = host.WaitForMessageBox(10000);
    ASSERT_NE(nullptr, hWndBox);
    const MessageBoxView box = ReadMessageBox(hWndBox);
    const HRESULT hrTimeout = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    EXPECT_EQ(L"Can't show graph\n" + SystemText(hrTimeout) + L"\nError 0x800705B4", box.text);
    DismissMessageBox(hWndBox);
    EXPECT_TRUE(host.Send(WM_NULL, 0, 0, nullptr, 1000)) << "the dialog answers";
    EXPECT_EQ(1u, EditorWindows().size()) << "the hung editor is still there";
    std::vector<std::wstring> errors;
    for (const auto& trace : diag.Traces())
    {
        if (trace.nLevel == 2)
            errors.push_back(trace.text);
    }
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(L"###Err### CGraphEdit::SelectGraphEntry(): connect list did not answer, hr=0x800705B4\n",
              errors.front());
    EndEditors();
}

TEST_F(ShowGraphTest, EditorThatNeverShowsItsWindowSaysStatusOne)
{
    CRegistryValue path(HKEY_LOCAL_MACHINE, kGraphEditKey, L"Path");
    path.SetText(BuildFolder() + L"\\testbed\\graphedit\\graphedt-hidden.exe");
    ASSERT_TRUE(host.Click(IDC_DEFAULT));
    const MessageBoxView box = host.ClickForMessageBox(IDC_SHOW);
    ASSERT_NE(nullptr, box.hWnd);
    EXPECT_EQ(0u, box.text.rfind(L"Can't show graph\n", 0)) << box.text;
    EXPECT_TRUE(EndsWith(box.text, L"\nError 0x1")) << box.text;
    EXPECT_TRUE(diag.Reports().empty()) << "the editor was started and tracked";
}
