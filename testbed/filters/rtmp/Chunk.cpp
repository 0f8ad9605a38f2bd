#include "Chunk.h"

#include "ByteOrder.h"

#include <algorithm>

namespace rtmp
{

namespace
{

constexpr size_t kMessageHeaderLength[4] = {11, 7, 3, 0};

size_t BasicHeaderLength(uint8_t first)
{
    switch (first & 0x3F)
    {
    case 0:
        return 2;
    case 1:
        return 3;
    default:
        return 1;
    }
}

} // namespace

void ChunkReader::Abort(uint32_t csid)
{
    const auto it = m_streams.find(csid);
    if (it == m_streams.end())
        return;
    it->second.bOpen = false;
    it->second.payload = std::vector<uint8_t>();
    // A chunk of that message still being read is left to run out.
}

bool ChunkReader::Fail(std::string reason)
{
    m_error = std::move(reason);
    return false;
}

// How long the current header is, as far as its bytes so far tell.
size_t ChunkReader::HeaderLength() const
{
    const size_t cbBasic = BasicHeaderLength(m_header[0]);
    if (m_cbHeader < cbBasic || !m_pStream)
        return cbBasic;
    const uint8_t fmt = m_header[0] >> 6;
    const size_t cbBoth = cbBasic + kMessageHeaderLength[fmt];
    if (m_cbHeader < cbBoth)
        return cbBoth;
    const bool bExtended = fmt == 3 ? m_pStream->bExtended
                                    : GetBE(m_header + cbBasic, 3) == kExtendedTimestamp;
    return cbBoth + (bExtended ? 4 : 0);
}

// Finds (or opens) the chunk stream once the basic header is complete.
bool ChunkReader::CheckStream()
{
    switch (m_header[0] & 0x3F)
    {
    case 0:
        m_csid = 64 + m_header[1];
        break;
    case 1:
        m_csid = 64 + m_header[1] + 256 * m_header[2];
        break;
    default:
        m_csid = m_header[0] & 0x3F;
        break;
    }
    const auto it = m_streams.find(m_csid);
    if (it != m_streams.end())
    {
        m_pStream = &it->second;
        return true;
    }
    if (m_header[0] >> 6 != 0)
        return Fail("a chunk continued a chunk stream that never began");
    if (m_streams.size() >= kMaxChunkStreams)
        return Fail("too many chunk streams");
    m_pStream = &m_streams[m_csid];
    return true;
}

bool ChunkReader::TakeHeaderByte(uint8_t byte)
{
    m_header[m_cbHeader++] = byte;
    if (!m_pStream && m_cbHeader == BasicHeaderLength(m_header[0]) && !CheckStream())
        return false;
    if (!m_pStream || m_cbHeader < HeaderLength())
        return true;
    return ApplyHeader();
}

// The header is complete: update the chunk stream and start the payload.
bool ChunkReader::ApplyHeader()
{
    Stream& stream = *m_pStream;
    const uint8_t fmt = m_header[0] >> 6;
    const uint8_t* p = m_header + BasicHeaderLength(m_header[0]);
    const bool bNewMessage = fmt != 3 || !stream.bOpen;
    if (fmt != 3)
    {
        if (stream.bOpen)
            return Fail("a message began before the last one on its chunk stream ended");
        uint32_t time = GetBE(p, 3);
        stream.bExtended = time == kExtendedTimestamp;
        if (stream.bExtended)
            time = GetBE(p + kMessageHeaderLength[fmt], 4);
        if (fmt >= 1)
            stream.delta = time;
        if (fmt <= 1)
        {
            stream.length = GetBE(p + 3, 3);
            stream.type = p[6];
        }
        if (fmt == 0)
        {
            // A type 3 header that starts the next message adds this time again.
            stream.streamId = GetLE32(p + 7);
            stream.timestamp = time;
            stream.delta = time;
        }
        else
        {
            stream.timestamp += stream.delta;
        }
    }
    else if (bNewMessage)
    {
        stream.timestamp += stream.delta;
    }
    if (bNewMessage)
    {
        if (stream.length > m_maxMessageLength)
            return Fail("a message of " + std::to_string(stream.length) + " bytes is over the limit");
        stream.bOpen = true;
        stream.payload.clear();
    }
    m_cbChunkLeft = std::min<size_t>(m_chunkSize, stream.length - stream.payload.size());
    m_bInPayload = true;
    return true;
}

size_t ChunkReader::Consume(const uint8_t* pb, size_t cb, Status& status, Message& message)
{
    status = Status::NeedMore;
    if (!m_error.empty())
    {
        status = Status::Error;
        return 0;
    }
    size_t used = 0;
    for (;;)
    {
        if (m_bInPayload)
        {
            Stream& stream = *m_pStream;
            const size_t take = std::min(m_cbChunkLeft, cb - used);
            // Bytes of an aborted message are read and dropped.
            if (stream.bOpen)
                stream.payload.insert(stream.payload.end(), pb + used, pb + used + take);
            used += take;
            m_cbChunkLeft -= take;
            if (m_cbChunkLeft > 0)
                return used;
            m_bInPayload = false;
            m_cbHeader = 0;
            m_pStream = nullptr;
            if (stream.bOpen && stream.payload.size() == stream.length)
            {
                stream.bOpen = false;
                message.timestamp = stream.timestamp;
                message.type = stream.type;
                message.streamId = stream.streamId;
                message.payload = std::move(stream.payload);
                stream.payload = std::vector<uint8_t>();
                status = Status::Message;
                return used;
            }
        }
        if (used == cb)
            return used;
        if (!TakeHeaderByte(pb[used++]))
        {
            status = Status::Error;
            return used;
        }
    }
}

void WriteBasicHeader(uint8_t fmt, uint32_t csid, std::vector<uint8_t>& out)
{
    const uint8_t top = static_cast<uint8_t>(fmt << 6);
    if (csid < 64)
    {
        out.push_back(static_cast<uint8_t>(top | csid));
    }
    else if (csid < 64 + 256)
    {
        out.push_back(top);
        out.push_back(static_cast<uint8_t>(csid - 64));
    }
    else
    {
        out.push_back(top | 1);
        out.push_back(static_cast<uint8_t>((csid - 64) & 0xFF));
        out.push_back(static_cast<uint8_t>((csid - 64) >> 8));
    }
}

void ChunkWriter::Write(uint32_t csid, const Message& message, std::vector<uint8_t>& out)
{
    Write(csid, message, message.payload.data(), message.payload.size(), out);
}

// The payload of message itself is not looked at: payload and cb are.
void ChunkWriter::Write(uint32_t csid, const Message& message, const uint8_t* payload, size_t cb,
                        std::vector<uint8_t>& out)
{
    const uint32_t length = static_cast<uint32_t>(cb);
    const auto it = m_last.find(csid);
    uint8_t fmt = 0;
    uint32_t time = message.timestamp;
    if (it != m_last.end() && it->second.streamId == message.streamId &&
        message.timestamp >= it->second.timestamp)
    {
        fmt = it->second.length == length && it->second.type == message.type ? 2 : 1;
        time = message.timestamp - it->second.timestamp;
    }
    m_last[csid] = Last{message.timestamp, length, message.streamId, message.type};

    const bool bExtended = time >= kExtendedTimestamp;
    WriteBasicHeader(fmt, csid, out);
    PutBE(out, bExtended ? kExtendedTimestamp : time, 3);
    if (fmt <= 1)
    {
        PutBE(out, length, 3);
        out.push_back(message.type);
    }
    if (fmt == 0)
        PutLE32(out, message.streamId);
    if (bExtended)
        PutBE(out, time, 4);

    size_t offset = 0;
    for (;;)
    {
        const size_t take = std::min<size_t>(m_chunkSize, length - offset);
        out.insert(out.end(), payload + offset, payload + offset + take);
        offset += take;
        if (offset == length)
            break;
        // Continuation chunks repeat an extended timestamp, as readers expect.
        WriteBasicHeader(3, csid, out);
        if (bExtended)
            PutBE(out, time, 4);
    }
}

} // namespace rtmp
