// Debug reports and trace lines.
//
// A report (ATLASSERT, ATLREPORT) names a broken expectation with its source
// file and line; a trace line (ATLTRACE2) carries a category, a level and a
// formatted text. Both go to the debugger through OutputDebugStringW and to an
// optional sink that tests install to observe them. Neither ever stops the
// program or changes the flow around it.
#pragma once

#ifndef STRSAFE_NO_DEPRECATE
#define STRSAFE_NO_DEPRECATE
#endif
#include <windows.h>

#include <cstdarg>
#include <cstdlib> // _countof
#include <cstdio>
#include <cwchar>

namespace ATL
{

// Trace categories. Only the general one is used by the console.
enum AtlTraceCategory : unsigned
{
    atlTraceGeneral = 0x00000001,
};

// Receives every report and trace line. Called on the thread that raised it.
class IAtlDiagnosticSink
{
public:
    virtual void OnReport(const wchar_t* pszText, const char* pszFile, int nLine) = 0;
    virtual void OnTrace(unsigned dwCategory, unsigned nLevel, const wchar_t* pszText) = 0;

protected:
    ~IAtlDiagnosticSink() = default;
};

class CAtlDiagnostics
{
public:
    // Installs a sink (null removes it) and returns the previous one.
    static IAtlDiagnosticSink* SetSink(IAtlDiagnosticSink* pSink)
    {
        IAtlDiagnosticSink* pOld = Sink();
        Sink() = pSink;
        return pOld;
    }

    static void Report(const wchar_t* pszText, const char* pszFile, int nLine)
    {
        if (pszText == nullptr)
            pszText = L"";
        wchar_t sz[1024];
        _snwprintf(sz, _countof(sz) - 1, L"%hs(%d): Assertion failed: %ls\n", pszFile, nLine, pszText);
        sz[_countof(sz) - 1] = L'\0';
        ::OutputDebugStringW(sz);
        if (IAtlDiagnosticSink* pSink = Sink())
            pSink->OnReport(pszText, pszFile, nLine);
    }

    static void TraceV(unsigned dwCategory, unsigned nLevel, const wchar_t* pszFormat, va_list args)
    {
        wchar_t sz[1024];
        int cch = _vsnwprintf(sz, _countof(sz) - 1, pszFormat, args);
        if (cch < 0)
            cch = _countof(sz) - 1; // cut to fit
        sz[cch] = L'\0';
        ::OutputDebugStringW(sz);
        if (IAtlDiagnosticSink* pSink = Sink())
            pSink->OnTrace(dwCategory, nLevel, sz);
    }

    static void Trace(unsigned dwCategory, unsigned nLevel, const wchar_t* pszFormat, ...)
    {
        va_list args;
        va_start(args, pszFormat);
        TraceV(dwCategory, nLevel, pszFormat, args);
        va_end(args);
    }

private:
    static IAtlDiagnosticSink*& Sink()
    {
        static IAtlDiagnosticSink* s_pSink = nullptr;
        return s_pSink;
    }
};

} // namespace ATL

// The expression is expanded before it is turned into text, so a report reads
// as the compiler saw it: ATLASSERT(hr == S_OK) reports "hr == ((HRESULT)0L)".
#define ATL_WIDEN_(text) L##text
#define ATL_WIDEN(text) ATL_WIDEN_(text)
#define ATL_STRINGIZE_(expr) #expr
#define ATL_ASSERT_EXPANDED_(expr)                                                   \
    do                                                                               \
    {                                                                                \
        if (!(expr))                                                                 \
            ::ATL::CAtlDiagnostics::Report(ATL_WIDEN(ATL_STRINGIZE_(expr)), __FILE__, __LINE__); \
    } while (0)

#define ATLASSERT(expr) ATL_ASSERT_EXPANDED_(expr)

// A report with a message of its own instead of an expression.
#define ATLREPORT(text) ::ATL::CAtlDiagnostics::Report(text, __FILE__, __LINE__)

#define ATLTRACE2(category, level, ...) ::ATL::CAtlDiagnostics::Trace(category, level, __VA_ARGS__)
