#include "MainDialog.h"

#include <commctrl.h>
#include <commdlg.h>
#include <strsafe.h>

#include <initializer_list>

namespace
{

// The graph file that "Build graph" loads unless the user picks another.
constexpr wchar_t kszDefaultFile[] = L"E:\\MXF-DATA\\!\\3.GRF";

// The caption of every message box, and the title without a server.
constexpr wchar_t kszSkerry[] = L"Skerry";

// Sizes, in UTF-16 units with the terminator, of the title and progress text.
constexpr size_t kcchTitle = 512;
constexpr size_t kcchProgress = 64;

constexpr REFERENCE_TIME kUnitsPerSecond = 10000000;
constexpr REFERENCE_TIME kUnitsPerMillisecond = 10000;

// Track bars run from 0 to 1000, per mille of the duration.
constexpr int kTrackBarMax = 1000;

} // namespace

CMainDialog::CMainDialog()
{
    m_szFile[0] = L'\0';
}

// ---------------------------------------------------------------------------
// Start-up

LRESULT CMainDialog::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
{
    HICON hIcon = ::LoadIconW(_AtlBaseModule.GetResourceInstance(), MAKEINTRESOURCEW(IDI_SKERRY));
    SetClassLongPtr(GCLP_HICON, reinterpret_cast<LONG_PTR>(hIcon));

    PlaceOnWorkArea();
    EnableControls(FALSE);

    ::StringCchCopyW(m_szFile, _countof(m_szFile), kszDefaultFile);
    SetDlgItemText(IDC_FILE, m_szFile);

    InitTrackBars();
    return TRUE;
}

// Centred horizontally on the work area, standing on its bottom edge.
void CMainDialog::PlaceOnWorkArea()
{
    RECT rcScreen = {};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &rcScreen, 0);
    RECT rcDlg = {};
    GetWindowRect(&rcDlg);
    const int x = (rcScreen.left + rcScreen.right - (rcDlg.right - rcDlg.left)) / 2;
    const int y = rcScreen.bottom - (rcDlg.bottom - rcDlg.top);
    SetWindowPos(nullptr, x, y, -1, -1, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CMainDialog::InitTrackBars()
{
    SendDlgItemMessage(IDC_POSITION, TBM_SETRANGE, FALSE, MAKELONG(0, kTrackBarMax));
    SendDlgItemMessage(IDC_POSITION, TBM_SETSEL, FALSE, MAKELONG(0, 0));
    SetDlgItemText(IDC_PROGRESS, L"");
    SendDlgItemMessage(IDC_STOP_POSITION, TBM_SETRANGE, FALSE, MAKELONG(0, kTrackBarMax));
    ResetStopBar();
}

void CMainDialog::ResetStopBar()
{
    SendDlgItemMessage(IDC_STOP_POSITION, TBM_SETPOS, TRUE, kTrackBarMax);
}

void CMainDialog::EnableControls(BOOL bEnable)
{
    for (int nID : {IDC_POSITION, IDC_PLAY, IDC_PAUSE, IDC_STOP})
        ::EnableWindow(GetDlgItem(nID), bEnable);
}

// ---------------------------------------------------------------------------
// Graph file path

LRESULT CMainDialog::OnLoadFile(WORD, WORD, HWND, BOOL&)
{
    wchar_t szFile[MAX_PATH];
    ::StringCchCopyW(szFile, _countof(szFile), m_szFile);
    if (BrowseForFile(szFile, _countof(szFile)))
    {
        ::StringCchCopyW(m_szFile, _countof(m_szFile), szFile);
        SetDlgItemText(IDC_FILE, m_szFile);
    }
    return 0;
}

bool CMainDialog::BrowseForFile(LPWSTR pszFile, DWORD cchFile)
{
    ATLASSERT(pszFile != 0);
    if (pszFile == nullptr || cchFile == 0)
        return false;

    OPENFILENAMEW ofn = {};
    ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400W;
    ofn.hwndOwner = m_hWnd;
    ofn.lpstrFilter = L"GRF files (.grf)\0*.grf\0All files\0*.*\0";
    ofn.nFilterIndex = 0;
    ofn.lpstrFile = pszFile;
    ofn.nMaxFile = cchFile;
    ofn.lpstrTitle = L"Select GRF file or All file";
    ofn.lpstrDefExt = L"grf";
    ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
    return ::GetOpenFileNameW(&ofn) == 1;
}

LRESULT CMainDialog::OnFileNameChange(WORD, WORD, HWND, BOOL&)
{
    GetDlgItemText(IDC_FILE, m_szFile, _countof(m_szFile));
    m_bFileTooLong = ::GetWindowTextLengthW(GetDlgItem(IDC_FILE)) >= static_cast<int>(_countof(m_szFile));
    return 0;
}

// ---------------------------------------------------------------------------
// Building

LRESULT CMainDialog::OnBuildGraph(WORD, WORD, HWND, BOOL&)
{
    KillTimer(kTimerProgress);
    if (m_szFile[0] == L'\0')
    {
        EnableControls(FALSE);
        ShowError(L".grf file not selected", E_INVALIDARG);
        return 0;
    }
    if (m_bFileTooLong)
    {
        EnableControls(FALSE);
        ShowError(L"Can't build graph", HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE));
        return 0;
    }
    BuildAndStart(m_szFile);
    return 0;
}

