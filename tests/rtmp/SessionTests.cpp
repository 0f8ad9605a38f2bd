// The Session as a player sees it: whole conversations through the test's
// own client, the drop policy, and hostile input that must close cleanly.
#include "TestClient.h"

#include "Flv.h"

#include <gtest/gtest.h>

#include <memory>

using namespace rtmptest;
using namespace rtmp::amf0;
using rtmp::Bytes;
using rtmp::MediaFrame;
using rtmp::MediaKind;

namespace
{

std::vector<std::string> Names(const std::vector<ReceivedMessage>& messages)
{
    std::vector<std::string> names;
    for (const ReceivedMessage& message : messages)
        names.push_back(message.type == 20 || message.type == 18 ? message.Name() + (InfoCode(message).empty() ? "" : " " + InfoCode(message))
                                                                 : "type " + std::to_string(message.type));
    return names;
}

rtmp::StreamHeaders Headers()
{
    rtmp::StreamHeaders headers;
    headers.info.width = 320;
    headers.info.height = 240;
    headers.info.frameRate = 30;
    headers.avcSequenceHeader = {0x17, 0, 0, 0, 0, 1, 66, 0xC0, 30, 0xFF, 0xE1};
    headers.aacSequenceHeader = {0xAF, 0, 0x12, 0x10};
    return headers;
}

MediaFrame Frame(MediaKind kind, uint32_t ms, bool bKey, size_t cb = 100, uint8_t tag = 0)
{
    auto body = std::make_shared<Bytes>(cb, tag);
    (*body)[0] = kind == MediaKind::Video ? (bKey ? 0x17 : 0x27) : 0xAF;
    return MediaFrame{kind, ms, bKey, body};
}

// A session with a client that has connected and plays.
struct Playing
{
    explicit Playing(rtmp::ServerConfig config = rtmp::ServerConfig()) : session(config), client(session)
    {
        session.SetStreamHeaders(Headers());
        client.Handshake();
        client.Connect();
        replies = client.Play();
    }
    rtmp::Session session;
    TestClient client;
    std::vector<ReceivedMessage> replies;
};

} // namespace

TEST(RtmpSession, ConnectAnswersWithWindowBandwidthChunkSizeAndResult)
{
    rtmp::Session session{rtmp::ServerConfig()};
    TestClient client(session);
    client.Handshake();
    const std::vector<ReceivedMessage> replies = client.Connect();
    ASSERT_EQ(replies.size(), 4u) << ::testing::PrintToString(Names(replies));
    EXPECT_EQ(replies[0].type, 5);
    EXPECT_EQ(replies[0].U32(0), 2500000u);
    EXPECT_EQ(replies[1].type, 6);
    EXPECT_EQ(replies[1].U32(0), 2500000u);
    EXPECT_EQ(replies[1].payload.at(4), 2);
    EXPECT_EQ(replies[2].type, 1);
    EXPECT_EQ(replies[2].U32(0), 4096u);
    const std::vector<Value> result = replies[3].Values();
    ASSERT_EQ(result.size(), 4u);
    EXPECT_EQ(result[0].string, "_result");
    EXPECT_EQ(result[1].number, 1);
    ASSERT_TRUE(result[2].Find("fmsVer"));
    EXPECT_EQ(result[2].Find("fmsVer")->type, Type::String);
    ASSERT_TRUE(result[2].Find("capabilities"));
    EXPECT_EQ(result[3].Find("level")->string, "status");
    EXPECT_EQ(result[3].Find("code")->string, "NetConnection.Connect.Success");
    ASSERT_TRUE(result[3].Find("objectEncoding"));
    EXPECT_EQ(result[3].Find("objectEncoding")->number, 0);
    EXPECT_FALSE(client.bBroken);
}

