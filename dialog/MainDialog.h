// CMainDialog: the console's only window.
#pragma once

#include <atlbase.h>
#include <atlwin.h>

#include "Graph.h"
#include "resource.h"

// Posted by the graph manager whenever events are queued.
constexpr UINT WM_GRAPHNOTIFY = WM_APP + 123;

// The progress timer: id 1, every 100 ms.
constexpr UINT_PTR kTimerProgress = 1;
constexpr UINT kTimerPeriodMs = 100;

class CMainDialog : public CDialogImpl<CMainDialog>
{
public:
    enum
    {
        IDD = IDD_MAIN
    };

    CMainDialog();

    BEGIN_MSG_MAP(CMainDialog)
        MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
        MESSAGE_HANDLER(WM_TIMER, OnTimer)
        MESSAGE_HANDLER(WM_GRAPHNOTIFY, OnGraphNotify)
        COMMAND_ID_HANDLER(IDC_LOAD, OnLoadFile)
        COMMAND_HANDLER(IDC_FILE, EN_CHANGE, OnFileNameChange)
        COMMAND_ID_HANDLER(IDC_BUILD, OnBuildGraph)
        COMMAND_ID_HANDLER(IDC_DEFAULT, OnDefaultGraph)
        COMMAND_ID_HANDLER(IDC_SHOW, OnShowGraph)
        COMMAND_ID_HANDLER(IDC_PLAY, OnPlay)
        COMMAND_ID_HANDLER(IDC_PAUSE, OnPause)
        COMMAND_ID_HANDLER(IDC_STOP, OnStop)
        MESSAGE_HANDLER(WM_HSCROLL, OnHScroll)
        COMMAND_ID_HANDLER(IDOK, OnCloseCmd)
        COMMAND_ID_HANDLER(IDCANCEL, OnCloseCmd)
    END_MSG_MAP()

    // Enables or disables the playback controls and the position bar.
    void EnableControls(BOOL bEnable);
    // Shows the standard open-file dialog for a graph file; pszFile (cchFile
    // units) holds the initial name and, on true, the chosen path.
    bool BrowseForFile(LPWSTR pszFile, DWORD cchFile);
    // A message box for a failed step; with hr 0, the text alone.
    int ShowError(LPCWSTR pszText, HRESULT hr);
    // Refreshes the progress text and the position bar's selection.
    void UpdatePosition();

    // "1.234 from 10.000" into psz (cch units, terminator included).
    static void FormatProgress(REFERENCE_TIME llPosition, REFERENCE_TIME llDuration, LPWSTR psz, size_t cch);
    // The position in per mille of a positive duration, rounded, as the low
    // 16 bits that the position bar's selection takes.
    static WORD ProgressPerMille(REFERENCE_TIME llPosition, REFERENCE_TIME llDuration);

private:
    friend struct CMainDialogAccess; // lets tests reach the members

    LRESULT OnInitDialog(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnTimer(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnGraphNotify(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnHScroll(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnLoadFile(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
    LRESULT OnFileNameChange(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
    LRESULT OnBuildGraph(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
    LRESULT OnDefaultGraph(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
    LRESULT OnShowGraph(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
    LRESULT OnPlay(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
    LRESULT OnPause(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
    LRESULT OnStop(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
    LRESULT OnCloseCmd(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);

    void PlaceOnWorkArea();
    void InitTrackBars();
    // The stop bar back at the end of the stream, as a new graph has it.
    void ResetStopBar();
    // Builds a graph (from pszFile, or the default one) and readies playback.
    void BuildAndStart(LPCWSTR pszFile);
    // "Test for " and the server's caption, or "Skerry".
    void UpdateTitle();
    // The stream ended: stop, rewind and say so.
    void OnStreamComplete();
    // The graph gave up streaming with hr: stop and say why.
    void OnStreamFailed(HRESULT hr);
    // The value of a track-bar scroll message: the thumb position it carries,
    // or the bar's own position.
    int TrackBarValue(int nID, WORD wCode, WPARAM wParam);

    wchar_t m_szFile[MAX_PATH];
    // The path box holds more than m_szFile keeps: the cut path names
    // another file, so it is never opened.
    bool m_bFileTooLong = false;
    CGraph m_Graph;
};