LRESULT CMainDialog::OnDefaultGraph(WORD, WORD, HWND, BOOL&)
{
    KillTimer(kTimerProgress);
    BuildAndStart(nullptr);
    return 0;
}

void CMainDialog::BuildAndStart(LPCWSTR pszFile)
{
    HRESULT hr = m_Graph.BuildGraph(pszFile, m_hWnd, WM_GRAPHNOTIFY);
    ResetStopBar(); // the old graph, with its stop, is gone
    if (FAILED(hr))
    {
        EnableControls(FALSE);
        ShowError(L"Can't build graph", hr);
        return;
    }
    if (hr != S_OK)
        ShowError(L"Some problems found", hr);

    UpdateTitle();
    UpdatePosition();
    EnableControls(TRUE);
    SetTimer(kTimerProgress, kTimerPeriodMs);
}

void CMainDialog::UpdateTitle()
{
    CComBSTR cbsFilter;
    m_Graph.GetServerVersion(cbsFilter);
    wchar_t sz[kcchTitle];
    if (cbsFilter)
    {
        ::StringCchCopyW(sz, _countof(sz), L"Test for ");
        ::StringCchCatW(sz, _countof(sz), cbsFilter); // a caption too long is cut
    }
    else
    {
        ::StringCchCopyW(sz, _countof(sz), kszSkerry);
    }
    SetWindowText(sz);
}

// ---------------------------------------------------------------------------
// Inspection

// Works in every state; without a graph the editor says why it cannot.
LRESULT CMainDialog::OnShowGraph(WORD, WORD, HWND, BOOL&)
{
    HRESULT hr = m_Graph.ShowGraphEdit();
    if (hr != S_OK)
        ShowError(L"Can't show graph", hr);
    return 0;
}

// ---------------------------------------------------------------------------
// Playback

LRESULT CMainDialog::OnPlay(WORD, WORD, HWND, BOOL&)
{
    if (m_Graph.IsEmpty())
    {
        ShowError(L"Graph not exist", E_FAIL);
        return 0;
    }
    HRESULT hr = m_Graph.Run();
    if (FAILED(hr))
        ShowError(L"Can't play file", hr);
    return 0;
}

LRESULT CMainDialog::OnPause(WORD, WORD, HWND, BOOL&)
{
    if (m_Graph.IsEmpty())
    {
        ShowError(L"Graph not exist", E_FAIL);
        return 0;
    }
    HRESULT hr = m_Graph.Pause();
    ATLASSERT(SUCCEEDED(hr));
    return 0;
}

// Stops where the stream is; the position is not rewound.
LRESULT CMainDialog::OnStop(WORD, WORD, HWND, BOOL&)
{
    if (m_Graph.IsEmpty())
        return 0;
    HRESULT hr = m_Graph.Stop();
    ATLASSERT(SUCCEEDED(hr));
    UpdatePosition();
    return 0;
}

LRESULT CMainDialog::OnCloseCmd(WORD, WORD wID, HWND, BOOL&)
{
    KillTimer(kTimerProgress);
    m_Graph.ReleaseGraph();
    EndDialog(wID);
    return 0;
}

// ---------------------------------------------------------------------------
// Progress display

LRESULT CMainDialog::OnTimer(UINT, WPARAM, LPARAM, BOOL&)
{
    if (m_Graph.IsEmpty())
        KillTimer(kTimerProgress);
    else
        UpdatePosition();
    return 0;
}

void CMainDialog::UpdatePosition()
{
    if (m_Graph.IsEmpty())
        return;

    REFERENCE_TIME llDuration = 0;
    REFERENCE_TIME llPosition = 0;
    if (m_Graph.GetDuration(&llDuration) != S_OK)
    {
        SetDlgItemText(IDC_PROGRESS, L"");
        return;
    }
    if (llDuration <= 0)
        return; // nothing to show progress against
    if (m_Graph.GetCurrentPosition(&llPosition) != S_OK)
    {
        SetDlgItemText(IDC_PROGRESS, L"");
        return;
    }

    // The last report before the end may pass the duration a little.
    llPosition = llPosition < 0 ? 0 : (llPosition > llDuration ? llDuration : llPosition);
    const WORD wPerMille = ProgressPerMille(llPosition, llDuration);
    SendDlgItemMessage(IDC_POSITION, TBM_SETSEL, TRUE, static_cast<LPARAM>(static_cast<LONG>(wPerMille) << 16));

    wchar_t sz[kcchProgress];
    FormatProgress(llPosition, llDuration, sz, _countof(sz));
    SetDlgItemText(IDC_PROGRESS, sz);
}