TEST(RtmpSession, PlayRepliesInOrderThenMediaFromTheNextKeyFrame)
{
    Playing p;
    std::vector<std::string> names = Names(p.replies);
    ASSERT_EQ(names.size(), 8u) << ::testing::PrintToString(names);
    EXPECT_EQ(p.replies[0].Values().at(3).number, 1) << "createStream gives stream 1";
    EXPECT_EQ(p.replies[1].payload, (Bytes{0, 0, 0, 0, 0, 1})) << "StreamBegin 1";
    EXPECT_EQ(names[2], "onStatus NetStream.Play.Reset");
    EXPECT_EQ(names[3], "onStatus NetStream.Play.Start");
    EXPECT_EQ(names[4], "|RtmpSampleAccess");
    const std::vector<Value> access = p.replies[4].Values();
    ASSERT_EQ(access.size(), 3u);
    EXPECT_TRUE(access[1].boolean && access[2].boolean);
    ASSERT_EQ(names[5], "onMetaData");
    const std::vector<Value> meta = p.replies[5].Values();
    ASSERT_EQ(meta.size(), 2u);
    EXPECT_EQ(meta[1].type, Type::EcmaArray);
    const std::pair<const char*, double> fields[] = {{"width", 320},         {"height", 240},
                                                     {"framerate", 30},      {"videocodecid", 7},
                                                     {"audiosamplerate", 48000}, {"audiochannels", 2},
                                                     {"audiocodecid", 10}};
    for (const auto& field : fields)
    {
        ASSERT_TRUE(meta[1].Find(field.first)) << field.first;
        EXPECT_EQ(meta[1].Find(field.first)->number, field.second) << field.first;
    }
    ASSERT_TRUE(meta[1].Find("stereo"));
    EXPECT_TRUE(meta[1].Find("stereo")->boolean);
    EXPECT_EQ(p.replies[6].type, 9);
    EXPECT_EQ(p.replies[6].payload, Headers().avcSequenceHeader);
    EXPECT_EQ(p.replies[6].timestamp, 0u);
    EXPECT_EQ(p.replies[7].type, 8);
    EXPECT_EQ(p.replies[7].payload, Headers().aacSequenceHeader);
    EXPECT_EQ(p.replies[7].timestamp, 0u);
    for (size_t i = 1; i < p.replies.size(); ++i)
        EXPECT_EQ(p.replies[i].streamId, i == 1 ? 0u : 1u) << names[i];
    EXPECT_TRUE(p.session.IsPlaying());

    // Audio and inter frames before the first key frame are not sent, nor counted.
    p.session.SendFrame(Frame(MediaKind::Audio, 1000, false));
    p.session.SendFrame(Frame(MediaKind::Video, 1000, false));
    EXPECT_TRUE(p.client.Read().empty());
    p.session.SendFrame(Frame(MediaKind::Video, 1040, true, 9000));   // over the chunk size of 4096
    p.session.SendFrame(Frame(MediaKind::Audio, 1030, false));
    p.session.SendFrame(Frame(MediaKind::Video, 1080, false));
    p.session.SendFrame(Frame(MediaKind::Audio, 1050, false));
    p.session.SendFrame(Frame(MediaKind::Video, 1070, false));        // a caller's step back
    const std::vector<ReceivedMessage> media = p.client.Read();
    ASSERT_EQ(media.size(), 5u);
    EXPECT_EQ(media[0].type, 9);
    EXPECT_EQ(media[0].payload.size(), 9000u);
    EXPECT_EQ(media[0].payload[0], 0x17);
    EXPECT_EQ(media[0].timestamp, 1040u);
    const uint32_t expectedMs[] = {1040, 1030, 1080, 1050, 1080};
    for (size_t i = 0; i < media.size(); ++i)
    {
        EXPECT_EQ(media[i].timestamp, expectedMs[i]) << i;
        EXPECT_EQ(media[i].streamId, 1u);
    }
    EXPECT_EQ(p.session.Stats().framesDropped, 0u);
    EXPECT_FALSE(p.client.bBroken);

    p.session.EndStream();
    const std::vector<ReceivedMessage> end = p.client.Read();
    ASSERT_EQ(end.size(), 2u);
    EXPECT_EQ(InfoCode(end[0]), "NetStream.Play.Stop");
    EXPECT_EQ(end[1].payload, (Bytes{0, 1, 0, 0, 0, 1})) << "StreamEOF 1";
    EXPECT_TRUE(p.session.HasStreamEnded());
    EXPECT_FALSE(p.session.IsPlaying());
    p.session.SendFrame(Frame(MediaKind::Video, 2000, true));
    EXPECT_TRUE(p.client.Read().empty());
}

