// A small graph editor: it lists the filter graphs that other processes
// publish in the Running Object Table, attaches to the one the user picks and
// shows its filters, pins and connections.
//
// Built as graphedt.exe, and as test builds that misbehave the way a broken
// editor may: one never shows its main window (GRAPHEDIT_NEVER_SHOWN), one
// tells a short length for each connect-list entry and then hands over a long
// text, after a decoy entry (GRAPHEDIT_LYING_LIST), and one whose connect list
// stops answering (GRAPHEDIT_HUNG_LIST).
#include <atlbase.h>

#include <dshow.h>
#include <strsafe.h>

#include <new>
#include <string>
#include <vector>

#include "resource.h"

namespace
{

constexpr wchar_t kszWindowClass[] = L"SkerryGraphEditor";
constexpr wchar_t kszTitle[] = L"GraphEdit";

// What the table's item monikers are named: "!FilterGraph %08x pid %08x".
constexpr wchar_t kszGraphPrefix[] = L"!FilterGraph ";

// One published graph: its list text and the moniker that binds it.
struct RemoteGraph
{
    std::wstring text;
    CComPtr<IMoniker> spMoniker;
};

std::wstring GuidText(REFGUID guid)
{
    wchar_t sz[40] = {};
    ::StringFromGUID2(guid, sz, 40);
    return sz;
}

// The file name of a process's executable, or "?" when it cannot be read.
std::wstring ProcessFileName(DWORD dwProcessId)
{
    HANDLE hProcess = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, dwProcessId);
    if (hProcess == nullptr)
        return L"?";
    wchar_t sz[MAX_PATH] = {};
    DWORD cch = MAX_PATH;
    const BOOL bOk = ::QueryFullProcessImageNameW(hProcess, 0, sz, &cch);
    ::CloseHandle(hProcess);
    if (!bOk)
        return L"?";
    const wchar_t* pszName = ::wcsrchr(sz, L'\\');
    return pszName != nullptr ? pszName + 1 : sz;
}

// "pid 0000002a (Skerry.exe) IFilterGraph = 0012ab40" for a published graph,
// or an empty text for any other entry of the table.
std::wstring EntryText(LPCWSTR pszDisplayName)
{
    const size_t cchPrefix = ::wcslen(kszGraphPrefix);
    if (::wcsncmp(pszDisplayName, kszGraphPrefix, cchPrefix) != 0)
        return std::wstring();
    unsigned uGraph = 0;
    unsigned uProcessId = 0;
    if (::swscanf(pszDisplayName + cchPrefix, L"%8x pid %8x", &uGraph, &uProcessId) != 2)
        return std::wstring();
    wchar_t sz[MAX_PATH + 64];
    ::StringCchPrintfW(sz, _countof(sz), L"pid %08x (%ls) IFilterGraph = %08x", uProcessId,
                       ProcessFileName(uProcessId).c_str(), uGraph);
    return sz;
}

// Every filter graph published in the Running Object Table.
std::vector<RemoteGraph> PublishedGraphs()
{
    std::vector<RemoteGraph> graphs;
    CComPtr<IRunningObjectTable> spROT;
    CComPtr<IEnumMoniker> spEnum;
    CComPtr<IBindCtx> spBindCtx;
    if (::GetRunningObjectTable(0, &spROT) != S_OK || spROT->EnumRunning(&spEnum) != S_OK ||
        ::CreateBindCtx(0, &spBindCtx) != S_OK)
        return graphs;
    for (;;)
    {
        CComPtr<IMoniker> spMoniker;
        ULONG cFetched = 0;
        if (spEnum->Next(1, &spMoniker, &cFetched) != S_OK || !spMoniker)
            break;
        LPOLESTR pszName = nullptr;
        if (FAILED(spMoniker->GetDisplayName(spBindCtx, nullptr, &pszName)) || pszName == nullptr)
            continue;
        std::wstring text = EntryText(pszName);
        ::CoTaskMemFree(pszName);
        if (!text.empty())
            graphs.push_back({text, spMoniker});
    }
    return graphs;
}

