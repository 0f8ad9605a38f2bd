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

// ---------------------------------------------------------------------------
// CRegistryValue

CRegistryValue::CRegistryValue(HKEY hRoot, LPCWSTR pszKey, LPCWSTR pszValue, REGSAM samView)
    : m_hRoot(hRoot), m_key(pszKey), m_samView(samView)
{
    if (pszValue != nullptr)
        m_value = pszValue;
    HKEY hKey = nullptr;
    if (::RegOpenKeyExW(hRoot, pszKey, 0, KEY_READ | m_samView, &hKey) != ERROR_SUCCESS)
        return;
    DWORD cb = 0;
    if (::RegQueryValueExW(hKey, Name(), nullptr, &m_dwType, nullptr, &cb) == ERROR_SUCCESS)
    {
        m_saved.emplace(cb);
        ::RegQueryValueExW(hKey, Name(), nullptr, &m_dwType, m_saved->data(), &cb);
    }
    ::RegCloseKey(hKey);
}

CRegistryValue::~CRegistryValue()
{
    if (m_saved)
        Write(m_dwType, m_saved->data(), static_cast<DWORD>(m_saved->size()));
    else
        Delete();
}

void CRegistryValue::SetText(const std::wstring& text)
{
    Write(REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void CRegistryValue::SetUnterminated(const std::wstring& text)
{
    Write(REG_SZ, reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size() * sizeof(wchar_t)));
}

void CRegistryValue::Delete()
{
    HKEY hKey = nullptr;
    if (::RegOpenKeyExW(m_hRoot, m_key.c_str(), 0, KEY_SET_VALUE | m_samView, &hKey) == ERROR_SUCCESS)
    {
        ::RegDeleteValueW(hKey, Name());
        ::RegCloseKey(hKey);
    }
}

void CRegistryValue::Write(DWORD dwType, const BYTE* pb, DWORD cb)
{
    HKEY hKey = nullptr;
    if (::RegCreateKeyExW(m_hRoot, m_key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | m_samView, nullptr, &hKey,
                          nullptr) == ERROR_SUCCESS)
    {
        ::RegSetValueExW(hKey, Name(), 0, dwType, pb, cb);
        ::RegCloseKey(hKey);
    }
}

std::optional<std::wstring> ReadRegistryText(HKEY hRoot, LPCWSTR pszKey, LPCWSTR pszValue, REGSAM samView)
{
    HKEY hKey = nullptr;
    if (::RegOpenKeyExW(hRoot, pszKey, 0, KEY_READ | samView, &hKey) != ERROR_SUCCESS)
        return std::nullopt;
    wchar_t sz[MAX_PATH + 1] = {}; // a last terminator that a value of MAX_PATH units may lack
    DWORD dwType = REG_NONE;
    DWORD cb = MAX_PATH * sizeof(wchar_t);
    const LONG lRes = ::RegQueryValueExW(hKey, pszValue, nullptr, &dwType, reinterpret_cast<BYTE*>(sz), &cb);
    ::RegCloseKey(hKey);
    if (lRes != ERROR_SUCCESS || dwType != REG_SZ)
        return std::nullopt;
    return std::wstring(sz);
}

std::wstring GuidText(REFGUID guid)
{
    wchar_t sz[40] = {};
    ::StringFromGUID2(guid, sz, 40);
    return sz;
}

std::wstring InprocServerKey(REFCLSID clsid)
{
    return L"CLSID\\" + GuidText(clsid) + L"\\InprocServer32";
}

WORD ImageMachine(const std::wstring& path)
{
    HANDLE hFile = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return 0;
    std::vector<BYTE> head(4096);
    DWORD cbRead = 0;
    const BOOL bRead = ::ReadFile(hFile, head.data(), static_cast<DWORD>(head.size()), &cbRead, nullptr);
    ::CloseHandle(hFile);
    if (!bRead || cbRead < sizeof(IMAGE_DOS_HEADER))
        return 0;
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, head.data(), sizeof(dos));
    const size_t ibNt = static_cast<size_t>(dos.e_lfanew);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 || ibNt + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER) > cbRead)
        return 0;
    DWORD dwSignature = 0;
    std::memcpy(&dwSignature, head.data() + ibNt, sizeof(dwSignature));
    IMAGE_FILE_HEADER file;
    std::memcpy(&file, head.data() + ibNt + sizeof(DWORD), sizeof(file));
    return dwSignature == IMAGE_NT_SIGNATURE ? file.Machine : 0;
}

WORD OwnMachine()
{
    return sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
}

WORD ProcessMachine(HANDLE hProcess)
{
    // On 64-bit Windows, as the test prefix is, a process runs under WoW64
    // exactly when it is a 32-bit one.
    BOOL bWow64 = FALSE;
    if (!::IsWow64Process(hProcess, &bWow64))
        return 0;
    return bWow64 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;
}
