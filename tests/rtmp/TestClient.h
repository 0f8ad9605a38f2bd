// A player's side of an RTMP conversation, for driving a Session in the
// tests. Its chunk parser and chunker are its own, written from the chunk
// format, so that the server's reader and writer are checked against
// something they do not share code with; only AMF0 values come from the core
// (whose decoder has tests of its own on hand-made bytes).
#pragma once

#include "Amf0.h"
#include "Session.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace rtmptest
{

using rtmp::Bytes;
using rtmp::amf0::Value;

struct ReceivedMessage
{
    uint32_t csid = 0;
    uint8_t type = 0;
    uint32_t streamId = 0;
    uint32_t timestamp = 0;
    Bytes payload;

    // The AMF0 values of a command or data message (empty if they do not parse).
    std::vector<Value> Values() const;
    // The command or data name, or "".
    std::string Name() const;
    uint32_t U32(size_t offset) const;
};

// Chunks for the client to send: type 0 header, type 3 continuations.
Bytes Chunk(uint32_t csid, uint8_t type, uint32_t streamId, const Bytes& payload, uint32_t chunkSize = 128,
            uint32_t timestamp = 0);
Bytes Command(const std::vector<Value>& values);
Bytes U32(uint32_t value);
Bytes Cat(std::initializer_list<Bytes> parts);
// count AMF0 objects, one inside the other, around a null.
Bytes NestedObjects(int count);

// The server's output parsed as it comes: chunk by chunk, any fragmentation.
class ChunkParser
{
public:
    // Parses what it can of the bytes so far; false on a broken stream.
    bool Feed(const Bytes& bytes, std::vector<ReceivedMessage>& messages);
    bool Idle() const { return m_pending.empty(); }

private:
    struct Stream
    {
        uint32_t timestamp = 0, delta = 0, length = 0, streamId = 0;
        uint8_t type = 0;
        bool bExtended = false;
        Bytes payload;
    };
    // One chunk from m_pending at pos: 1 taken, 0 incomplete, -1 broken.
    int ParseChunk(size_t& pos, std::vector<ReceivedMessage>& messages);

    Bytes m_pending;
    std::map<uint32_t, Stream> m_streams;
    uint32_t m_chunkSize = 128;
};

class TestClient
{
public:
    explicit TestClient(rtmp::Session& session) : m_session(session) {}

    // C0+C1 in, checks S0+S1+S2 (S2 must echo C1), then C2.
    void Handshake();
    // Sends bytes; false when the session closes.
    bool Send(const Bytes& bytes);
    bool SendCommand(const std::vector<Value>& values, uint32_t streamId = 0, uint32_t csid = 3);
    // Everything the session has sent since the last call, as messages.
    std::vector<ReceivedMessage> Read();
    // connect (app), createStream, then play (name); the replies of each are checked by the caller.
    std::vector<ReceivedMessage> Connect(const std::string& app = "live");
    std::vector<ReceivedMessage> Play(const std::string& name = "skerry");

    bool bBroken = false;   // the server's chunk stream did not parse

private:
    rtmp::Session& m_session;
    ChunkParser m_parser;
    double m_transaction = 1;
};

// The info object's "code" of an _error, _result or onStatus, or "".
std::string InfoCode(const ReceivedMessage& message);

} // namespace rtmptest