// ---------------------------------------------------------------------------
// What the main window shows of a graph

std::wstring FilterName(IBaseFilter* pFilter)
{
    FILTER_INFO info = {};
    if (FAILED(pFilter->QueryFilterInfo(&info)))
        return L"?";
    if (info.pGraph != nullptr)
        info.pGraph->Release();
    info.achName[MAX_FILTER_NAME - 1] = L'\0'; // another process's answer
    return info.achName;
}

// "filter.pin" for a pin; its direction when asked.
std::wstring PinName(IPin* pPin, PIN_DIRECTION* peDirection = nullptr)
{
    PIN_INFO info = {};
    if (FAILED(pPin->QueryPinInfo(&info)))
        return L"?";
    info.achName[MAX_PIN_NAME - 1] = L'\0'; // another process's answer
    std::wstring name = info.pFilter != nullptr ? FilterName(info.pFilter) + L"." + info.achName : info.achName;
    if (info.pFilter != nullptr)
        info.pFilter->Release();
    if (peDirection != nullptr)
        *peDirection = info.dir;
    return name;
}

std::vector<CComPtr<IPin>> PinsOf(IBaseFilter* pFilter)
{
    std::vector<CComPtr<IPin>> pins;
    CComPtr<IEnumPins> spEnum;
    if (FAILED(pFilter->EnumPins(&spEnum)) || !spEnum)
        return pins;
    for (;;)
    {
        CComPtr<IPin> spPin;
        ULONG cFetched = 0; // a proxy needs the count's address
        if (spEnum->Next(1, &spPin, &cFetched) != S_OK || !spPin)
            break;
        pins.push_back(spPin);
    }
    return pins;
}

// The graph's filters; hr tells why the list is short.
std::vector<CComPtr<IBaseFilter>> FiltersOf(IFilterGraph* pGraph, HRESULT& hr)
{
    std::vector<CComPtr<IBaseFilter>> filters;
    CComPtr<IEnumFilters> spEnum;
    hr = pGraph->EnumFilters(&spEnum);
    if (FAILED(hr) || !spEnum)
        return filters;
    for (;;)
    {
        CComPtr<IBaseFilter> spFilter;
        ULONG cFetched = 0; // a proxy needs the count's address
        hr = spEnum->Next(1, &spFilter, &cFetched);
        if (hr != S_OK || !spFilter)
            break;
        filters.push_back(spFilter);
    }
    return filters;
}

// "Connection: a.out -> b.in {major} {subtype}" for a connected output pin.
std::wstring ConnectionLine(IPin* pOutput)
{
    CComPtr<IPin> spPeer;
    if (pOutput->ConnectedTo(&spPeer) != S_OK || !spPeer)
        return std::wstring();
    AM_MEDIA_TYPE mt = {};
    std::wstring types;
    if (SUCCEEDED(pOutput->ConnectionMediaType(&mt)))
    {
        types = L" " + GuidText(mt.majortype) + L" " + GuidText(mt.subtype);
        ::CoTaskMemFree(mt.pbFormat);
        if (mt.pUnk != nullptr)
            mt.pUnk->Release();
    }
    return L"Connection: " + PinName(pOutput) + L" -> " + PinName(spPeer) + types;
}

