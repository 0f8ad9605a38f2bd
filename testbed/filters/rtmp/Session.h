// One RTMP client connection as a server sees it: bytes in, bytes out.
// The handshake, the chunk streams both ways, the commands of a player
// (connect, createStream, play, ...) and the media of one live stream.
// No sockets, clocks or threads: the caller moves the bytes and serialises
// every call.
#pragma once

#include "Flv.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace rtmp
{

struct ServerConfig
{
    std::string app = "live";           // the application a client must connect to
    std::string stream = "skerry";      // the stream name a client must play
    uint32_t chunkSize = 4096;          // the server's outgoing chunk size, announced with Set Chunk Size
    size_t maxMessageLength = 1 << 20;  // an incoming message longer than this closes the connection
    size_t maxQueuedBytes = 2 << 20;    // outgoing bytes a slow client may have waiting before media is dropped
};

// The streams served, and what onMetaData says of them. A stream without
// video, or without audio, is described and served without it.
struct StreamInfo
{
    bool bVideo = true, bAudio = true;
    double width = 640, height = 360, frameRate = 25;
    double audioSampleRate = 48000;
    double audioChannels = 2;
    double videoCodecId = 7, audioCodecId = 10;
};

// The stream headers; a body that is empty is not sent.
struct StreamHeaders
{
    StreamInfo info;
    Bytes avcSequenceHeader;
    Bytes aacSequenceHeader;
};

enum class MediaKind
{
    Audio,
    Video
};

struct MediaFrame
{
    MediaKind kind;
    uint32_t ms;
    bool bKey;                          // a video key frame (audio frames: false)
    std::shared_ptr<const Bytes> body;  // the FLV tag body, shared by every client
};

struct SessionStats
{
    uint64_t bytesOut = 0;
    uint64_t framesDropped = 0;
};

class Session
{
public:
    explicit Session(const ServerConfig& config);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Bytes the client sent. Returns false once the connection must be
    // closed (handshake bytes wrong, a broken chunk header, a message over
    // the cap, an AMF0 value that does not parse where a command must, ...);
    // CloseReason() then says why in a short English sentence. Output already
    // queued (e.g. an _error) may still be sent before closing.
    bool Receive(const uint8_t* pb, size_t cb);
    // Appends every byte ready to send to out and forgets them; counted in
    // Stats().bytesOut.
    void TakeOutput(Bytes& out);
    size_t PendingOutput() const;
    // A play of ServerConfig::stream was accepted; media goes out.
    bool IsPlaying() const;
    // EndStream() was called: close once the output is sent. A client that
    // closes or deletes its stream keeps its connection.
    bool HasStreamEnded() const;
    const std::string& CloseReason() const;
    SessionStats Stats() const;
    // Stream headers known to the server; a playing session sends them
    // (again) if they change.
    void SetStreamHeaders(const StreamHeaders& headers);
    // A frame of the stream. Ignored unless playing. A session that starts
    // playing (or that dropped frames) sends nothing until a video key frame,
    // audio included, so the client starts clean; without video, from any
    // audio frame. When PendingOutput() is
    // over ServerConfig::maxQueuedBytes the frame is dropped, counted in
    // framesDropped, and the session waits for the next key frame again.
    void SendFrame(const MediaFrame& frame);
    // The stream ends (the filter stops): NetStream.Play.Stop (and StreamEOF
    // user control) to a playing client.
    void EndStream();

private:
    class Impl;
    std::unique_ptr<Impl> m_pImpl;
};

} // namespace rtmp
