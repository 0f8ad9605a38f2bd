#include "Handshake.h"

#include <algorithm>

namespace rtmp
{

size_t ServerHandshake::Consume(const uint8_t* pb, size_t cb, std::vector<uint8_t>& out)
{
    size_t used = 0;
    while (used < cb && m_state != State::Done && m_state != State::Failed)
    {
        if (m_state == State::WaitC0)
        {
            m_state = pb[used++] == kRtmpVersion ? State::WaitC1 : State::Failed;
            continue;
        }
        const size_t take = std::min(kHandshakeBlock - m_block.size(), cb - used);
        m_block.insert(m_block.end(), pb + used, pb + used + take);
        used += take;
        if (m_block.size() < kHandshakeBlock)
            break;
        if (m_state == State::WaitC1)
        {
            Answer(out);
            m_state = State::WaitC2;
        }
        else
        {
            // C2 should echo S1; players differ, and nothing here depends on it.
            m_state = State::Done;
        }
        m_block.clear();
        m_block.shrink_to_fit();
    }
    return used;
}

// S0, then S1 (time 0, zero, filler), then S2: C1 echoed.
void ServerHandshake::Answer(std::vector<uint8_t>& out) const
{
    out.push_back(kRtmpVersion);
    out.insert(out.end(), 8, 0);
    // The filler need not be unpredictable: no digest is made from it.
    uint32_t state = 0x2545F491;
    for (size_t i = 8; i < kHandshakeBlock; ++i)
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        out.push_back(static_cast<uint8_t>(state));
    }
    out.insert(out.end(), m_block.begin(), m_block.end());
}

} // namespace rtmp