// The lines that describe a graph: filters with their pins, then connections.
std::vector<std::wstring> DescribeGraph(IFilterGraph* pGraph)
{
    std::vector<std::wstring> lines;
    std::vector<std::wstring> connections;
    HRESULT hr = S_OK;
    for (const auto& spFilter : FiltersOf(pGraph, hr))
    {
        CLSID clsid = GUID_NULL;
        spFilter->GetClassID(&clsid);
        lines.push_back(L"Filter: " + FilterName(spFilter) + L" " + GuidText(clsid));
        for (const auto& spPin : PinsOf(spFilter))
        {
            PIN_DIRECTION eDirection = PINDIR_INPUT;
            const std::wstring name = PinName(spPin, &eDirection);
            lines.push_back(L"    Pin: " + name + (eDirection == PINDIR_INPUT ? L" (input)" : L" (output)"));
            if (eDirection == PINDIR_OUTPUT)
            {
                std::wstring connection = ConnectionLine(spPin);
                if (!connection.empty())
                    connections.push_back(connection);
            }
        }
    }
    lines.insert(lines.end(), connections.begin(), connections.end());
    if (FAILED(hr))
    {
        wchar_t sz[64];
        ::StringCchPrintfW(sz, _countof(sz), L"Cannot list the filters (0x%08X).", static_cast<unsigned>(hr));
        lines.push_back(sz);
    }
    return lines;
}

// ---------------------------------------------------------------------------
// The test builds' misbehaving connect list

#if defined(GRAPHEDIT_LYING_LIST) || defined(GRAPHEDIT_HUNG_LIST)
constexpr wchar_t kszListState[] = L"SkerryListState";

// What the subclassed list keeps: the list box's own procedure and which
// entries' lengths have been asked for.
struct ListState
{
    WNDPROC pfnListProc = nullptr;
    std::vector<bool> lengthAsked;
};

#ifdef GRAPHEDIT_LYING_LIST
// Longer than any entry a reader expects.
constexpr size_t kcchDecoy = 4000;
constexpr LRESULT kcchShortLength = 10;
#else
constexpr DWORD kHangMs = 60000;
#endif

LRESULT CALLBACK MisbehavingListProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    auto* pState = static_cast<ListState*>(::GetPropW(hWnd, kszListState));
    if (pState == nullptr)
        return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    const WNDPROC pfnListProc = pState->pfnListProc;
    switch (uMsg)
    {
#ifdef GRAPHEDIT_LYING_LIST
    case LB_GETTEXTLEN:
        // The first answer for each entry is short; later ones (such as the
        // one the system asks for while it copies the text) are true.
        if (wParam >= pState->lengthAsked.size())
            pState->lengthAsked.resize(wParam + 1);
        if (!pState->lengthAsked[wParam])
        {
            pState->lengthAsked[wParam] = true;
            return kcchShortLength;
        }
        break;
#else
    case LB_GETCOUNT:
        ::Sleep(kHangMs); // the whole thread stops answering
        break;
#endif
    case WM_NCDESTROY:
        ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(pfnListProc));
        ::RemovePropW(hWnd, kszListState);
        delete pState;
        break;
    }
    return ::CallWindowProcW(pfnListProc, hWnd, uMsg, wParam, lParam);
}

void MisbehaveInTests(HWND hWndList)
{
#ifdef GRAPHEDIT_LYING_LIST
    // A decoy entry before the real ones, too long for any reader's buffer;
    // its item data names no graph.
    const std::wstring decoy(kcchDecoy, L'x');
    const LRESULT nDecoy = ::SendMessageW(hWndList, LB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(decoy.c_str()));
    if (nDecoy >= 0)
        ::SendMessageW(hWndList, LB_SETITEMDATA, nDecoy, static_cast<LPARAM>(-1));
#endif
    auto* pState = new (std::nothrow) ListState;
    if (pState == nullptr)
        return;
    if (!::SetPropW(hWndList, kszListState, pState))
    {
        delete pState;
        return;
    }
    pState->pfnListProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(hWndList, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(MisbehavingListProc)));
}
#else
void MisbehaveInTests(HWND)
{
}
#endif

// ---------------------------------------------------------------------------
// The editor

class CGraphEditor
{
public:
    bool Create(HINSTANCE hInstance, int nShowCmd);
    int Run();
    // Gives up the graph the editor is attached to, if any.
    IFilterGraph* DetachGraph() { return m_spGraph.Detach(); }

private:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK ConnectDialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

