// Small helpers for tests: status texts, temporary files, the open-file dialog.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

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
