// Graph inspection (the Running Object Table entry and the graph editor the
// console launches) and the message box that shows failures.
#pragma once

#include <atlbase.h>

// Publishes pGraph in the Running Object Table under the name
// "FilterGraph %08x pid %08x" and stores the registration cookie in *pdwCookie
// (0 on every failure after the argument checks).
HRESULT AddGraphToRot(IUnknown* pGraph, DWORD* pdwCookie);

// Withdraws the entry that dwCookie names; 0 names none.
void RemoveGraphFromRot(DWORD dwCookie);

// On 64-bit Windows each bitness has its own registration of in-process
// classes, and a console can load only servers of its own bitness. When the
// class is not registered for this process's bitness but is for the other,
// writes a trace line that names that registration: the usual reason for a
// "class not registered" that a tester cannot see. Writes nothing otherwise.
void TraceOtherBitnessRegistration(REFCLSID clsid, LPCWSTR pszCaller);

// The graph editor launched by CGraphEdit: its process and main thread,
// whose handles it owns. Empty (all zero) when no editor is tracked.
struct CEditorProcess
{
    CHandle hProcess;
    CHandle hThread;
    DWORD dwProcessId = 0;
    DWORD dwThreadId = 0;

    bool IsEmpty() const { return hProcess == nullptr && hThread == nullptr; }
    // Takes over what CreateProcessW handed out.
    void Attach(const PROCESS_INFORMATION& pi);
    // Closes both handles and forgets the editor.
    void Reset();
};

// Interfaces of the graph marshalled and held in this apartment while an
// editor may call in. Wine's COM drops an interface's registration when the
// last stub of that interface goes, and waits as it does for calls on their
// way to this thread: when an editor's release of, say, its filter enumerator
// is the last such stub, the dialog's thread waits for ever. One held stub of
// each interface an editor uses keeps the registrations until no editor is
// left. Best effort: what cannot be held is simply not held.
class CStubKeeper
{
public:
    CStubKeeper() = default;
    ~CStubKeeper() { Release(); }

    CStubKeeper(const CStubKeeper&) = delete;
    CStubKeeper& operator=(const CStubKeeper&) = delete;

    // The graph's IFilterGraph, a filter enumerator, a filter, a pin
    // enumerator and a pin.
    void KeepEditorInterfaces(IUnknown* pGraph);
    void Release();
    size_t Count() const { return m_cKept; }

private:
    void Keep(REFIID riid, IUnknown* pUnknown);

    static constexpr size_t kMaxKept = 8;
    CComPtr<IStream> m_rgspStreams[kMaxKept];
    size_t m_cKept = 0;
};

// The graph editor (GraphEdit) launched to show the graph, and the graph's
// entry in the Running Object Table. ShowGraph publishes the graph, starts the
// editor and has it attach to the graph; Close withdraws the entry and makes
// the editor quit.
class CGraphEdit
{
public:
    CGraphEdit();
    ~CGraphEdit();

    CGraphEdit(const CGraphEdit&) = delete;
    CGraphEdit& operator=(const CGraphEdit&) = delete;

    // S_OK: the editor runs and was asked to attach; S_FALSE: its main window
    // did not show in time; REGDB_E_CLASSNOTREG: the property-page library is
    // not registered; HRESULT_FROM_WIN32(ERROR_TIMEOUT): the editor stopped
    // answering; otherwise why publishing or starting failed. An editor
    // started and then given up on is asked to quit before this returns.
    HRESULT ShowGraph(IUnknown* pGraph);
    // Withdraws the entry, forgets the editor's windows and makes the launched
    // editor quit. Safe in any state, any number of times.
    void Close();

    // The bounds of ShowGraph's waits, which hold up the caller's thread.
    static constexpr DWORD kInputIdleMs = 1000;  // for the editor's main window
    static constexpr DWORD kVisibleWaitMs = 100; // while that window is hidden
    static constexpr int kSearchPasses = 10;     // the main window's search makes at most nine passes
    // For the connect dialog, which the editor opens when its turn comes: on
    // two cores with six busy threads that took up to 200 ms, with eight up
    // to 680 ms, while nine passes 10 ms apart gave way after 93 ms.
    static constexpr DWORD kDialogWaitMs = 500;
    static constexpr UINT kMessageWaitMs = 1000; // for an answer from the editor's windows
    static constexpr DWORD kQuitWaitMs = 2000;   // for an editor asked to quit to end

private:
    friend struct CGraphEditAccess; // lets tests reach the members

    HRESULT AttachEditor(IUnknown* pGraph);
    bool IsProppageRegistered(LPWSTR pszProppage_dll, size_t cchProppage_dll);
    HRESULT LoadGraphEdit(LPCWSTR pszProppage_dll);
    DWORD WaitForEditorWindow();
    bool FindMainWindow();
    bool WaitWhileHidden();
    void QuitGraphEdit();
    // Asks the editor's main thread to end and waits, within a bound, for its
    // process to end; false when it did not.
    bool WaitForEditorToQuit();
    void PostConnectCommand();
    HRESULT SelectRemoteGraph(IUnknown* pGraph);
    HRESULT SelectGraphEntry(IUnknown* pGraph, int* pnIndex);
    HRESULT FindGraphEntry(IUnknown* pGraph, int* pnIndex);
    static bool IsGraphEntry(LPCWSTR pszCookieName, IUnknown* pGraph);

    BOOL MatchMainWindow(HWND hWnd);
    BOOL MatchConnectDialog(HWND hWnd);
    BOOL MatchListBox(HWND hWnd);
    static BOOL CALLBACK EnumMainWindowProc(HWND hWnd, LPARAM lParam);
    static BOOL CALLBACK EnumConnectDialogProc(HWND hWnd, LPARAM lParam);
    static BOOL CALLBACK EnumListBoxProc(HWND hWnd, LPARAM lParam);

    DWORD m_dwCookie;
    CStubKeeper m_stubs;
    CEditorProcess m_rgPI;
    HWND m_hWndGraphEdit;
    HWND m_hWndListBox;
};

// Composes the text of an error box into pszMsg (cchMsg units, terminator
// included): the caller's text, the platform's description of hr and the line
// "Error 0x..." (the last two only when hr is not 0). Long texts are cut.
void FormatErrorMessage(LPCWSTR pszText, HRESULT hr, LPWSTR pszMsg, size_t cchMsg);

// Shows a message box with the text composed by FormatErrorMessage. A style of
// 0 with a nonzero status gets the error icon. hWnd falls back to the active
// window when it is not a window. Returns MessageBoxW's result.
int ErrorMessageBox(HWND hWnd, LPCWSTR pszText, LPCWSTR pszCaption, HRESULT hr, UINT uType);
