// Reads the graph editor that "Show graph" starts: its windows and what its
// main window shows.
#pragma once

#include <windows.h>

#include <functional>
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

// The graph editors this process started that are still running.
size_t OwnEditorProcesses();

class CDialogHost;

// What a run of "Show graph" clicks on one console did.
struct ShowLoopFigures
{
    int cClicks = 0;
    int cAttached = 0;          // an editor of ours showed the whole graph
    int cBoxes = 0;             // "Can't show graph" boxes, read and closed
    int cHangs = 0;             // clicks that neither returned nor opened a box
    size_t cMostEditors = 0;    // own editors running once a click was done
    size_t cEditorsAfterClose = 0;
    DWORD cHandlesBefore = 0;   // of this process, around the loop
    DWORD cHandlesAfter = 0;
    int cThreadsBefore = 0;
    int cThreadsAfter = 0;
};

// What one click of such a run did.
struct ShowClickOutcome
{
    bool bAttached = false;
    bool bHung = false;
    DWORD dwAttachMs = 0; // from the click's return until an editor showed the graph
};

// Called on the loop's thread once each measured click is done.
using ShowClickObserver = std::function<void(const ShowClickOutcome&)>;

// Builds the default graph in a console of its own, clicks "Show graph"
// cClicks times with nBusyThreads threads spinning meanwhile, then closes the
// console; handles and threads are counted with no editor running.
ShowLoopFigures RunShowGraphLoop(int cClicks, int nBusyThreads, const ShowClickObserver& observer = nullptr);
