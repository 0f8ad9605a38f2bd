#include "Session.h"

#include "Amf0.h"
#include "ByteOrder.h"
#include "Chunk.h"
#include "Handshake.h"

#include <algorithm>

namespace rtmp
{

namespace
{

// Message types.
enum : uint8_t
{
    kSetChunkSize = 1,
    kAbortMessage = 2,
    kAcknowledgement = 3,
    kUserControl = 4,
    kWindowAckSize = 5,
    kSetPeerBandwidth = 6,
    kAudio = 8,
    kVideo = 9,
    kCommandAmf3 = 17,
    kDataAmf0 = 18,
    kCommandAmf0 = 20,
};

// User control events.
enum : uint16_t
{
    kStreamBegin = 0,
    kStreamEof = 1,
    kPingRequest = 6,
    kPingResponse = 7,
};

// Chunk streams of what the server sends.
enum : uint32_t
{
    kCsidControl = 2,
    kCsidCommand = 3,
    kCsidVideo = 4,
    kCsidStream = 5,
    kCsidAudio = 6,
};

// The one stream createStream hands out.
constexpr uint32_t kMediaStreamId = 1;
constexpr uint32_t kWindowSize = 2500000;
constexpr uint8_t kBandwidthDynamic = 2;

using amf0::Property;
using amf0::Value;

bool operator==(const StreamInfo& a, const StreamInfo& b)
{
    return a.bVideo == b.bVideo && a.bAudio == b.bAudio && a.width == b.width && a.height == b.height &&
           a.frameRate == b.frameRate &&
           a.audioSampleRate == b.audioSampleRate && a.audioChannels == b.audioChannels &&
           a.videoCodecId == b.videoCodecId && a.audioCodecId == b.audioCodecId;
}

Value Info(const char* level, const char* code, std::string description)
{
    return amf0::Object({{"level", amf0::String(level)},
                         {"code", amf0::String(code)},
                         {"description", amf0::String(std::move(description))}});
}

// The part of a name that counts: players may add a query string (a
// token, a key) after a '?'.
std::string WithoutQuery(const std::string& name)
{
    return name.substr(0, name.find('?'));
}

// The part of the application name that counts: players may also add a slash.
std::string AppName(const std::string& name)
{
    std::string app = WithoutQuery(name);
    while (!app.empty() && app.back() == '/')
        app.pop_back();
    return app;
}

} // namespace

class Session::Impl
{
public:
    explicit Impl(const ServerConfig& config)
        : m_config(config), m_reader(config.maxMessageLength)
    {
        m_config.chunkSize = std::max<uint32_t>(1, std::min(config.chunkSize, kMaxChunkSize));
    }

    bool Receive(const uint8_t* pb, size_t cb);
    void SetStreamHeaders(const StreamHeaders& headers);
    void SendFrame(const MediaFrame& frame);
    void EndStream();

    Bytes m_out;
    SessionStats m_stats;
    bool m_bPlaying = false;
    bool m_bStreamEnded = false; // the server's stream is over: close once the output is sent
    std::string m_closeReason;

private:
    void Close(std::string reason);
    size_t TakeHandshake(const uint8_t* pb, size_t cb);
    size_t TakeChunks(const uint8_t* pb, size_t cb);
    void Handle(const Message& message);
    void HandleControl(const Message& message);
    void HandleCommand(const uint8_t* pb, size_t cb);
    void OnConnect(double transaction, const std::vector<Value>& values);
    void OnPlay(double transaction, const std::vector<Value>& values);
    void OnCloseStream();
    void Acknowledge();

    void Send(uint32_t csid, uint8_t type, uint32_t streamId, uint32_t timestamp, const Bytes& payload);
    void SendControl(uint8_t type, uint32_t value);
    void SendUserControl(uint16_t event, uint32_t value);
    void SendChunkSize();
    void SendAmf(uint32_t csid, uint8_t type, uint32_t streamId, const std::vector<Value>& values);
    void SendError(double transaction, const char* code, std::string description);
    void SendStatus(const char* level, const char* code, std::string description);
    void SendMetaData();
    void SendHeader(MediaKind kind, const Bytes& body, uint32_t ms);
    void SendMedia(MediaKind kind, uint32_t ms, const Bytes& body);

