#include "EditorDriver.h"

#include "WindowDriver.h"

namespace
{

// What the editor names its main window's class and its list of lines.
constexpr wchar_t kszEditorClass[] = L"SkerryGraphEditor";
constexpr int kGraphListId = 1000;

struct EditorSearch
{
    DWORD dwExceptProcessId;
    std::vector<HWND> windows;
};

BOOL CALLBACK FindEditorProc(HWND hWnd, LPARAM lParam)
{
    auto* pSearch = reinterpret_cast<EditorSearch*>(lParam);
    DWORD dwProcessId = 0;
    ::GetWindowThreadProcessId(hWnd, &dwProcessId);
    if (ClassNameOf(hWnd) == kszEditorClass && ::IsWindowVisible(hWnd) && dwProcessId != pSearch->dwExceptProcessId)
        pSearch->windows.push_back(hWnd);
    return TRUE;
}

} // namespace

std::vector<HWND> EditorWindows(DWORD dwExceptProcessId)
{
    EditorSearch search = {dwExceptProcessId, {}};
    ::EnumWindows(FindEditorProc, reinterpret_cast<LPARAM>(&search));
    return search.windows;
}

std::vector<std::wstring> EditorLines(HWND hWndEditor, DWORD dwTimeoutMs)
{
    HWND hWndList = ::GetDlgItem(hWndEditor, kGraphListId);
    const DWORD dwStart = ::GetTickCount();
    while (::SendMessageW(hWndList, LB_GETCOUNT, 0, 0) <= 0 && ::GetTickCount() - dwStart < dwTimeoutMs)
        ::Sleep(5);
    std::vector<std::wstring> lines;
    const int cLines = static_cast<int>(::SendMessageW(hWndList, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < cLines; ++i)
    {
        const LRESULT cch = ::SendMessageW(hWndList, LB_GETTEXTLEN, i, 0);
        std::vector<wchar_t> buffer(static_cast<size_t>(cch > 0 ? cch : 0) + 1);
        ::SendMessageW(hWndList, LB_GETTEXT, i, reinterpret_cast<LPARAM>(buffer.data()));
        lines.push_back(buffer.data());
    }
    return lines;
}

size_t CountStartingWith(const std::vector<std::wstring>& lines, const std::wstring& head)
{
    size_t c = 0;
    for (const auto& line : lines)
        c += line.rfind(head, 0) == 0 ? 1 : 0;
    return c;
}

HANDLE OpenProcessOf(HWND hWnd)
{
    DWORD dwProcessId = 0;
    ::GetWindowThreadProcessId(hWnd, &dwProcessId);
    return ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, dwProcessId);
}