// A stream of sound alone is described without picture fields and played
// from its first frame; a stream of pictures alone without sound fields.
TEST(RtmpSession, AStreamOfOneKindIsDescribedAndServedAsItIs)
{
    const char* const kVideoFields[] = {"width", "height", "framerate", "videocodecid"};
    const char* const kAudioFields[] = {"audiosamplerate", "audiochannels", "stereo", "audiocodecid"};
    for (bool bVideo : {false, true})
    {
        SCOPED_TRACE(bVideo ? "video only" : "audio only");
        rtmp::StreamHeaders headers = Headers();
        headers.info.bVideo = bVideo;
        headers.info.bAudio = !bVideo;
        (bVideo ? headers.aacSequenceHeader : headers.avcSequenceHeader).clear();
        rtmp::Session session{rtmp::ServerConfig()};
        session.SetStreamHeaders(headers);
        TestClient client(session);
        client.Handshake();
        client.Connect();
        const std::vector<ReceivedMessage> replies = client.Play();
        const std::vector<std::string> names = Names(replies);
        const auto meta = std::find(names.begin(), names.end(), "onMetaData");
        ASSERT_NE(meta, names.end()) << ::testing::PrintToString(names);
        const std::vector<Value> values = replies[meta - names.begin()].Values();
        ASSERT_EQ(2u, values.size());
        for (const char* pszField : kVideoFields)
            EXPECT_EQ(bVideo, values[1].Find(pszField) != nullptr) << pszField;
        for (const char* pszField : kAudioFields)
            EXPECT_EQ(!bVideo, values[1].Find(pszField) != nullptr) << pszField;
        EXPECT_EQ(1, std::count(names.begin(), names.end(), bVideo ? "type 9" : "type 8")) << "its sequence header";
        EXPECT_EQ(0, std::count(names.begin(), names.end(), bVideo ? "type 8" : "type 9"));

        // Sound alone starts at once; pictures alone still at a key frame.
        session.SendFrame(Frame(bVideo ? MediaKind::Video : MediaKind::Audio, 100, false));
        session.SendFrame(Frame(bVideo ? MediaKind::Video : MediaKind::Audio, 140, bVideo));
        const std::vector<ReceivedMessage> media = client.Read();
        ASSERT_EQ(bVideo ? 1u : 2u, media.size());
        EXPECT_EQ(bVideo ? 140u : 100u, media[0].timestamp);
    }
}

TEST(RtmpSession, BytesOutCountsWhatWasTaken)
{
    Playing p;
    p.session.SendFrame(Frame(MediaKind::Video, 0, true, 5000));
    const size_t pending = p.session.PendingOutput();
    const uint64_t before = p.session.Stats().bytesOut;
    Bytes out;
    p.session.TakeOutput(out);
    EXPECT_EQ(out.size(), pending);
    EXPECT_GT(pending, 5000u);
    EXPECT_EQ(p.session.Stats().bytesOut, before + pending);
    EXPECT_EQ(p.session.PendingOutput(), 0u);
}

