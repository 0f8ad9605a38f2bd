#include "TestUtil.h"

#include <objbase.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstring>
#include <cwchar>
#include <vector>

std::wstring BuildFolder()
{
    wchar_t sz[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, sz, MAX_PATH);
    std::wstring path = sz;
    path.resize(path.find_last_of(L'\\'));
    path.resize(path.find_last_of(L'\\'));
    return path;
}

std::wstring RawSystemText(HRESULT hr)
{
    wchar_t sz[1024] = {};
    ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(hr),
                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), sz, 1023, nullptr);
    return sz;
}

std::wstring SystemText(HRESULT hr)
{
    std::wstring text = RawSystemText(hr);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    return text;
}

std::wstring StatusLine(HRESULT hr)
{
    wchar_t sz[32];
    std::swprintf(sz, 32, L"Error 0x%X", static_cast<unsigned>(hr));
    return sz;
}

bool EndsWith(const std::wstring& text, const std::wstring& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD dwTimeoutMs)
{
    const DWORD dwStart = ::GetTickCount();
    while (!condition())
    {
        if (::GetTickCount() - dwStart > dwTimeoutMs)
            return false;
        ::Sleep(10);
    }
    return true;
}

std::wstring MakeTempFolder(const std::wstring& tag)
{
    wchar_t szTemp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, szTemp);
    const std::wstring dir = std::wstring(szTemp) + L"skerry-" + tag + L"-" +
                             std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount());
    ::CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

void RemoveTempFolder(const std::wstring& dir)
{
    // SHFileOperation wants a list ended by two terminators.
    std::vector<wchar_t> from(dir.begin(), dir.end());
    from.push_back(L'\0');
    from.push_back(L'\0');
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.data();
    op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    ::SHFileOperationW(&op);
}

void WriteTextFile(const std::wstring& path, const char* pszText)
{
    HANDLE hFile = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return;
    DWORD cbWritten = 0;
    ::WriteFile(hFile, pszText, static_cast<DWORD>(std::strlen(pszText)), &cbWritten, nullptr);
    ::CloseHandle(hFile);
}

HRESULT OpenStorageStatus(const std::wstring& path)
{
    IStorage* pStorage = nullptr;
    HRESULT hr = ::StgOpenStorage(path.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, &pStorage);
    if (pStorage != nullptr)
        pStorage->Release();
    return hr;
}

namespace
{

BOOL CALLBACK FindEditProc(HWND hWnd, LPARAM lParam)
{
    wchar_t sz[64] = {};
    ::GetClassNameW(hWnd, sz, 64);
    if (_wcsicmp(sz, L"Edit") == 0 && ::IsWindowVisible(hWnd))
    {
        *reinterpret_cast<HWND*>(lParam) = hWnd;
        return FALSE;
    }
    return TRUE;
}

} // namespace

bool SetOpenDialogFileName(HWND hWndOpen, const std::wstring& path)
{
    // The file name box: edt1, or the edit inside the combo box cmb13.
    HWND hWndEdit = ::GetDlgItem(hWndOpen, 0x480);
    if (hWndEdit == nullptr)
    {
        if (HWND hWndCombo = ::GetDlgItem(hWndOpen, 0x47c))
            ::EnumChildWindows(hWndCombo, FindEditProc, reinterpret_cast<LPARAM>(&hWndEdit));
    }
    if (hWndEdit == nullptr)
        return false;
    return ::SendMessageW(hWndEdit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str())) != 0;
}

int ThreadCount()
{
    const HANDLE hSnapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE)
        return -1;
    int cThreads = 0;
    THREADENTRY32 entry = {sizeof(entry)};
    for (BOOL bMore = ::Thread32First(hSnapshot, &entry); bMore; bMore = ::Thread32Next(hSnapshot, &entry))
    {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId())
            ++cThreads;
    }
    ::CloseHandle(hSnapshot);
    return cThreads;
}

CMultiThreadedApartment::CMultiThreadedApartment() : m_hr(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}

CMultiThreadedApartment::~CMultiThreadedApartment()
{
    if (SUCCEEDED(m_hr))
        ::CoUninitialize();
}
