#include "Diagnostics.h"

#include <algorithm>

CDiagnosticsRecorder::CDiagnosticsRecorder() : m_pPrevious(CAtlDiagnostics::SetSink(this))
{
}

CDiagnosticsRecorder::~CDiagnosticsRecorder()
{
    CAtlDiagnostics::SetSink(m_pPrevious);
}

bool CDiagnosticsRecorder::HasReport(const std::wstring& text) const
{
    return std::find(m_reports.begin(), m_reports.end(), text) != m_reports.end();
}

void CDiagnosticsRecorder::Clear()
{
    m_reports.clear();
    m_traces.clear();
}

void CDiagnosticsRecorder::OnReport(const wchar_t* pszText, const char*, int)
{
    m_reports.emplace_back(pszText);
}

void CDiagnosticsRecorder::OnTrace(unsigned dwCategory, unsigned nLevel, const wchar_t* pszText)
{
    m_traces.push_back({dwCategory, nLevel, pszText});
}