TEST(RtmpSession, SlowClientLosesFramesUntilTheNextKeyFrame)
{
    rtmp::ServerConfig config;
    config.maxQueuedBytes = 20000;
    Playing p(config);
    p.client.Read();
    p.session.SendFrame(Frame(MediaKind::Video, 0, true, 15000));
    p.session.SendFrame(Frame(MediaKind::Video, 40, false, 6000));    // pending 15000+: still under the bound
    p.session.SendFrame(Frame(MediaKind::Video, 80, false, 6000));    // over it now: dropped
    p.session.SendFrame(Frame(MediaKind::Audio, 90, false));          // dropped
    EXPECT_EQ(p.session.Stats().framesDropped, 2u);
    EXPECT_EQ(p.client.Read().size(), 2u);
    // Room again, but inter frames and audio still wait for a key frame, and count.
    p.session.SendFrame(Frame(MediaKind::Video, 120, false));
    p.session.SendFrame(Frame(MediaKind::Audio, 130, false));
    EXPECT_EQ(p.session.Stats().framesDropped, 4u);
    EXPECT_TRUE(p.client.Read().empty());
    p.session.SendFrame(Frame(MediaKind::Video, 160, true));
    p.session.SendFrame(Frame(MediaKind::Audio, 170, false));
    const std::vector<ReceivedMessage> resumed = p.client.Read();
    ASSERT_EQ(resumed.size(), 2u);
    EXPECT_EQ(resumed[0].payload[0], 0x17);
    EXPECT_EQ(resumed[0].timestamp, 160u);
    EXPECT_EQ(resumed[1].type, 8);
    EXPECT_EQ(p.session.Stats().framesDropped, 4u);
}

TEST(RtmpSession, ChangedHeadersAreSentAgainAndWaitForAKeyFrame)
{
    Playing p;
    p.session.SendFrame(Frame(MediaKind::Video, 500, true));
    p.client.Read();
    rtmp::StreamHeaders headers = Headers();
    headers.avcSequenceHeader.push_back(0x42);
    p.session.SetStreamHeaders(headers);
    p.session.SetStreamHeaders(headers);   // the same again: nothing new
    p.session.SendFrame(Frame(MediaKind::Video, 540, false));
    const std::vector<ReceivedMessage> sent = p.client.Read();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].payload, headers.avcSequenceHeader);
    EXPECT_EQ(sent[0].timestamp, 500u);
}

TEST(RtmpSession, OtherStreamNameIsNotFoundAndTheConnectionStays)
{
    rtmp::Session session{rtmp::ServerConfig()};
    TestClient client(session);
    client.Handshake();
    client.Connect();
    const std::vector<ReceivedMessage> replies = client.Play("other");
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(InfoCode(replies[1]), "NetStream.Play.StreamNotFound");
    EXPECT_EQ(replies[1].Values().at(3).Find("level")->string, "error");
    EXPECT_FALSE(session.IsPlaying());
    EXPECT_EQ(Names(client.Play("skerry")).size(), 6u);   // no headers known: none sent
    EXPECT_TRUE(session.IsPlaying());
}

// Players may add a query string to the application and to the stream name
// (a token, a key): the part before '?' counts.
TEST(RtmpSession, NamesAreMatchedWithoutTheirQueryString)
{
    const struct
    {
        const char* pszApp;
        const char* pszStream;
        bool bPlays;
    } kCases[] = {
        {"live?key=y", "skerry?token=x", true},
        {"live/?key=y", "skerry", true},
        {"live", "skerry?", true},
        {"live", "other?skerry", false},
        {"live", "skerryx?token=x", false},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(std::string(c.pszApp) + " " + c.pszStream);
        rtmp::Session session{rtmp::ServerConfig()};
        TestClient client(session);
        client.Handshake();
        const std::vector<std::string> connected = Names(client.Connect(c.pszApp));
        ASSERT_EQ(1, std::count(connected.begin(), connected.end(), "_result NetConnection.Connect.Success"))
            << ::testing::PrintToString(connected);
        client.Play(c.pszStream);
        EXPECT_EQ(c.bPlays, session.IsPlaying());
    }
}

TEST(RtmpSession, ConnectToAnotherAppIsRejectedAndCloses)
{
    rtmp::Session session{rtmp::ServerConfig()};
    TestClient client(session);
    client.Handshake();
    EXPECT_FALSE(client.SendCommand({String("connect"), Number(1), Object({{"app", String("vod")}})}));
    const std::vector<ReceivedMessage> replies = client.Read();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].Name(), "_error");
    EXPECT_EQ(InfoCode(replies[0]), "NetConnection.Connect.Rejected");
    EXPECT_NE(session.CloseReason().find("vod"), std::string::npos) << session.CloseReason();
    EXPECT_FALSE(client.Send(Chunk(3, 20, 0, Command({String("createStream"), Number(2), Null()}))));
}

