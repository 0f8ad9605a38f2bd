#include "TestClient.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace rtmptest
{

std::vector<Value> ReceivedMessage::Values() const
{
    std::vector<Value> values;
    std::string error;
    const size_t skip = type == 17 || type == 15 ? 1 : 0;
    if (payload.size() < skip ||
        !rtmp::amf0::DecodeAll(payload.data() + skip, payload.size() - skip, values, error))
        values.clear();
    return values;
}

std::string ReceivedMessage::Name() const
{
    const std::vector<Value> values = Values();
    return values.empty() ? std::string() : values[0].string;
}

uint32_t ReceivedMessage::U32(size_t offset) const
{
    if (payload.size() < offset + 4)
        return 0xDEADBEEF;
    return (uint32_t(payload[offset]) << 24) | (payload[offset + 1] << 16) | (payload[offset + 2] << 8) |
           payload[offset + 3];
}

std::string InfoCode(const ReceivedMessage& message)
{
    const std::vector<Value> values = message.Values();
    if (values.size() < 4)
        return "";
    const Value* code = values[3].Find("code");
    return code ? code->string : "";
}

Bytes U32(uint32_t value)
{
    return {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
}

static void BasicHeader(uint8_t fmt, uint32_t csid, Bytes& out)
{
    if (csid < 64)
    {
        out.push_back(uint8_t(fmt << 6 | csid));
    }
    else if (csid < 320)
    {
        out.push_back(uint8_t(fmt << 6));
        out.push_back(uint8_t(csid - 64));
    }
    else
    {
        out.push_back(uint8_t(fmt << 6 | 1));
        out.push_back(uint8_t((csid - 64) % 256));
        out.push_back(uint8_t((csid - 64) / 256));
    }
}

Bytes Chunk(uint32_t csid, uint8_t type, uint32_t streamId, const Bytes& payload, uint32_t chunkSize,
            uint32_t timestamp)
{
    Bytes out;
    const bool bExtended = timestamp >= 0xFFFFFF;
    const uint32_t field = bExtended ? 0xFFFFFF : timestamp;
    BasicHeader(0, csid, out);
    out.insert(out.end(), {uint8_t(field >> 16), uint8_t(field >> 8), uint8_t(field)});
    const uint32_t length = uint32_t(payload.size());
    out.insert(out.end(), {uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), type});
    out.insert(out.end(), {uint8_t(streamId), uint8_t(streamId >> 8), uint8_t(streamId >> 16), uint8_t(streamId >> 24)});
    const Bytes ext = U32(timestamp);
    if (bExtended)
        out.insert(out.end(), ext.begin(), ext.end());
    for (size_t offset = 0; offset < payload.size(); offset += chunkSize)
    {
        if (offset > 0)
        {
            BasicHeader(3, csid, out);
            if (bExtended)
                out.insert(out.end(), ext.begin(), ext.end());
        }
        const size_t cb = std::min<size_t>(chunkSize, payload.size() - offset);
        out.insert(out.end(), payload.begin() + offset, payload.begin() + offset + cb);
    }
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes NestedObjects(int count)
{
    Bytes bytes;
    for (int i = 0; i < count; ++i)
        bytes.insert(bytes.end(), {0x03, 0, 1, 'a'});
    bytes.push_back(0x05);
    for (int i = 0; i < count; ++i)
        bytes.insert(bytes.end(), {0, 0, 9});
    return bytes;
}

Bytes Command(const std::vector<Value>& values)
{
    Bytes payload;
    for (const Value& value : values)
        rtmp::amf0::Encode(value, payload);
    return payload;
}

int ChunkParser::ParseChunk(size_t& pos, std::vector<ReceivedMessage>& messages)
{
    const Bytes& b = m_pending;
    size_t p = pos;
    auto need = [&](size_t cb) { return p + cb <= b.size(); };
    if (!need(1))
        return 0;
    const uint8_t fmt = b[p] >> 6;
    uint32_t csid = b[p] & 0x3F;
    ++p;
    if (csid == 0 || csid == 1)
    {
        const size_t extra = csid == 0 ? 1 : 2;
        if (!need(extra))
            return 0;
        csid = 64 + b[p] + (csid == 1 ? 256 * b[p + 1] : 0);
        p += extra;
    }
    if (fmt != 0 && !m_streams.count(csid))
        return -1;
    Stream& s = m_streams[csid];
    static const size_t kLength[4] = {11, 7, 3, 0};
    if (!need(kLength[fmt]))
        return 0;
    const uint8_t* h = &b[p];
    uint32_t field = fmt < 3 ? (h[0] << 16 | h[1] << 8 | h[2]) : 0;
    const bool bExtended = fmt < 3 ? field == 0xFFFFFF : s.bExtended;
    p += kLength[fmt];
    if (bExtended)
    {
        if (!need(4))
            return 0;
        field = uint32_t(b[p]) << 24 | b[p + 1] << 16 | b[p + 2] << 8 | b[p + 3];
        p += 4;
    }
    const bool bNew = fmt != 3 || s.payload.empty();
    if (fmt != 3 && !s.payload.empty())
        return -1;
    const size_t cbChunk = std::min<size_t>(m_chunkSize, (fmt <= 1 ? (h[3] << 16 | h[4] << 8 | h[5]) : s.length) -
                                                            (bNew ? 0 : s.payload.size()));
    if (!need(cbChunk))
        return 0;
    // The whole chunk is here: only now change the stream's state.
    if (fmt < 3)
        s.bExtended = bExtended;
    if (fmt == 0)
    {
        // A type 3 header that starts the next message adds this time again.
        s.timestamp = field;
        s.delta = field;
        s.streamId = h[7] | h[8] << 8 | h[9] << 16 | uint32_t(h[10]) << 24;
    }
    else if (fmt < 3)
    {
        s.delta = field;
        s.timestamp += field;
    }
    else if (bNew)
    {
        s.timestamp += s.delta;
    }
    if (fmt <= 1)
    {
        s.length = h[3] << 16 | h[4] << 8 | h[5];
        s.type = h[6];
    }
    s.payload.insert(s.payload.end(), b.begin() + p, b.begin() + p + cbChunk);
    p += cbChunk;
    pos = p;
    if (s.payload.size() == s.length)
    {
        ReceivedMessage message{csid, s.type, s.streamId, s.timestamp, std::move(s.payload)};
        s.payload.clear();
        if (message.type == 1 && message.payload.size() == 4)
            m_chunkSize = message.U32(0);
        messages.push_back(std::move(message));
    }
    return 1;
}

bool ChunkParser::Feed(const Bytes& bytes, std::vector<ReceivedMessage>& messages)
{
    m_pending.insert(m_pending.end(), bytes.begin(), bytes.end());
    size_t pos = 0;
    int result;
    while ((result = ParseChunk(pos, messages)) == 1)
    {
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + pos);
    return result == 0;
}

void TestClient::Handshake()
{
    Bytes c0c1(1 + 1536);
    c0c1[0] = 3;
    for (size_t i = 1; i < c0c1.size(); ++i)
        c0c1[i] = uint8_t(i * 7 + i / 256);
    ASSERT_TRUE(m_session.Receive(c0c1.data(), c0c1.size()));
    Bytes reply;
    m_session.TakeOutput(reply);
    ASSERT_EQ(reply.size(), 1u + 2 * 1536);
    EXPECT_EQ(reply[0], 3);
    EXPECT_TRUE(std::equal(c0c1.begin() + 1, c0c1.end(), reply.begin() + 1 + 1536)) << "S2 is not C1";
    // C2 echoes S1.
    ASSERT_TRUE(m_session.Receive(reply.data() + 1, 1536));
    Bytes more;
    m_session.TakeOutput(more);
    EXPECT_TRUE(more.empty());
}

bool TestClient::Send(const Bytes& bytes)
{
    return m_session.Receive(bytes.data(), bytes.size());
}

bool TestClient::SendCommand(const std::vector<Value>& values, uint32_t streamId, uint32_t csid)
{
    return Send(Chunk(csid, 20, streamId, Command(values)));
}

std::vector<ReceivedMessage> TestClient::Read()
{
    Bytes out;
    m_session.TakeOutput(out);
    std::vector<ReceivedMessage> messages;
    if (!m_parser.Feed(out, messages))
        bBroken = true;
    return messages;
}

std::vector<ReceivedMessage> TestClient::Connect(const std::string& app)
{
    using namespace rtmp::amf0;
    SendCommand({String("connect"), Number(m_transaction++),
                 Object({{"app", String(app)}, {"tcUrl", String("rtmp://localhost/" + app)},
                         {"fpad", Boolean(false)}, {"objectEncoding", Number(0)}})});
    return Read();
}

std::vector<ReceivedMessage> TestClient::Play(const std::string& name)
{
    using namespace rtmp::amf0;
    SendCommand({String("createStream"), Number(m_transaction++), Null()});
    std::vector<ReceivedMessage> messages = Read();
    SendCommand({String("play"), Number(0), Null(), String(name), Number(-1000)}, 1, 8);
    std::vector<ReceivedMessage> more = Read();
    messages.insert(messages.end(), more.begin(), more.end());
    return messages;
}

} // namespace rtmptest