    ServerConfig m_config;
    ServerHandshake m_handshake;
    ChunkReader m_reader;
    ChunkWriter m_writer;
    StreamHeaders m_headers;
    bool m_bClosed = false;
    bool m_bConnected = false;
    bool m_bChunkSizeSent = false;
    bool m_bWaitForKey = true;
    bool m_bDropping = false;      // frames are skipped because the client fell behind
    uint64_t m_bytesIn = 0;
    uint64_t m_bytesAcked = 0;
    uint32_t m_ackWindow = 0;      // the client's window; 0 until it sets one
    uint32_t m_msLast[2] = {0, 0}; // the latest timestamp sent, audio and video
};

void Session::Impl::Close(std::string reason)
{
    if (!m_bClosed)
        m_closeReason = std::move(reason);
    m_bClosed = true;
    m_bPlaying = false;
}

bool Session::Impl::Receive(const uint8_t* pb, size_t cb)
{
    if (m_bClosed)
        return false;
    while (cb > 0)
    {
        // Acknowledgements go at exact points of the byte stream, so that
        // the output never depends on how the bytes were cut into pieces.
        const size_t cbStep = m_ackWindow ? static_cast<size_t>(std::min<uint64_t>(
                                                cb, m_bytesAcked + m_ackWindow - m_bytesIn))
                                          : cb;
        const size_t used = m_handshake.Done() ? TakeChunks(pb, cbStep) : TakeHandshake(pb, cbStep);
        if (m_bClosed)
            return false;
        m_bytesIn += used;
        pb += used;
        cb -= used;
        Acknowledge();
    }
    // Replies a client asks for but never reads must not pile up for ever.
    if (m_out.size() > 2 * m_config.maxQueuedBytes + 65536)
        Close("The client does not read what the server sends.");
    return !m_bClosed;
}

size_t Session::Impl::TakeHandshake(const uint8_t* pb, size_t cb)
{
    const size_t used = m_handshake.Consume(pb, cb, m_out);
    if (m_handshake.Failed())
        Close("The client does not speak RTMP version 3.");
    return used;
}

// Bytes up to the end of the next message, which is then handled.
size_t Session::Impl::TakeChunks(const uint8_t* pb, size_t cb)
{
    ChunkReader::Status status;
    Message message;
    const size_t used = m_reader.Consume(pb, cb, status, message);
    if (status == ChunkReader::Status::Error)
        Close("Broken chunk stream: " + m_reader.Error() + ".");
    else if (status == ChunkReader::Status::Message)
        Handle(message);
    return used;
}

void Session::Impl::Handle(const Message& message)
{
    switch (message.type)
    {
    case kSetChunkSize:
    case kAbortMessage:
    case kUserControl:
    case kWindowAckSize:
        return HandleControl(message);
    case kCommandAmf0:
        return HandleCommand(message.payload.data(), message.payload.size());
    case kCommandAmf3:
        // AMF0 values after a 0 byte; anything else needs AMF3, which no player sends here.
        if (message.payload.empty() || message.payload[0] != 0)
            return Close("AMF3 commands are not supported.");
        return HandleCommand(message.payload.data() + 1, message.payload.size() - 1);
    default:
        // Acknowledgements, peer bandwidth, media and data a player may send: nothing to do.
        break;
    }
}

void Session::Impl::HandleControl(const Message& message)
{
    const Bytes& p = message.payload;
    const size_t cbNeeded = message.type == kUserControl ? 2 : 4;
    if (p.size() < cbNeeded)
        return Close("A protocol control message is too short.");
    if (message.type == kSetChunkSize)
    {
        const uint32_t chunkSize = GetBE(p.data(), 4);
        if (chunkSize == 0 || chunkSize > kMaxChunkSize)
            return Close("The client set a chunk size out of range.");
        m_reader.SetChunkSize(chunkSize);
    }
    else if (message.type == kAbortMessage)
    {
        m_reader.Abort(GetBE(p.data(), 4));
    }
    else if (message.type == kWindowAckSize)
    {
        m_ackWindow = GetBE(p.data(), 4);
    }
    else if (GetBE(p.data(), 2) == kPingRequest && p.size() >= 6)
    {
        SendUserControl(kPingResponse, GetBE(p.data() + 2, 4));
    }
}

void Session::Impl::HandleCommand(const uint8_t* pb, size_t cb)
{
    std::vector<Value> values;
    std::string error;
    if (!amf0::DecodeAll(pb, cb, values, error))
        return Close("A command does not parse: " + error + ".");
    if (values.empty() || values[0].type != amf0::Type::String)
        return Close("A command without a name.");
    const std::string& name = values[0].string;
    const double transaction =
        values.size() > 1 && values[1].type == amf0::Type::Number ? values[1].number : 0;
    if (name == "connect")
        return OnConnect(transaction, values);
    if (!m_bConnected)
        SendError(transaction, "NetConnection.Call.Failed", "Connect first.");
    else if (name == "createStream")
        SendAmf(kCsidCommand, kCommandAmf0, 0,
                {amf0::String("_result"), amf0::Number(transaction), amf0::Null(), amf0::Number(kMediaStreamId)});
    else if (name == "play")
        OnPlay(transaction, values);
    else if (name == "deleteStream" || name == "closeStream")
        OnCloseStream();
    else if (name == "pause" || name == "seek")
        SendError(transaction, "NetStream.Failed", "A live stream cannot " + name + ".");
    else if (transaction != 0)
        SendError(transaction, "NetConnection.Call.Failed", "Unknown command " + name + ".");
}

void Session::Impl::OnConnect(double transaction, const std::vector<Value>& values)
{
    if (m_bConnected)
    {
        SendError(transaction, "NetConnection.Call.Failed", "Already connected.");
        return;
    }
    const Value* pApp = values.size() > 2 ? values[2].Find("app") : nullptr;
    const std::string app = pApp && pApp->type == amf0::Type::String ? AppName(pApp->string) : std::string();
    if (app != AppName(m_config.app))
    {
        SendError(transaction, "NetConnection.Connect.Rejected", "No application " + app + " here.");
        return Close("The client asked for application '" + app + "'.");
    }
    m_bConnected = true;
    SendControl(kWindowAckSize, kWindowSize);
    Bytes bandwidth;
    PutBE(bandwidth, kWindowSize, 4);
    bandwidth.push_back(kBandwidthDynamic);
    Send(kCsidControl, kSetPeerBandwidth, 0, 0, bandwidth);
    SendChunkSize();
    Value info = Info("status", "NetConnection.Connect.Success", "Connection succeeded.");
    info.properties.push_back({"objectEncoding", amf0::Number(0)});
    SendAmf(kCsidCommand, kCommandAmf0, 0,
            {amf0::String("_result"), amf0::Number(transaction),
             amf0::Object({{"fmsVer", amf0::String("FMS/3,0,1,123")}, {"capabilities", amf0::Number(31)}}),
             info});
}

void Session::Impl::OnPlay(double transaction, const std::vector<Value>& values)
{
    if (values.size() < 4 || values[3].type != amf0::Type::String)
    {
        SendError(transaction, "NetStream.Play.Failed", "Play needs a stream name.");
        return;
    }
    if (m_bStreamEnded)
    {
        SendError(transaction, "NetStream.Play.Failed", "The stream has ended.");
        return;
    }
    const std::string& name = values[3].string;
    if (WithoutQuery(name) != m_config.stream)
    {
        SendStatus("error", "NetStream.Play.StreamNotFound", "No stream " + name + " here.");
        return;
    }
    SendUserControl(kStreamBegin, kMediaStreamId);
    SendStatus("status", "NetStream.Play.Reset", "Playing and resetting " + name + ".");
    SendStatus("status", "NetStream.Play.Start", "Started playing " + name + ".");
    SendAmf(kCsidStream, kDataAmf0, kMediaStreamId,
            {amf0::String("|RtmpSampleAccess"), amf0::Boolean(true), amf0::Boolean(true)});
    SendMetaData();
    m_msLast[0] = m_msLast[1] = 0;
    SendHeader(MediaKind::Video, m_headers.avcSequenceHeader, 0);
    SendHeader(MediaKind::Audio, m_headers.aacSequenceHeader, 0);
    m_bPlaying = true;
    m_bWaitForKey = true;
    m_bDropping = false;
}

// The client is done with its stream, not with the connection: it may
// create and play another.
void Session::Impl::OnCloseStream()
{
    m_bPlaying = false;
}

// An acknowledgement each time the client's window of bytes has come in.
void Session::Impl::Acknowledge()
{
    if (m_bClosed || m_ackWindow == 0 || m_bytesIn - m_bytesAcked < m_ackWindow)
        return;
    m_bytesAcked = m_bytesIn;
    SendControl(kAcknowledgement, static_cast<uint32_t>(m_bytesIn));
}

void Session::Impl::SetStreamHeaders(const StreamHeaders& headers)
{
    const bool bInfo = !(headers.info == m_headers.info);
    const bool bVideo = headers.avcSequenceHeader != m_headers.avcSequenceHeader;
    const bool bAudio = headers.aacSequenceHeader != m_headers.aacSequenceHeader;
    m_headers = headers;
    if (!m_bPlaying)
        return;
    if (bInfo)
        SendMetaData();
    if (bVideo)
    {
        SendHeader(MediaKind::Video, m_headers.avcSequenceHeader, m_msLast[1]);
        // Frames after new parameter sets decode only from a key frame on.
        m_bWaitForKey = true;
    }
    if (bAudio)
        SendHeader(MediaKind::Audio, m_headers.aacSequenceHeader, m_msLast[0]);
}

void Session::Impl::SendFrame(const MediaFrame& frame)
{
    if (!m_bPlaying || !frame.body)
        return;
    if (m_out.size() > m_config.maxQueuedBytes)
    {
        ++m_stats.framesDropped;
        m_bWaitForKey = true;
        m_bDropping = true;
        return;
    }
    const bool bStart = m_headers.info.bVideo ? frame.kind == MediaKind::Video && frame.bKey : true;
    if (m_bWaitForKey && !bStart)
    {
        // Frames a client has never seen the start of are not counted as dropped.
        if (m_bDropping)
            ++m_stats.framesDropped;
        return;
    }
    m_bWaitForKey = false;
    m_bDropping = false;
    SendMedia(frame.kind, frame.ms, *frame.body);
}

void Session::Impl::EndStream()
{
    if (m_bPlaying)
    {
        SendStatus("status", "NetStream.Play.Stop", "Stopped playing " + m_config.stream + ".");
        SendUserControl(kStreamEof, kMediaStreamId);
    }
    m_bPlaying = false;
    m_bStreamEnded = true;
}

void Session::Impl::Send(uint32_t csid, uint8_t type, uint32_t streamId, uint32_t timestamp, const Bytes& payload)
{
    Message header;
    header.type = type;
    header.streamId = streamId;
    header.timestamp = timestamp;
    m_writer.Write(csid, header, payload.data(), payload.size(), m_out);
}

void Session::Impl::SendControl(uint8_t type, uint32_t value)
{
    Bytes payload;
    PutBE(payload, value, 4);
    Send(kCsidControl, type, 0, 0, payload);
}

void Session::Impl::SendUserControl(uint16_t event, uint32_t value)
{
    Bytes payload;
    PutBE(payload, event, 2);
    PutBE(payload, value, 4);
    Send(kCsidControl, kUserControl, 0, 0, payload);
}

void Session::Impl::SendChunkSize()
{
    if (m_bChunkSizeSent)
        return;
    SendControl(kSetChunkSize, m_config.chunkSize);
    m_writer.SetChunkSize(m_config.chunkSize);
    m_bChunkSizeSent = true;
}

void Session::Impl::SendAmf(uint32_t csid, uint8_t type, uint32_t streamId, const std::vector<Value>& values)
{
    Bytes payload;
    for (const Value& value : values)
        amf0::Encode(value, payload);
    Send(csid, type, streamId, 0, payload);
}

void Session::Impl::SendError(double transaction, const char* code, std::string description)
{
    SendAmf(kCsidCommand, kCommandAmf0, 0,
            {amf0::String("_error"), amf0::Number(transaction), amf0::Null(),
             Info("error", code, std::move(description))});
}

void Session::Impl::SendStatus(const char* level, const char* code, std::string description)
{
    Value info = Info(level, code, std::move(description));
    info.properties.push_back({"details", amf0::String(m_config.stream)});
    SendAmf(kCsidStream, kCommandAmf0, kMediaStreamId,
            {amf0::String("onStatus"), amf0::Number(0), amf0::Null(), info});
}

void Session::Impl::SendMetaData()
{
    const StreamInfo& info = m_headers.info;
    std::vector<Property> properties;
    if (info.bVideo)
    {
        properties.push_back({"width", amf0::Number(info.width)});
        properties.push_back({"height", amf0::Number(info.height)});
        properties.push_back({"framerate", amf0::Number(info.frameRate)});
        properties.push_back({"videocodecid", amf0::Number(info.videoCodecId)});
    }
    if (info.bAudio)
    {
        properties.push_back({"audiosamplerate", amf0::Number(info.audioSampleRate)});
        properties.push_back({"audiochannels", amf0::Number(info.audioChannels)});
        properties.push_back({"stereo", amf0::Boolean(info.audioChannels >= 2)});
        properties.push_back({"audiocodecid", amf0::Number(info.audioCodecId)});
    }
    SendAmf(kCsidStream, kDataAmf0, kMediaStreamId, {amf0::String("onMetaData"), amf0::EcmaArray(std::move(properties))});
}

void Session::Impl::SendHeader(MediaKind kind, const Bytes& body, uint32_t ms)
{
    if (!body.empty())
        SendMedia(kind, ms, body);
}

// Timestamps never go back on either kind, whatever the caller hands in.
void Session::Impl::SendMedia(MediaKind kind, uint32_t ms, const Bytes& body)
{
    const bool bVideo = kind == MediaKind::Video;
    uint32_t& msLast = m_msLast[bVideo ? 1 : 0];
    msLast = std::max(msLast, ms);
    Send(bVideo ? kCsidVideo : kCsidAudio, bVideo ? kVideo : kAudio, kMediaStreamId, msLast, body);
}

Session::Session(const ServerConfig& config) : m_pImpl(new Impl(config)) {}

Session::~Session() = default;

bool Session::Receive(const uint8_t* pb, size_t cb)
{
    return m_pImpl->Receive(pb, cb);
}

void Session::TakeOutput(Bytes& out)
{
    out.insert(out.end(), m_pImpl->m_out.begin(), m_pImpl->m_out.end());
    m_pImpl->m_stats.bytesOut += m_pImpl->m_out.size();
    m_pImpl->m_out.clear();
}

size_t Session::PendingOutput() const
{
    return m_pImpl->m_out.size();
}

bool Session::IsPlaying() const
{
    return m_pImpl->m_bPlaying;
}

bool Session::HasStreamEnded() const
{
    return m_pImpl->m_bStreamEnded;
}

const std::string& Session::CloseReason() const
{
    return m_pImpl->m_closeReason;
}

SessionStats Session::Stats() const
{
    return m_pImpl->m_stats;
}

void Session::SetStreamHeaders(const StreamHeaders& headers)
{
    m_pImpl->SetStreamHeaders(headers);
}

void Session::SendFrame(const MediaFrame& frame)
{
    m_pImpl->SendFrame(frame);
}

void Session::EndStream()
{
    m_pImpl->EndStream();
}

} // namespace rtmp