TEST(RtmpSession, UnsupportedCommandsGetAnErrorAndTheConnectionStays)
{
    Playing p;
    p.client.Read();
    const char* names[] = {"releaseStream", "FCPublish", "FCUnpublish", "getStreamLength", "FCSubscribe",
                           "pause", "seek", "noSuchCommand"};
    double transaction = 10;
    for (const char* name : names)
    {
        SCOPED_TRACE(name);
        ASSERT_TRUE(p.client.SendCommand({String(name), Number(++transaction), Null(), String("skerry")}));
        const std::vector<ReceivedMessage> replies = p.client.Read();
        ASSERT_EQ(replies.size(), 1u);
        const std::vector<Value> values = replies[0].Values();
        ASSERT_EQ(values.size(), 4u);
        EXPECT_EQ(values[0].string, "_error");
        EXPECT_EQ(values[1].number, transaction);
        ASSERT_TRUE(values[3].Find("code"));
        EXPECT_EQ(values[3].Find("level")->string, "error");
    }
    // A notification (transaction 0) of an unknown kind is left unanswered.
    ASSERT_TRUE(p.client.SendCommand({String("onSomething"), Number(0), Null()}));
    EXPECT_TRUE(p.client.Read().empty());
    EXPECT_TRUE(p.session.IsPlaying());
}

TEST(RtmpSession, CommandsBeforeConnectGetAnError)
{
    rtmp::Session session{rtmp::ServerConfig()};
    TestClient client(session);
    client.Handshake();
    for (const char* name : {"createStream", "play"})
    {
        ASSERT_TRUE(client.SendCommand({String(name), Number(3), Null(), String("skerry")}));
        const std::vector<ReceivedMessage> replies = client.Read();
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].Name(), "_error");
    }
    EXPECT_FALSE(session.IsPlaying());
}

// A client that closes or deletes its stream stops the media and keeps the
// connection: it may create a stream and play again.
TEST(RtmpSession, DeleteStreamStopsTheMediaAndKeepsTheConnection)
{
    for (const char* name : {"deleteStream", "closeStream"})
    {
        SCOPED_TRACE(name);
        Playing p;
        ASSERT_TRUE(p.client.SendCommand({String(name), Number(0), Null(), Number(1)}, 1, 8));
        EXPECT_FALSE(p.session.IsPlaying());
        EXPECT_FALSE(p.session.HasStreamEnded()) << "the connection stays";
        p.session.SendFrame(Frame(MediaKind::Video, 0, true));
        EXPECT_TRUE(p.client.Read().empty());

        const std::vector<std::string> replies = Names(p.client.Play());
        EXPECT_TRUE(p.session.IsPlaying());
        EXPECT_EQ(1, std::count(replies.begin(), replies.end(), "onStatus NetStream.Play.Start"))
            << ::testing::PrintToString(replies);
        p.session.SendFrame(Frame(MediaKind::Video, 40, true));
        const std::vector<ReceivedMessage> media = p.client.Read();
        ASSERT_EQ(1u, media.size());
        EXPECT_EQ(9, media[0].type);
    }
}

// Once the server's stream has ended, a play that comes before the
// connection closes does not start it again.
TEST(RtmpSession, PlayAfterTheEndOfTheStreamFails)
{
    Playing p;
    p.session.EndStream();
    EXPECT_TRUE(p.session.HasStreamEnded());
    p.client.Read();
    const std::vector<std::string> replies = Names(p.client.Play());
    EXPECT_FALSE(p.session.IsPlaying());
    EXPECT_EQ(0, std::count(replies.begin(), replies.end(), "onStatus NetStream.Play.Start"))
        << ::testing::PrintToString(replies);
    EXPECT_EQ(1, std::count(replies.begin(), replies.end(), "_error NetStream.Play.Failed"))
        << ::testing::PrintToString(replies);
    p.session.SendFrame(Frame(MediaKind::Video, 0, true));
    EXPECT_TRUE(p.client.Read().empty());
}