    LRESULT OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam);
    void OnCreate();
    void OnCommand(WORD wID);
    void ConnectToRemoteGraph();
    void ShowGraph();
    BOOL OnConnectInit(HWND hWndDialog);
    HRESULT BindGraph(IMoniker* pMoniker);
    void OnConnectOk(HWND hWndDialog);

    HINSTANCE m_hInstance = nullptr;
    HWND m_hWnd = nullptr;
    HWND m_hWndList = nullptr;
    HACCEL m_hAccel = nullptr;
    HWND m_hWndConnect = nullptr;            // the connect dialog, while it is open
    std::vector<RemoteGraph> m_remoteGraphs; // while the connect dialog is open
    std::vector<RemoteGraph> m_startGraphs;  // listed at the start
    DWORD m_dwStartTick = 0;
    CComPtr<IFilterGraph> m_spGraph;         // held until the editor quits
};

bool CGraphEditor::Create(HINSTANCE hInstance, int nShowCmd)
{
    m_hInstance = hInstance;
    WNDCLASSEXW wc = {sizeof(wc)};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = hInstance;
    wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszMenuName = MAKEINTRESOURCEW(IDR_MAINMENU);
    wc.lpszClassName = kszWindowClass;
    if (!::RegisterClassExW(&wc))
        return false;
    m_hAccel = ::LoadAcceleratorsW(hInstance, MAKEINTRESOURCEW(IDR_ACCELERATORS));
    m_dwStartTick = ::GetTickCount();
    m_startGraphs = PublishedGraphs();
    m_hWnd = ::CreateWindowExW(0, kszWindowClass, kszTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 640,
                               420, nullptr, nullptr, hInstance, this);
    if (m_hWnd == nullptr)
        return false;
#ifndef GRAPHEDIT_NEVER_SHOWN
    ::ShowWindow(m_hWnd, nShowCmd);
    ::UpdateWindow(m_hWnd);
#else
    (void)nShowCmd;
#endif
    return true;
}

int CGraphEditor::Run()
{
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        if (!::TranslateAcceleratorW(m_hWnd, m_hAccel, &msg))
        {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    return static_cast<int>(msg.wParam);
}

LRESULT CALLBACK CGraphEditor::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_NCCREATE)
    {
        auto* pCreate = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* pThis = static_cast<CGraphEditor*>(pCreate->lpCreateParams);
        pThis->m_hWnd = hWnd;
        ::SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pThis));
    }
    auto* pThis = reinterpret_cast<CGraphEditor*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (pThis == nullptr)
        return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    return pThis->OnMessage(uMsg, wParam, lParam);
}

LRESULT CGraphEditor::OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg)
    {
    case WM_CREATE:
        OnCreate();
        return 0;
    case WM_SIZE:
        ::MoveWindow(m_hWndList, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
        return 0;
    case WM_COMMAND:
        OnCommand(LOWORD(wParam));
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcW(m_hWnd, uMsg, wParam, lParam);
    }
}

void CGraphEditor::OnCreate()
{
    m_hWndList = ::CreateWindowExW(WS_EX_CLIENTEDGE, L"ListBox", nullptr,
                                   WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | LBS_NOINTEGRALHEIGHT, 0, 0, 0,
                                   0, m_hWnd, reinterpret_cast<HMENU>(IDC_GRAPHLIST), m_hInstance, nullptr);
}

void CGraphEditor::OnCommand(WORD wID)
{
    switch (wID)
    {
    case ID_CONNECT_REMOTE:
        ConnectToRemoteGraph();
        break;
    case ID_FILE_EXIT:
        ::DestroyWindow(m_hWnd);
        break;
    }
}

// The editor is usually started to attach to a graph published just before,
// so the graphs are listed once at the start and a connect command soon after
// opens at once; later commands list them afresh.
constexpr DWORD kStartListFreshMs = 5000;

