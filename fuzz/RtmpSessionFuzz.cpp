// libFuzzer target: the RTMP core on any bytes a client could send. The
// bytes reach a Session in pieces whose sizes a small generator picks,
// with frames, stream headers and reads of the output in between, as the
// server's threads would make them. The same bytes also go through the
// AMF0 decoder (what it decodes must encode and decode again) and the FLV
// helpers, and their first bytes drive a Timeline.
//
// Input: a flags byte, a byte that seeds the piece sizes, then the stream.
// Flag 1 puts a valid handshake before the stream, so that most runs reach
// the chunk layer; flag 2 makes the chunk size and the queue bound small.
#include "Amf0.h"
#include "Flv.h"
#include "Handshake.h"
#include "Session.h"
#include "Timeline.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace
{

// A tiny generator: pieces, frames and actions from one seed byte.
struct Dice
{
    uint32_t state;
    uint32_t Next()
    {
        state = state * 1103515245u + 12345u;
        return state >> 16;
    }
};

void FeedHandshake(rtmp::Session& session)
{
    std::vector<uint8_t> bytes(1 + 2 * rtmp::kHandshakeBlock, 0x5A);
    bytes[0] = rtmp::kRtmpVersion;
    if (!session.Receive(bytes.data(), bytes.size()))
        std::abort();
}

void Act(rtmp::Session& session, Dice& dice, uint32_t& ms, const std::shared_ptr<const rtmp::Bytes>& body)
{
    switch (dice.Next() % 6)
    {
    case 0:
    case 1:
        session.SendFrame({rtmp::MediaKind::Video, ms += dice.Next() % 50, dice.Next() % 4 == 0, body});
        break;
    case 2:
        session.SendFrame({rtmp::MediaKind::Audio, ms + dice.Next() % 30, false, body});
        break;
    case 3:
    {
        rtmp::StreamHeaders headers;
        headers.avcSequenceHeader.assign(body->begin(), body->begin() + dice.Next() % body->size());
        headers.aacSequenceHeader.assign(2, static_cast<uint8_t>(dice.Next()));
        session.SetStreamHeaders(headers);
        break;
    }
    case 4:
    {
        rtmp::Bytes out;
        session.TakeOutput(out);
        break;
    }
    default:
        if (dice.Next() % 16 == 0)
            session.EndStream();
        break;
    }
}

void FuzzSession(uint8_t flags, uint8_t seed, const uint8_t* pb, size_t cb)
{
    rtmp::ServerConfig config;
    if (flags & 2)
    {
        config.chunkSize = 1 + seed % 200;
        config.maxQueuedBytes = 4096;
        config.maxMessageLength = 1 << 16;
    }
    rtmp::Session session(config);
    if (flags & 1)
        FeedHandshake(session);
    Dice dice{seed};
    uint32_t ms = 0;
    const auto body = std::make_shared<const rtmp::Bytes>(300, 0x17);
    size_t pos = 0;
    while (pos < cb)
    {
        const size_t piece = std::min<size_t>(cb - pos, 1 + dice.Next() % 97);
        const bool bOpen = session.Receive(pb + pos, piece);
        if (!bOpen && session.CloseReason().empty())
            std::abort();
        if (!bOpen)
            break;
        pos += piece;
        Act(session, dice, ms, body);
    }
    const uint64_t pending = session.PendingOutput();
    const uint64_t before = session.Stats().bytesOut;
    rtmp::Bytes out;
    session.TakeOutput(out);
    if (out.size() != pending || session.Stats().bytesOut != before + pending || session.PendingOutput() != 0)
        std::abort();
}

void FuzzAmf0(const uint8_t* pb, size_t cb)
{
    std::vector<rtmp::amf0::Value> values;
    std::string error;
    if (!rtmp::amf0::DecodeAll(pb, cb, values, error))
    {
        if (error.empty())
            std::abort();
        return;
    }
    rtmp::Bytes encoded;
    for (const rtmp::amf0::Value& value : values)
        rtmp::amf0::Encode(value, encoded);
    std::vector<rtmp::amf0::Value> again;
    if (!rtmp::amf0::DecodeAll(encoded.data(), encoded.size(), again, error) || again.size() != values.size())
        std::abort();
}

void FuzzFlv(const uint8_t* pb, size_t cb)
{
    rtmp::Bytes sps, pps, body;
    if (rtmp::FindParameterSets(pb, cb, sps, pps) && !sps.empty() && !pps.empty())
        rtmp::AvcSequenceHeader(sps, pps);
    rtmp::AvcSequenceHeader(rtmp::Bytes(pb, pb + cb), rtmp::Bytes(pb, pb + cb / 2));
    if (rtmp::AvcVideoBody(pb, cb, cb % 2 == 0, body) && body.size() < 9)
        std::abort();
    if (rtmp::AacAudioBody(pb, cb).size() != cb + 2)
        std::abort();
}

void FuzzTimeline(const uint8_t* pb, size_t cb)
{
    rtmp::Timeline timeline;
    uint32_t latest = 0;
    for (size_t i = 0; i + 9 <= cb && i < 90; i += 9)
    {
        int64_t rt;
        std::memcpy(&rt, pb + i + 1, sizeof rt);
        if (pb[i] & 1)
            timeline.Restart();
        const uint32_t ms = timeline.Map(rt);
        if (ms < latest)
            std::abort();
        latest = ms;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData)
{
    if (cbData < 2)
        return 0;
    FuzzSession(pData[0], pData[1], pData + 2, cbData - 2);
    FuzzAmf0(pData + 2, cbData - 2);
    FuzzFlv(pData + 2, cbData - 2);
    FuzzTimeline(pData + 2, cbData - 2);
    return 0;
}