TEST(RtmpSession, AcknowledgesTheClientsWindowAndAnswersPings)
{
    Playing p;
    p.client.Read();
    ASSERT_TRUE(p.client.Send(Chunk(2, 5, 0, U32(1000))));
    // 1 + 1536 + 1536 handshake bytes and the commands are already over the window.
    std::vector<ReceivedMessage> acks = p.client.Read();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].type, 3);
    const uint32_t first = acks[0].U32(0);
    EXPECT_GT(first, 3073u);
    // Less than a window: no acknowledgement; then one at exactly a window further.
    const Bytes ping = Chunk(2, 4, 0, {0, 6, 0x12, 0x34, 0x56, 0x78});
    ASSERT_TRUE(p.client.Send(ping));
    std::vector<ReceivedMessage> replies = p.client.Read();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].type, 4);
    EXPECT_EQ(replies[0].payload, (Bytes{0, 7, 0x12, 0x34, 0x56, 0x78}));
    const Bytes filler = Chunk(3, 22, 0, Bytes(1000, 0));   // an aggregate message: ignored
    ASSERT_TRUE(p.client.Send(filler));
    replies = p.client.Read();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].type, 3);
    EXPECT_EQ(replies[0].U32(0), first + 1000);
}

TEST(RtmpSession, AmfThreeCommandWithALeadingZeroIsAccepted)
{
    rtmp::Session session{rtmp::ServerConfig()};
    TestClient client(session);
    client.Handshake();
    Bytes payload = {0};
    const Bytes command = Command({String("connect"), Number(1), Object({{"app", String("live/")}})});
    payload.insert(payload.end(), command.begin(), command.end());
    ASSERT_TRUE(client.Send(Chunk(3, 17, 0, payload)));
    const std::vector<ReceivedMessage> replies = client.Read();
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(InfoCode(replies[3]), "NetConnection.Connect.Success");
}

// The same conversation fed a byte at a time and all at once gives the same bytes.
TEST(RtmpSession, FragmentationDoesNotChangeTheConversation)
{
    Bytes conversation(1 + 2 * 1536, 0x21);
    conversation[0] = 3;
    const Bytes chunks[] = {
        Chunk(2, 1, 0, U32(60)),
        Chunk(3, 20, 0, Command({String("connect"), Number(1), Object({{"app", String("live")}, {"tcUrl", String(std::string(300, 'x'))}})}), 60),
        Chunk(2, 5, 0, U32(100)),
        Chunk(3, 20, 0, Command({String("createStream"), Number(2), Null()}), 60),
        Chunk(8, 20, 1, Command({String("play"), Number(0), Null(), String("skerry")}), 60, 0x1234567),
        Chunk(2, 4, 0, {0, 6, 0, 0, 0, 9}),
        Chunk(3, 20, 0, Command({String("FCUnpublish"), Number(7), Null()}), 60),
    };
    for (const Bytes& chunk : chunks)
        conversation.insert(conversation.end(), chunk.begin(), chunk.end());

    auto run = [&](size_t piece) {
        rtmp::Session session{rtmp::ServerConfig()};
        session.SetStreamHeaders(Headers());
        Bytes out;
        for (size_t pos = 0; pos < conversation.size(); pos += piece)
        {
            EXPECT_TRUE(session.Receive(conversation.data() + pos, std::min(piece, conversation.size() - pos)))
                << session.CloseReason();
            session.TakeOutput(out);
        }
        EXPECT_TRUE(session.IsPlaying());
        return out;
    };
    const Bytes whole = run(conversation.size());
    EXPECT_EQ(run(1), whole);
    EXPECT_EQ(run(7), whole);
    EXPECT_EQ(run(1537), whole);
}

namespace
{

Bytes Nested(int depth)
{
    return Cat({Command({String("connect"), Number(1)}), NestedObjects(depth)});
}

// A type 0 chunk on csid 3 with a header that announces length bytes.
Bytes Announce(uint32_t length)
{
    return {3, 0, 0, 0, uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), 20, 0, 0, 0, 0};
}