void CGraphEditor::ConnectToRemoteGraph()
{
    // The command can arrive again while the dialog runs its own loop: one
    // dialog at a time, the open one comes to the front.
    if (m_hWndConnect != nullptr)
    {
        ::SetForegroundWindow(m_hWndConnect);
        return;
    }
    if (!m_startGraphs.empty() && ::GetTickCount() - m_dwStartTick < kStartListFreshMs)
        m_remoteGraphs = std::move(m_startGraphs);
    else
        m_remoteGraphs = PublishedGraphs();
    m_startGraphs.clear();
    const INT_PTR nResult = ::DialogBoxParamW(m_hInstance, MAKEINTRESOURCEW(IDD_CONNECT), m_hWnd,
                                              ConnectDialogProc, reinterpret_cast<LPARAM>(this));
    m_hWndConnect = nullptr;
    m_remoteGraphs.clear();
    if (nResult == IDOK)
        ShowGraph();
}

void CGraphEditor::ShowGraph()
{
    ::SendMessageW(m_hWndList, LB_RESETCONTENT, 0, 0);
    if (!m_spGraph)
        return;
    for (const auto& line : DescribeGraph(m_spGraph))
        ::SendMessageW(m_hWndList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
}

INT_PTR CALLBACK CGraphEditor::ConnectDialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_INITDIALOG)
    {
        ::SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        return reinterpret_cast<CGraphEditor*>(lParam)->OnConnectInit(hWnd);
    }
    auto* pThis = reinterpret_cast<CGraphEditor*>(::GetWindowLongPtrW(hWnd, DWLP_USER));
    if (pThis == nullptr || uMsg != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam))
    {
    case IDOK:
        pThis->OnConnectOk(hWnd);
        return TRUE;
    case IDCANCEL:
        ::EndDialog(hWnd, IDCANCEL);
        return TRUE;
    case IDC_REMOTELIST:
        if (HIWORD(wParam) == LBN_DBLCLK)
            pThis->OnConnectOk(hWnd);
        return TRUE;
    default:
        return FALSE;
    }
}

// One list entry for each published graph; its index names the moniker.
BOOL CGraphEditor::OnConnectInit(HWND hWndDialog)
{
    m_hWndConnect = hWndDialog;
    HWND hWndList = ::GetDlgItem(hWndDialog, IDC_REMOTELIST);
    for (size_t i = 0; i < m_remoteGraphs.size(); ++i)
    {
        const LRESULT nIndex =
            ::SendMessageW(hWndList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(m_remoteGraphs[i].text.c_str()));
        if (nIndex >= 0)
            ::SendMessageW(hWndList, LB_SETITEMDATA, nIndex, static_cast<LPARAM>(i));
    }
    MisbehaveInTests(hWndList);
    return TRUE;
}

// Binds a published graph through the table and keeps it.
HRESULT CGraphEditor::BindGraph(IMoniker* pMoniker)
{
    CComPtr<IRunningObjectTable> spROT;
    HRESULT hr = ::GetRunningObjectTable(0, &spROT);
    if (hr != S_OK)
        return FAILED(hr) ? hr : E_FAIL;
    CComPtr<IUnknown> spUnknown;
    hr = spROT->GetObject(pMoniker, &spUnknown);
    if (hr != S_OK)
        return FAILED(hr) ? hr : E_FAIL;
    return spUnknown.QueryInterface(&m_spGraph);
}

constexpr int kBindRetries = 10;
constexpr DWORD kBindRetryMs = 50;

