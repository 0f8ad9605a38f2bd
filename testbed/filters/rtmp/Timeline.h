// Stream timestamps in milliseconds that never go back, across flushes,
// seeks and new runs of the graph: an RTMP client must see them grow.
#pragma once

#include <cstdint>

namespace rtmp
{

class Timeline
{
public:
    // ms for a sample starting at rtStart (100 ns units of the current
    // segment). After Restart() (a flush, a seek, a new run), the next sample
    // continues one step after the latest timestamp handed out, whatever its
    // rtStart: the step is the latest spacing between two timestamps (a
    // frame's duration in a steady stream; 1 ms before there is one), so
    // that players which count in frames see no two at the same time. Later
    // samples keep their spacing from it. Never returns less than a
    // timestamp it returned before; saturates instead of wrapping.
    uint32_t Map(int64_t rtStart);
    void Restart();
    // A new stream from 0 (the filter left the stopped state).
    void Reset();

private:
    // The segment's time m_rtAnchor maps to m_msAnchor; a segment after
    // Restart() is anchored at its first sample.
    bool m_bAnchored = true;
    bool m_bHandedOut = false;   // m_msLatest is a timestamp handed out
    int64_t m_rtAnchor = 0;
    uint32_t m_msAnchor = 0;
    uint32_t m_msLatest = 0;
    uint32_t m_msStep = 0;       // the latest spacing between two timestamps handed out
};

} // namespace rtmp