Bytes ManyChunkStreams(uint32_t count)
{
    Bytes all;
    // Spread over the three basic header forms; the connection already uses chunk stream 3.
    for (uint32_t i = 0; i < count; ++i)
    {
        const Bytes chunk = Chunk(4 + i * 1000, 22, 0, {});
        all.insert(all.end(), chunk.begin(), chunk.end());
    }
    return all;
}

struct HostileCase
{
    const char* name;
    Bytes bytes;              // after a good handshake
    const char* reason;       // part of CloseReason()
};

} // namespace

TEST(RtmpSession, HostileInputClosesCleanly)
{
    const Bytes createStream = Command({String("createStream"), Number(2), Null()});
    const HostileCase cases[] = {
        {"chunk size 0", Chunk(2, 1, 0, U32(0)), "chunk size"},
        {"chunk size with the top bit", Chunk(2, 1, 0, U32(0x80000000)), "chunk size"},
        {"short control message", Chunk(2, 1, 0, {0, 1}), "too short"},
        {"message over the cap", Announce((1 << 20) + 1), "over the limit"},
        {"type 1 on an unknown chunk stream", {0x49, 0, 0, 0, 0, 0, 4, 20}, "never began"},
        {"type 2 on an unknown chunk stream", {0x89, 0, 0, 0}, "never began"},
        {"type 3 on an unknown chunk stream", {0xC9}, "never began"},
        {"type 3 on an unknown 3-byte chunk stream", {0xC1, 0x10, 0x20}, "never began"},
        {"new message inside another", Cat({Announce(200), Bytes(128, 0), Announce(10)}), "before the last"},
        {"too many chunk streams", ManyChunkStreams(64), "too many chunk streams"},
        {"AMF0 nested past the cap", Chunk(3, 20, 0, Nested(40)), "nested"},
        {"string longer than its message", Chunk(3, 20, 0, {0x02, 0, 50, 'c', 'o'}), "cut short"},
        {"long string longer than its message", Chunk(3, 20, 0, {0x0C, 0xFF, 0xFF, 0xFF, 0xF0, 'c'}), "cut short"},
        {"strict array longer than its message", Chunk(3, 20, 0, Cat({Command({String("x")}), {0x0A, 0, 0, 1, 0, 5}})), "strict array"},
        {"unknown marker", Chunk(3, 20, 0, Cat({Command({String("connect")}), {0x0D}})), "unknown AMF0 marker"},
        {"reference marker", Chunk(3, 20, 0, Cat({Command({String("connect")}), {0x07, 0, 0}})), "unknown AMF0 marker"},
        {"object end alone", Chunk(3, 20, 0, Cat({Command({String("connect")}), {0x09}})), "object end"},
        {"object without its end", Chunk(3, 20, 0, Cat({Command({String("connect")}), {0x03, 0, 1, 'a', 0x05}})), "cut short"},
        {"command that is not a string", Chunk(3, 20, 0, Command({Number(1), Number(1)})), "without a name"},
        {"empty command", Chunk(3, 20, 0, {}), "without a name"},
        {"AMF3 command", Chunk(3, 17, 0, Cat({{0x11}, createStream})), "AMF3"},
    };
    for (const HostileCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        rtmp::Session session{rtmp::ServerConfig()};
        TestClient client(session);
        client.Handshake();
        client.Connect();
        EXPECT_FALSE(client.Send(c.bytes));
        EXPECT_NE(session.CloseReason().find(c.reason), std::string::npos) << session.CloseReason();
        EXPECT_FALSE(client.Send(Chunk(3, 20, 0, createStream))) << "closed for good";
        EXPECT_FALSE(client.bBroken);
    }
}

