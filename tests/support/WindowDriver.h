// Drives real windows from the test thread: the main dialog running modally
// on a thread of its own, and the message boxes it opens.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>

class CMainDialog;

// What a message box shows.
struct MessageBoxView
{
    HWND hWnd = nullptr;
    std::wstring caption;
    std::wstring text;
    bool bIcon = false;
};

// Reads a message box: its caption, its text and whether it shows an icon.
MessageBoxView ReadMessageBox(HWND hWndBox);

// The first visible dialog window (#32770: the main dialog or a message box)
// of the given thread other than hWndExcept, within dwTimeoutMs; null when
// none appears.
HWND WaitForThreadDialog(DWORD dwThreadId, HWND hWndExcept, DWORD dwTimeoutMs);

// Closes a message box as its OK button does.
void DismissMessageBox(HWND hWndBox);

// The first visible dialog window of a process within dwTimeoutMs; null when
// none appears.
HWND WaitForProcessDialog(DWORD dwProcessId, DWORD dwTimeoutMs);

std::wstring WindowText(HWND hWnd);
// The text of a control, also one in another process, which only the control
// itself knows.
std::wstring ControlText(HWND hWnd);
std::wstring ClassNameOf(HWND hWnd);

// The console as a program of its own, driven from this process: started
// from its file, its dialog found, commands sent to it, and its end awaited.
// A process still running when the object goes is terminated.
class CConsoleProcess
{
public:
    // Starts the program with the command line and waits up to dwTimeoutMs
    // for its dialog; Dialog() is null when it did not start or show one.
    explicit CConsoleProcess(const std::wstring& exe, const std::wstring& arguments = L"",
                             DWORD dwTimeoutMs = 10000);
    ~CConsoleProcess();

    CConsoleProcess(const CConsoleProcess&) = delete;
    CConsoleProcess& operator=(const CConsoleProcess&) = delete;

    bool Started() const { return m_pi.hProcess != nullptr; }
    HWND Dialog() const { return m_hWndDialog; }
    // Sends a command and waits for its handler; false when the handler did
    // not return within the time (a message box is then usually open).
    bool Click(int nID, DWORD dwTimeoutMs = 5000);
    // Posts a command without waiting, for commands that open a message box.
    void PostClick(int nID);
    // The dialog's next message box, or null when none opens in the time.
    HWND WaitForMessageBox(DWORD dwTimeoutMs) const;
    // Posts a message that ends the dialog and waits for the process: its
    // exit code, or STILL_ACTIVE when it did not end within the time.
    DWORD CloseWith(UINT uMsg, WPARAM wParam, DWORD dwTimeoutMs = 10000);

private:
    PROCESS_INFORMATION m_pi = {};
    HWND m_hWndDialog = nullptr;
};

// Runs a CMainDialog modally on its own COM thread, as the entry does.
class CDialogHost
{
public:
    // Made on the dialog's thread once COM is up, released there before COM
    // goes down: class factories registered for the dialog's apartment.
    using SetUp = std::function<std::shared_ptr<void>()>;

    explicit CDialogHost(SetUp setUp = nullptr);
    ~CDialogHost();

    CDialogHost(const CDialogHost&) = delete;
    CDialogHost& operator=(const CDialogHost&) = delete;

    HWND Dialog() const { return m_hWndDialog; }
    HWND Item(int nID) const { return ::GetDlgItem(m_hWndDialog, nID); }
    std::wstring ItemText(int nID) const { return WindowText(Item(nID)); }
    std::wstring Title() const { return WindowText(m_hWndDialog); }
    bool IsEnabled(int nID) const { return ::IsWindowEnabled(Item(nID)) != FALSE; }
    DWORD ThreadId() const { return m_dwThreadId; }
    // The dialog object itself; only touch it while the dialog thread waits.
    CMainDialog& Object() { return *m_pDialog; }

    // Sends a message and waits for its handler; false when the handler did
    // not return within the time (a message box is then usually open).
    bool Send(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT* plResult = nullptr, DWORD dwTimeoutMs = 5000);
    // Clicks a button and waits for its handler to finish.
    bool Click(int nID, DWORD dwTimeoutMs = 5000);
    // Clicks a button without waiting, for commands that open a message box.
    void PostClick(int nID);
    // Waits for the dialog's next message box.
    HWND WaitForMessageBox(DWORD dwTimeoutMs = 5000) const;
    // Runs a command that opens a message box, reads the box, closes it and
    // waits for the command to finish; hWnd is null when no box appeared.
    MessageBoxView ClickForMessageBox(int nID);
    // Ends the dialog with a command (IDOK, IDCANCEL) or a message and
    // returns what DoModal returned.
    INT_PTR CloseWith(UINT uMsg, WPARAM wParam, LPARAM lParam);

    // Runs fn on the dialog's thread, in its apartment, and waits for it: the
    // dialog's COM objects are used there and nowhere else. False when it
    // could not run.
    bool RunOnDialogThread(const std::function<void()>& fn);
    // The same, handing back what fn returns (its default when it did not run).
    template <class F>
    auto OnDialogThread(F fn) -> decltype(fn())
    {
        using Result = decltype(fn());
        if constexpr (std::is_void_v<Result>)
        {
            RunOnDialogThread(fn);
        }
        else
        {
            Result result{};
            RunOnDialogThread([&] { result = fn(); });
            return result;
        }
    }

private:
    void ThreadMain();

    SetUp m_setUp;
    std::thread m_thread;
    CMainDialog* m_pDialog = nullptr;
    HANDLE m_hReady = nullptr;
    HWND m_hWndDialog = nullptr;
    DWORD m_dwThreadId = 0;
    INT_PTR m_nResult = -2;
    bool m_bClosed = false;
};
