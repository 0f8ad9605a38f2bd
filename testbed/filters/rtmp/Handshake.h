// The server's side of the plain RTMP handshake: C0 (version 3) and C1 in,
// S0, S1 and S2 (an echo of C1) out, then C2 in. Bytes may come in pieces
// of any size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rtmp
{

constexpr size_t kHandshakeBlock = 1536;
constexpr uint8_t kRtmpVersion = 3;

class ServerHandshake
{
public:
    // Takes what the handshake needs of [pb, pb + cb) and returns how many
    // bytes that was; the rest belongs to the chunk stream. S0+S1+S2 go to
    // out once C1 is complete. Check Failed() after each call.
    size_t Consume(const uint8_t* pb, size_t cb, std::vector<uint8_t>& out);
    bool Done() const { return m_state == State::Done; }
    bool Failed() const { return m_state == State::Failed; }

private:
    enum class State
    {
        WaitC0,
        WaitC1,
        WaitC2,
        Done,
        Failed,
    };

    void Answer(std::vector<uint8_t>& out) const;

    State m_state = State::WaitC0;
    std::vector<uint8_t> m_block;   // C1 so far, then C2 so far
};

} // namespace rtmp