WORD CMainDialog::ProgressPerMille(REFERENCE_TIME llPosition, REFERENCE_TIME llDuration)
{
    if (llDuration <= 0)
        return 0;
    const double dPerMille = 1000.0 * static_cast<double>(llPosition) / static_cast<double>(llDuration) + 0.5;
    // Far out of range only for a position no stream reaches; keep the
    // conversion defined all the same.
    if (!(dPerMille > -9.2e18 && dPerMille < 9.2e18))
        return 0;
    return static_cast<WORD>(static_cast<LONGLONG>(dPerMille));
}

void CMainDialog::FormatProgress(REFERENCE_TIME llPosition, REFERENCE_TIME llDuration, LPWSTR psz, size_t cch)
{
    const int nPosSeconds = static_cast<int>(llPosition / kUnitsPerSecond);
    const int nPosMilliseconds =
        static_cast<int>((llPosition - nPosSeconds * kUnitsPerSecond) / kUnitsPerMillisecond);
    const int nDurSeconds = static_cast<int>(llDuration / kUnitsPerSecond);
    const int nDurMilliseconds =
        static_cast<int>((llDuration - nDurSeconds * kUnitsPerSecond) / kUnitsPerMillisecond);
    ::StringCchPrintfW(psz, cch, L"%i.%03i from %i.%03i", nPosSeconds, nPosMilliseconds, nDurSeconds,
                       nDurMilliseconds);
}

// ---------------------------------------------------------------------------
// Track bars

LRESULT CMainDialog::OnHScroll(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    if (m_Graph.IsEmpty())
        return 0;

    const WORD wCode = LOWORD(wParam);
    const HWND hWndCtl = reinterpret_cast<HWND>(lParam);
    if (hWndCtl == GetDlgItem(IDC_POSITION))
    {
        const int nValue = TrackBarValue(IDC_POSITION, wCode, wParam);
        HRESULT hr = m_Graph.SetCurrentPositionRatio(nValue / 1000.0);
        ATLASSERT(SUCCEEDED(hr));
        UpdatePosition();
    }
    else if (hWndCtl == GetDlgItem(IDC_STOP_POSITION) && wCode != SB_THUMBTRACK)
    {
        // The stop position moves only when the thumb is let go.
        const int nValue = TrackBarValue(IDC_STOP_POSITION, wCode, wParam);
        HRESULT hr = m_Graph.SetStopPositionRatio(nValue / 1000.0);
        ATLASSERT(SUCCEEDED(hr));
    }
    return 0;
}

int CMainDialog::TrackBarValue(int nID, WORD wCode, WPARAM wParam)
{
    if (wCode == SB_THUMBPOSITION)
        return HIWORD(wParam);
    return static_cast<int>(SendDlgItemMessage(nID, TBM_GETPOS));
}

// ---------------------------------------------------------------------------
// Graph events

LRESULT CMainDialog::OnGraphNotify(UINT, WPARAM, LPARAM, BOOL&)
{
    for (;;)
    {
        LONG_PTR lParam1 = 0;
        const long lEventCode = m_Graph.ProcessEvents(&lParam1);
        if (lEventCode == 0)
            break;
        if (lEventCode == EC_COMPLETE)
        {
            OnStreamComplete();
            continue;
        }
        ATLTRACE2(atlTraceGeneral, 2, L"CMainDialog::OnGraphNotify(): event 0x%X\n", static_cast<unsigned>(lEventCode));
        if (lEventCode == EC_ERRORABORT || lEventCode == EC_ERRORABORTEX)
            OnStreamFailed(static_cast<HRESULT>(lParam1));
    }
    return 0;
}

void CMainDialog::OnStreamComplete()
{
    m_Graph.Stop();
    m_Graph.SetCurrentPosition(0);
    ShowError(L"The end", 0);
}

// A graph that aborts would otherwise look like a stream that froze.
void CMainDialog::OnStreamFailed(HRESULT hr)
{
    m_Graph.Stop();
    UpdatePosition();
    ShowError(L"Streaming failed", FAILED(hr) ? hr : E_FAIL);
}

// ---------------------------------------------------------------------------
// Message box

int CMainDialog::ShowError(LPCWSTR pszText, HRESULT hr)
{
    return ErrorMessageBox(m_hWnd, pszText, kszSkerry, hr, MB_OK);
}
