// Small helpers for tests: status texts, temporary files, the open-file dialog.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

// The build's folder (Skerry.exe, graphedit\...), one above the tests.
std::wstring BuildFolder();

// The system's description of a status, as FormatMessageW gives it.
std::wstring RawSystemText(HRESULT hr);
// The same without the line break it ends with, as messages show it.
std::wstring SystemText(HRESULT hr);
// "Error 0x" and the status in upper-case hexadecimal.
std::wstring StatusLine(HRESULT hr);
bool EndsWith(const std::wstring& text, const std::wstring& tail);
// The threads of this process.
int ThreadCount();
// Polls the condition every 10 ms; false when it is still not met after the time.
bool WaitUntil(const std::function<bool()>& condition, DWORD dwTimeoutMs);

// A new empty folder under the temporary folder; its contents go with it.
std::wstring MakeTempFolder(const std::wstring& tag);
void RemoveTempFolder(const std::wstring& dir);
void WriteTextFile(const std::wstring& path, const char* pszText);

// What opening the path as a compound file for exclusive reading answers.
HRESULT OpenStorageStatus(const std::wstring& path);

// Types a file name into an open-file dialog.
bool SetOpenDialogFileName(HWND hWndOpen, const std::wstring& path);

// A registry value replaced for the length of a test, then put back (or
// deleted again when there was none). samView picks a view of the registry
// (KEY_WOW64_32KEY or KEY_WOW64_64KEY; 0: this process's own).
class CRegistryValue
{
public:
    CRegistryValue(HKEY hRoot, LPCWSTR pszKey, LPCWSTR pszValue, REGSAM samView = 0);
    ~CRegistryValue();

    CRegistryValue(const CRegistryValue&) = delete;
    CRegistryValue& operator=(const CRegistryValue&) = delete;

    void SetText(const std::wstring& text);
    // A string value stored without its terminator.
    void SetUnterminated(const std::wstring& text);
    void Delete();

private:
    LPCWSTR Name() const { return m_value.empty() ? nullptr : m_value.c_str(); }
    void Write(DWORD dwType, const BYTE* pb, DWORD cb);

    HKEY m_hRoot;
    std::wstring m_key;
    std::wstring m_value;
    REGSAM m_samView;
    DWORD m_dwType = REG_NONE;
    std::optional<std::vector<BYTE>> m_saved;
};

// The text of a string value, or nothing when it cannot be read. samView as
// above.
std::optional<std::wstring> ReadRegistryText(HKEY hRoot, LPCWSTR pszKey, LPCWSTR pszValue, REGSAM samView = 0);

// The registry views of this test's bitness and of the other one, and the
// other one's number of bits as the console's trace lines write it.
#ifdef _WIN64
constexpr REGSAM kOwnRegistryView = KEY_WOW64_64KEY;
constexpr REGSAM kOtherRegistryView = KEY_WOW64_32KEY;
constexpr const wchar_t* kOtherBitness = L"32";
#else
constexpr REGSAM kOwnRegistryView = KEY_WOW64_32KEY;
constexpr REGSAM kOtherRegistryView = KEY_WOW64_64KEY;
constexpr const wchar_t* kOtherBitness = L"64";
#endif

// A class id in registry form, with braces.
std::wstring GuidText(REFGUID guid);
// The key of a class's in-process server under HKEY_CLASSES_ROOT.
std::wstring InprocServerKey(REFCLSID clsid);

// The machine a program or DLL was built for (IMAGE_FILE_MACHINE_AMD64 or
// IMAGE_FILE_MACHINE_I386), read from its file; 0 when it is no such file.
WORD ImageMachine(const std::wstring& path);
// This process's machine, in the same terms.
WORD OwnMachine();
// The machine of a running process.
WORD ProcessMachine(HANDLE hProcess);

// COM's multithreaded apartment for the calling thread while it lives: for
// tests that call the filters from their own threads.
class CMultiThreadedApartment
{
public:
    CMultiThreadedApartment();
    ~CMultiThreadedApartment();
    CMultiThreadedApartment(const CMultiThreadedApartment&) = delete;
    CMultiThreadedApartment& operator=(const CMultiThreadedApartment&) = delete;

private:
    HRESULT m_hr;
};