TEST(RtmpSession, HandshakeFailsOnAnyOtherVersionAndWaitsWhenCut)
{
    for (uint8_t version : {0, 6, 31, 255})
    {
        rtmp::Session session{rtmp::ServerConfig()};
        EXPECT_FALSE(session.Receive(&version, 1));
        EXPECT_FALSE(session.CloseReason().empty());
        EXPECT_EQ(session.PendingOutput(), 0u);
    }
    // Cut after part of C1: nothing sent, nothing closed; the rest completes it.
    rtmp::Session session{rtmp::ServerConfig()};
    const Bytes c0c1 = Cat({{3}, Bytes(1536, 1)});
    ASSERT_TRUE(session.Receive(c0c1.data(), 1000));
    EXPECT_EQ(session.PendingOutput(), 0u);
    ASSERT_TRUE(session.Receive(c0c1.data() + 1000, c0c1.size() - 1000));
    EXPECT_EQ(session.PendingOutput(), 1u + 2 * 1536);
    // Chunks before C2 is complete are C2 bytes, not commands.
    const Bytes createStream = Chunk(3, 20, 0, Command({String("createStream"), Number(2), Null()}));
    Bytes out;
    session.TakeOutput(out);
    ASSERT_TRUE(session.Receive(createStream.data(), createStream.size()));
    EXPECT_EQ(session.PendingOutput(), 0u);
}

struct AcceptedCase
{
    const char* name;
    Bytes bytes;   // after a good handshake and connect; must bring one reply to createStream
};

TEST(RtmpSession, EveryChunkHeaderFormIsRead)
{
    const Bytes createStream = Command({String("createStream"), Number(2), Null()});
    const Bytes other = Command({String("createStream"), Number(3), Null()});
    Bytes aborted = Chunk(5, 20, 0, Bytes(300, 0x05));
    aborted.resize(12 + 128);   // the first chunk only
    const Bytes sameLength = Command({String("createStream"), Number(4), Null()});
    const AcceptedCase cases[] = {
        {"1-byte basic header", Chunk(63, 20, 0, createStream)},
        {"2-byte basic header", Chunk(64, 20, 0, createStream)},
        {"2-byte basic header, last", Chunk(319, 20, 0, createStream)},
        {"3-byte basic header", Chunk(320, 20, 0, createStream)},
        {"3-byte basic header, last", Chunk(65599, 20, 0, createStream)},
        {"continuation chunks", Chunk(3, 20, 0, Command({String("createStream"), Number(2), Null(), String(std::string(400, 'z'))}), 128)},
        {"extended timestamp with continuations", Chunk(3, 20, 0, Command({String("createStream"), Number(2), Null(), String(std::string(400, 'z'))}), 128, 0x1000000)},
        {"largest chunk size", Cat({Chunk(2, 1, 0, U32(0x7FFFFFFF)), Chunk(3, 20, 0, Command({String("createStream"), Number(2), Null(), String(std::string(400, 'z'))}), 0x7FFFFFFF)})},
        {"chunk size 1", Cat({Chunk(2, 1, 0, U32(1)), Chunk(3, 20, 0, createStream, 1)})},
        {"type 1 then type 2 then type 3", Cat({Chunk(7, 22, 0, {1}), {0x47, 0, 0, 5, 0, 0, uint8_t(createStream.size()), 20}, createStream,
                                               {0x87, 0, 0, 5}, other, {0xC7}, sameLength})},
        {"abort message", Cat({aborted, Chunk(2, 2, 0, U32(5)), Chunk(5, 20, 0, createStream)})},
        {"as many chunk streams as allowed", Cat({ManyChunkStreams(63), Chunk(3, 20, 0, createStream)})},
    };
    for (const AcceptedCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        rtmp::Session session{rtmp::ServerConfig()};
        TestClient client(session);
        client.Handshake();
        client.Connect();
        ASSERT_TRUE(client.Send(c.bytes)) << session.CloseReason();
        const std::vector<ReceivedMessage> replies = client.Read();
        ASSERT_GE(replies.size(), 1u);
        for (const ReceivedMessage& reply : replies)
            EXPECT_EQ(reply.Name(), "_result");
        EXPECT_EQ(replies[0].Values().at(1).number, 2);
    }
}
