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

// The graph editor launched to show the graph, and the graph's entry in the
// Running Object Table. Close withdraws the entry and makes the editor quit.
class CGraphEdit
{
public:
    CGraphEdit();
    ~CGraphEdit();

    CGraphEdit(const CGraphEdit&) = delete;
    CGraphEdit& operator=(const CGraphEdit&) = delete;

    // Withdraws the entry, forgets the editor's windows and makes the launched
    // editor quit. Safe in any state, any number of times.
    void Close();

private:
    void QuitGraphEdit();

    DWORD m_dwCookie;
    PROCESS_INFORMATION m_rgPI;
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
