// Records the framework's debug reports and trace lines while it lives.
#pragma once

#include <atlbase.h>

#include <mutex>
#include <string>
#include <vector>

class CDiagnosticsRecorder : public IAtlDiagnosticSink
{
public:
    struct Trace
    {
        unsigned dwCategory;
        unsigned nLevel;
        std::wstring text;
    };

    // A recorder made while another lives takes over from it, or records and
    // passes everything on to it as well.
    enum class Nesting
    {
        TakeOver,
        PassOn
    };

    explicit CDiagnosticsRecorder(Nesting eNesting = Nesting::TakeOver);
    ~CDiagnosticsRecorder();

    CDiagnosticsRecorder(const CDiagnosticsRecorder&) = delete;
    CDiagnosticsRecorder& operator=(const CDiagnosticsRecorder&) = delete;

    // Copies, since the program under test may report from another thread.
    std::vector<std::wstring> Reports() const;
    std::vector<Trace> Traces() const;
    bool HasReport(const std::wstring& text) const;
    void Clear();

    void OnReport(const wchar_t* pszText, const char* pszFile, int nLine) override;
    void OnTrace(unsigned dwCategory, unsigned nLevel, const wchar_t* pszText) override;

private:
    mutable std::mutex m_mutex;
    IAtlDiagnosticSink* m_pPrevious;
    const bool m_bPassOn;
    std::vector<std::wstring> m_reports;
    std::vector<Trace> m_traces;
};