// Attaches to the chosen graph; the dialog stays open when that fails.
void CGraphEditor::OnConnectOk(HWND hWndDialog)
{
    HWND hWndList = ::GetDlgItem(hWndDialog, IDC_REMOTELIST);
    const LRESULT nSelection = ::SendMessageW(hWndList, LB_GETCURSEL, 0, 0);
    if (nSelection == LB_ERR)
        return; // nothing chosen yet
    const size_t i = static_cast<size_t>(::SendMessageW(hWndList, LB_GETITEMDATA, nSelection, 0));
    if (i >= m_remoteGraphs.size())
        return;

    m_spGraph.Release();
    // A graph shown in an editor before may still be letting go of that
    // editor's references when this one binds it; such a bind fails for a
    // moment only.
    HRESULT hr = BindGraph(m_remoteGraphs[i].spMoniker);
    for (int nRetry = 0; FAILED(hr) && nRetry < kBindRetries; ++nRetry)
    {
        ::Sleep(kBindRetryMs);
        hr = BindGraph(m_remoteGraphs[i].spMoniker);
    }
    if (FAILED(hr))
    {
        wchar_t sz[128];
        ::StringCchPrintfW(sz, _countof(sz), L"Cannot attach to the graph (0x%08X).", static_cast<unsigned>(hr));
        ::MessageBoxW(hWndDialog, sz, kszTitle, MB_OK | MB_ICONERROR);
        return;
    }
    ::EndDialog(hWndDialog, IDOK);
}

} // namespace

// Releasing a remote graph is a call into the process that published it.
// That process may serve it while it waits for this main thread to end, or
// may be waiting without serving anything, or be on its way out. So the
// release runs on a thread of its own: the main thread gives it a moment and
// then ends, and the process ends once the release is done or given up.
constexpr DWORD kReleaseBeforeQuitMs = 400;
constexpr DWORD kReleaseWaitMs = 500;

struct ExitHandOver
{
    IFilterGraph* pGraph;
    HANDLE hJoined;   // the exit thread holds the apartment
    HANDLE hReleased; // the graph has been let go
};

DWORD WINAPI ReleaseProc(LPVOID pv)
{
    auto* pHandOver = static_cast<ExitHandOver*>(pv);
    pHandOver->pGraph->Release();
    ::SetEvent(pHandOver->hReleased);
    return 0;
}

// Holds the multithreaded apartment, so that the main thread's end does not
// tear it down (and release the graph) on the main thread. The hand-over
// lives on until the process ends.
DWORD WINAPI ReleaseAndExitProc(LPVOID pv)
{
    auto* pHandOver = static_cast<ExitHandOver*>(pv);
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    HANDLE hThread = ::CreateThread(nullptr, 0, ReleaseProc, pHandOver, 0, nullptr);
    ::SetEvent(pHandOver->hJoined);
    if (hThread != nullptr)
        ::WaitForSingleObject(hThread, kReleaseWaitMs);
    ::ExitProcess(0);
}

// Ends the main thread and leaves the release of pGraph and the end of the
// process to another thread; false when that thread cannot be started.
bool HandOverExit(IFilterGraph* pGraph, int nExit)
{
    static ExitHandOver s_handOver = {};
    s_handOver = {pGraph, ::CreateEventW(nullptr, TRUE, FALSE, nullptr), ::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    if (s_handOver.hJoined == nullptr || s_handOver.hReleased == nullptr)
        return false;
    HANDLE hThread = ::CreateThread(nullptr, 0, ReleaseAndExitProc, &s_handOver, 0, nullptr);
    if (hThread == nullptr)
        return false;
    ::CloseHandle(hThread);
    ::WaitForSingleObject(s_handOver.hJoined, INFINITE);
    ::WaitForSingleObject(s_handOver.hReleased, kReleaseBeforeQuitMs);
    ::ExitThread(static_cast<DWORD>(nExit));
}

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int nShowCmd)
{
    // One multithreaded apartment: a remote graph's proxies work from any thread.
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    CGraphEditor editor;
    if (!editor.Create(hInstance, nShowCmd))
        return 1;
    const int nExit = editor.Run();
    if (IFilterGraph* pGraph = editor.DetachGraph())
    {
        if (!HandOverExit(pGraph, nExit))
            pGraph->Release();
    }
    ::CoUninitialize();
    return nExit;
}
