#include "Timeline.h"

#include <algorithm>
#include <limits>

namespace rtmp
{

namespace
{

constexpr uint64_t kUnitsPerMs = 10000;
constexpr uint64_t kMaxMs = std::numeric_limits<uint32_t>::max();

} // namespace

uint32_t Timeline::Map(int64_t rtStart)
{
    if (!m_bAnchored)
    {
        m_bAnchored = true;
        m_rtAnchor = rtStart;
        const uint64_t msStep = m_msStep > 0 ? m_msStep : 1;
        m_msAnchor = !m_bHandedOut ? m_msLatest : static_cast<uint32_t>(std::min(kMaxMs, m_msLatest + msStep));
    }
    uint64_t ms = m_msAnchor;
    // Unsigned, so that no pair of times can overflow; earlier than the anchor stays at it.
    if (rtStart > m_rtAnchor)
        ms += (static_cast<uint64_t>(rtStart) - static_cast<uint64_t>(m_rtAnchor)) / kUnitsPerMs;
    if (ms > kMaxMs)
        ms = kMaxMs;
    if (ms < m_msLatest)
        ms = m_msLatest;
    if (m_bHandedOut && ms > m_msLatest)
        m_msStep = static_cast<uint32_t>(ms - m_msLatest);
    m_msLatest = static_cast<uint32_t>(ms);
    m_bHandedOut = true;
    return m_msLatest;
}

void Timeline::Restart()
{
    m_bAnchored = false;
}

void Timeline::Reset()
{
    *this = Timeline();
}

} // namespace rtmp
