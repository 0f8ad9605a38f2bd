#include "Diagnostics.h"

#include <algorithm>

CDiagnosticsRecorder::CDiagnosticsRecorder(Nesting eNesting)
    : m_pPrevious(CAtlDiagnostics::SetSink(this)), m_bPassOn(eNesting == Nesting::PassOn)
{
}

CDiagnosticsRecorder::~CDiagnosticsRecorder()
{
    CAtlDiagnostics::SetSink(m_pPrevious);
}

std::vector<std::wstring> CDiagnosticsRecorder::Reports() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
}

std::vector<CDiagnosticsRecorder::Trace> CDiagnosticsRecorder::Traces() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_traces;
}

bool CDiagnosticsRecorder::HasReport(const std::wstring& text) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::find(m_reports.begin(), m_reports.end(), text) != m_reports.end();
}

void CDiagnosticsRecorder::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reports.clear();
    m_traces.clear();
}

void CDiagnosticsRecorder::OnReport(const wchar_t* pszText, const char* pszFile, int nLine)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reports.emplace_back(pszText);
    }
    if (m_bPassOn && m_pPrevious != nullptr)
        m_pPrevious->OnReport(pszText, pszFile, nLine);
}

void CDiagnosticsRecorder::OnTrace(unsigned dwCategory, unsigned nLevel, const wchar_t* pszText)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_traces.push_back({dwCategory, nLevel, pszText});
    }
    if (m_bPassOn && m_pPrevious != nullptr)
        m_pPrevious->OnTrace(dwCategory, nLevel, pszText);
}
