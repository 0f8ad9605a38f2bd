// Reads the graph editor that "Show graph" starts: its windows and what its
// main window shows.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The visible main windows of running graph editors, except those of one
// process (0: none excepted).
std::vector<HWND> EditorWindows(DWORD dwExceptProcessId = 0);

// The lines an editor's main window shows; waits up to dwTimeoutMs for the
// first one.
std::vector<std::wstring> EditorLines(HWND hWndEditor, DWORD dwTimeoutMs = 4000);

size_t CountStartingWith(const std::vector<std::wstring>& lines, const std::wstring& head);

// The process that owns a window, opened to wait on it and read its name.
HANDLE OpenProcessOf(HWND hWnd);
