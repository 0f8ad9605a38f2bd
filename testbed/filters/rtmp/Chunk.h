// RTMP chunk streams: messages cut into chunks of at most the chunk size,
// each chunk with a header that only says what changed since the last one
// on its chunk stream. The reader takes bytes in pieces of any size and
// hands out whole messages; the writer cuts messages into chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace rtmp
{

struct Message
{
    uint32_t timestamp = 0;
    uint8_t type = 0;
    uint32_t streamId = 0;
    std::vector<uint8_t> payload;
};

constexpr uint32_t kDefaultChunkSize = 128;
// A chunk size with the top bit set is not one (0x7FFFFFFF is the largest).
constexpr uint32_t kMaxChunkSize = 0x7FFFFFFF;
// Timestamps from this value on go into the extended timestamp field.
constexpr uint32_t kExtendedTimestamp = 0xFFFFFF;

class ChunkReader
{
public:
    // Chunk streams a connection may use at once; a player needs a handful.
    static constexpr size_t kMaxChunkStreams = 64;

    explicit ChunkReader(size_t maxMessageLength) : m_maxMessageLength(maxMessageLength) {}

    enum class Status
    {
        NeedMore,   // every byte taken, no message complete yet
        Message,    // message holds a whole message; bytes after it were not taken
        Error,      // the stream is broken: Error() says how
    };
    // Takes bytes up to the end of the next whole message and returns how many.
    size_t Consume(const uint8_t* pb, size_t cb, Status& status, Message& message);
    const std::string& Error() const { return m_error; }

    // Set Chunk Size from the peer; the caller checks the range.
    void SetChunkSize(uint32_t chunkSize) { m_chunkSize = chunkSize; }
    // Abort Message: forget the part of a message received on a chunk stream.
    void Abort(uint32_t csid);

private:
    struct Stream
    {
        bool bExtended = false;   // the last full header carried an extended timestamp
        bool bOpen = false;       // a message is partly received
        uint32_t timestamp = 0;
        uint32_t delta = 0;
        uint32_t length = 0;
        uint32_t streamId = 0;
        uint8_t type = 0;
        std::vector<uint8_t> payload;
    };

    size_t HeaderLength() const;
    bool TakeHeaderByte(uint8_t byte);
    bool CheckStream();
    bool ApplyHeader();
    bool Fail(std::string reason);

    size_t m_maxMessageLength;
    uint32_t m_chunkSize = kDefaultChunkSize;
    std::map<uint32_t, Stream> m_streams;
    // The header of the chunk being read, and what is known of it so far.
    uint8_t m_header[3 + 11 + 4];
    size_t m_cbHeader = 0;
    uint32_t m_csid = 0;
    Stream* m_pStream = nullptr;   // set once the basic header is complete
    size_t m_cbChunkLeft = 0;      // payload bytes left in the current chunk
    bool m_bInPayload = false;
    std::string m_error;
};

class ChunkWriter
{
public:
    // For the messages written after it.
    void SetChunkSize(uint32_t chunkSize) { m_chunkSize = chunkSize; }
    uint32_t ChunkSize() const { return m_chunkSize; }
    // The first message on a chunk stream goes with a full header (type 0),
    // the next ones with a shorter one where the stream and time allow.
    void Write(uint32_t csid, const Message& message, std::vector<uint8_t>& out);
    // The same for a payload held elsewhere (media bodies shared by sessions).
    void Write(uint32_t csid, const Message& header, const uint8_t* payload, size_t cb,
               std::vector<uint8_t>& out);

private:
    struct Last
    {
        uint32_t timestamp;
        uint32_t length;
        uint32_t streamId;
        uint8_t type;
    };

    uint32_t m_chunkSize = kDefaultChunkSize;
    std::map<uint32_t, Last> m_last;
};

void WriteBasicHeader(uint8_t fmt, uint32_t csid, std::vector<uint8_t>& out);

} // namespace rtmp
