// The core's parts on their own: AMF0 values, the chunk writer's bytes,
// FLV tag bodies and the timeline.
#include "TestClient.h"

#include "Amf0.h"
#include "Chunk.h"
#include "Flv.h"
#include "H264Encoder.h"
#include "Timeline.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

using rtmp::Bytes;
using rtmptest::Cat;
using rtmptest::NestedObjects;
namespace amf0 = rtmp::amf0;

namespace
{

struct AmfCase
{
    const char* name;
    Bytes bytes;
    amf0::Type type;
    bool bSameWhenEncoded;   // false where the encoder picks another form
};

} // namespace

TEST(RtmpAmf0, DecodesEveryTypeAndEncodesItBack)
{
    const AmfCase cases[] = {
        {"number", {0x00, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0}, amf0::Type::Number, true},
        {"boolean", {0x01, 0x01}, amf0::Type::Boolean, true},
        {"string", {0x02, 0, 2, 'a', 'b'}, amf0::Type::String, true},
        {"long string", {0x0C, 0, 0, 0, 2, 'a', 'b'}, amf0::Type::String, false},
        {"object", {0x03, 0, 1, 'a', 0x05, 0, 0, 0x09}, amf0::Type::Object, true},
        {"null", {0x05}, amf0::Type::Null, true},
        {"undefined", {0x06}, amf0::Type::Undefined, true},
        {"ECMA array", {0x08, 0, 0, 0, 1, 0, 1, 'a', 0x01, 0x00, 0, 0, 0x09}, amf0::Type::EcmaArray, true},
        {"strict array", {0x0A, 0, 0, 0, 2, 0x01, 0x01, 0x05}, amf0::Type::StrictArray, true},
        {"date", {0x0B, 0x42, 0x77, 0, 0, 0, 0, 0, 0, 0, 0}, amf0::Type::Date, true},
    };
    for (const AmfCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::vector<amf0::Value> values;
        std::string error;
        ASSERT_TRUE(amf0::DecodeAll(c.bytes.data(), c.bytes.size(), values, error)) << error;
        ASSERT_EQ(values.size(), 1u);
        EXPECT_EQ(values[0].type, c.type);
        Bytes encoded;
        amf0::Encode(values[0], encoded);
        if (c.bSameWhenEncoded)
        {
            EXPECT_EQ(encoded, c.bytes);
        }
    }
    std::vector<amf0::Value> values;
    std::string error;
    const Bytes all = Cat({cases[0].bytes, cases[3].bytes, cases[4].bytes, cases[8].bytes, cases[9].bytes});
    ASSERT_TRUE(amf0::DecodeAll(all.data(), all.size(), values, error));
    ASSERT_EQ(values.size(), 5u);
    EXPECT_EQ(values[0].number, 1.5);
    EXPECT_EQ(values[1].string, "ab");
    ASSERT_TRUE(values[2].Find("a"));
    EXPECT_EQ(values[2].Find("a")->type, amf0::Type::Null);
    ASSERT_EQ(values[3].items.size(), 2u);
    EXPECT_TRUE(values[3].items[0].boolean);
    EXPECT_EQ(values[4].number, 1580547964928.0);
}

TEST(RtmpAmf0, LongTextIsALongString)
{
    Bytes encoded;
    amf0::Encode(amf0::String(std::string(70000, 'q')), encoded);
    ASSERT_EQ(encoded.size(), 5u + 70000);
    EXPECT_EQ(encoded[0], 0x0C);
    EXPECT_EQ(Bytes(encoded.begin() + 1, encoded.begin() + 5), (Bytes{0, 1, 0x11, 0x70}));
}

TEST(RtmpAmf0, NestingAndValueCountAreCapped)
{
    std::vector<amf0::Value> values;
    std::string error;
    Bytes bytes = NestedObjects(amf0::kMaxDepth);
    EXPECT_TRUE(amf0::DecodeAll(bytes.data(), bytes.size(), values, error)) << error;
    bytes = NestedObjects(amf0::kMaxDepth + 1);
    EXPECT_FALSE(amf0::DecodeAll(bytes.data(), bytes.size(), values, error));
    EXPECT_NE(error.find("nested"), std::string::npos);
    bytes = {0x0A, 0, 0, 0x13, 0x88};   // 5000 nulls
    bytes.resize(bytes.size() + 5000, 0x05);
    error.clear();
    EXPECT_FALSE(amf0::DecodeAll(bytes.data(), bytes.size(), values, error));
    EXPECT_NE(error.find("too many"), std::string::npos) << error;
}

TEST(RtmpAmf0, EveryCutOfAValueFails)
{
    const Bytes whole = Cat({{0x03, 0, 1, 'a', 0x02, 0, 3, 'x', 'y', 'z', 0, 1, 'b', 0x0A, 0, 0, 0, 1, 0x00},
                             Bytes(8, 0x40), {0, 0, 0x09}});
    std::vector<amf0::Value> values;
    std::string error;
    ASSERT_TRUE(amf0::DecodeAll(whole.data(), whole.size(), values, error)) << error;
    for (size_t cb = 1; cb < whole.size(); ++cb)
    {
        values.clear();
        error.clear();
        // A copy of exactly cb bytes, so that reading past it would show under the sanitizers.
        const Bytes cut(whole.begin(), whole.begin() + cb);
        EXPECT_FALSE(amf0::DecodeAll(cut.data(), cut.size(), values, error)) << cb;
        EXPECT_FALSE(error.empty());
    }
}

struct WriterCase
{
    const char* name;
    uint32_t csid;
    uint32_t timestamp;
    uint32_t streamId;
    size_t cbPayload;
    Bytes header;   // the bytes before the payload
};

// One writer through a run of messages, each checked byte for byte.
TEST(RtmpChunkWriter, WritesTheHeadersOfTheChunkFormat)
{
    const WriterCase cases[] = {
        {"first message: type 0", 3, 0, 0, 3, {0x03, 0, 0, 0, 0, 0, 3, 20, 0, 0, 0, 0}},
        {"other length: type 1", 3, 10, 0, 5, {0x43, 0, 0, 10, 0, 0, 5, 20}},
        {"same length: type 2", 3, 30, 0, 5, {0x83, 0, 0, 20}},
        {"other stream: type 0", 3, 30, 1, 5, {0x03, 0, 0, 30, 0, 0, 5, 20, 1, 0, 0, 0}},
        {"time going back: type 0", 3, 5, 1, 5, {0x03, 0, 0, 5, 0, 0, 5, 20, 1, 0, 0, 0}},
        {"2-byte chunk stream id", 64, 0, 0, 1, {0x00, 0x00, 0, 0, 0, 0, 0, 1, 20, 0, 0, 0, 0}},
        {"3-byte chunk stream id", 65599, 0, 0, 1, {0x01, 0xFF, 0xFF, 0, 0, 0, 0, 0, 1, 20, 0, 0, 0, 0}},
        {"extended timestamp", 5, 0xFFFFFF, 0, 1, {0x05, 0xFF, 0xFF, 0xFF, 0, 0, 1, 20, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF}},
        {"extended delta", 5, 0x2000000, 0, 1, {0x85, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x01}},
    };
    rtmp::ChunkWriter writer;
    for (const WriterCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        rtmp::Message message;
        message.type = 20;
        message.timestamp = c.timestamp;
        message.streamId = c.streamId;
        message.payload.assign(c.cbPayload, 0x5A);
        Bytes out;
        writer.Write(c.csid, message, out);
        EXPECT_EQ(out, Cat({c.header, message.payload}));
    }
}

// Each header form's timestamp: a type 0 header gives the time itself, a
// type 1 or 2 header a delta to add; a type 3 header that starts a message
// adds the delta before it, which after a type 0 header is that header's
// time. The server's reader and the tests' own agree.
TEST(RtmpChunkReader, TimestampsAndDeltasOfEveryHeaderForm)
{
    const Bytes kPayload = {0x5A};
    const Bytes bytes = Cat({
        {0x05, 0x00, 0x03, 0xE8, 0, 0, 1, 8, 1, 0, 0, 0}, kPayload, // type 0 at 1000
        {0xC5}, kPayload,                                           // type 3: + 1000
        {0xC5}, kPayload,                                           // type 3: + 1000
        {0x45, 0, 0, 40, 0, 0, 1, 8}, kPayload,                     // type 1: + 40
        {0xC5}, kPayload,                                           // type 3: + 40
        {0x85, 0, 0, 5}, kPayload,                                  // type 2: + 5
        {0xC5}, kPayload,                                           // type 3: + 5
        {0x05, 0xFF, 0xFF, 0xFF, 0, 0, 1, 8, 1, 0, 0, 0, 0x01, 0, 0, 0}, kPayload, // type 0, extended: 2^24
        {0xC5, 0x01, 0, 0, 0}, kPayload,                            // type 3, extended: + 2^24
    });
    const std::vector<uint32_t> expected = {1000, 2000, 3000, 3040, 3080, 3085, 3090, 1u << 24, 1u << 25};

    rtmp::ChunkReader reader(1 << 20);
    std::vector<uint32_t> read;
    for (size_t used = 0; used < bytes.size();)
    {
        rtmp::ChunkReader::Status status = rtmp::ChunkReader::Status::NeedMore;
        rtmp::Message message;
        used += reader.Consume(bytes.data() + used, bytes.size() - used, status, message);
        ASSERT_NE(rtmp::ChunkReader::Status::Error, status) << reader.Error();
        if (status == rtmp::ChunkReader::Status::Message)
        {
            EXPECT_EQ(kPayload, message.payload);
            read.push_back(message.timestamp);
        }
    }
    EXPECT_EQ(expected, read) << "the server's reader";

    rtmptest::ChunkParser parser;
    std::vector<rtmptest::ReceivedMessage> messages;
    ASSERT_TRUE(parser.Feed(bytes, messages));
    read.clear();
    for (const auto& message : messages)
        read.push_back(message.timestamp);
    EXPECT_EQ(expected, read) << "the tests' own reader";
}

TEST(RtmpChunkWriter, SplitsAtTheChunkSizeAndRepeatsExtendedTimestamps)
{
    rtmp::ChunkWriter writer;
    rtmp::Message message;
    message.type = 9;
    message.streamId = 1;
    message.timestamp = 0x1000000;
    for (size_t i = 0; i < 300; ++i)
        message.payload.push_back(uint8_t(i));
    Bytes out;
    writer.Write(4, message, out);
    const Bytes ext = {0x01, 0, 0, 0};
    const auto part = [&](size_t from, size_t to) { return Bytes(message.payload.begin() + from, message.payload.begin() + to); };
    EXPECT_EQ(out, Cat({{0x04, 0xFF, 0xFF, 0xFF, 0, 1, 0x2C, 9, 1, 0, 0, 0}, ext, part(0, 128), {0xC4}, ext,
                        part(128, 256), {0xC4}, ext, part(256, 300)}));
    writer.SetChunkSize(4096);
    out.clear();
    message.timestamp = 0x1000000 + 40;
    writer.Write(4, message, out);
    EXPECT_EQ(out, Cat({{0x84, 0, 0, 40}, message.payload}));
}

namespace
{

const Bytes kSps = {0x67, 0x42, 0xC0, 0x1E, 0x95, 0xA0, 0x50, 0x17, 0xFC, 0xB8};
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80};
const Bytes kAud = {0x09, 0xF0};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33};
const Bytes kSei = {0x06, 0x05, 0x01, 0x80};

Bytes Start3(const Bytes& nal) { return Cat({{0, 0, 1}, nal}); }
Bytes Start4(const Bytes& nal) { return Cat({{0, 0, 0, 1}, nal}); }
Bytes Length(const Bytes& nal) { return Cat({{0, 0, 0, uint8_t(nal.size())}, nal}); }

} // namespace

TEST(RtmpFlv, AvcSequenceHeaderIsTheDecoderConfigurationRecord)
{
    const Bytes expected = Cat({{0x17, 0x00, 0, 0, 0, 0x01, 0x42, 0xC0, 0x1E, 0xFF, 0xE1, 0x00, 0x0A}, kSps,
                                {0x01, 0x00, 0x04}, kPps});
    EXPECT_EQ(rtmp::AvcSequenceHeader(kSps, kPps), expected);
    EXPECT_TRUE(rtmp::AvcSequenceHeader({0x67, 0x42, 0xC0}, kPps).empty()) << "SPS too short";
    EXPECT_TRUE(rtmp::AvcSequenceHeader(kPps, kPps).empty()) << "not an SPS";
    EXPECT_TRUE(rtmp::AvcSequenceHeader(kSps, {}).empty()) << "no PPS";
}

TEST(RtmpFlv, VideoBodyLengthPrefixesTheNalUnitsThatAreNotParameterSets)
{
    const Bytes accessUnit = Cat({Start4(kAud), Start4(kSps), Start3(kPps), Start3(kSei), {0}, Start4(kIdr)});
    Bytes sps, pps;
    ASSERT_TRUE(rtmp::FindParameterSets(accessUnit.data(), accessUnit.size(), sps, pps));
    EXPECT_EQ(sps, kSps);
    EXPECT_EQ(pps, kPps);
    Bytes body;
    ASSERT_TRUE(rtmp::AvcVideoBody(accessUnit.data(), accessUnit.size(), true, body));
    EXPECT_EQ(body, Cat({{0x17, 0x01, 0, 0, 0}, Length(kSei), Length(kIdr)}));
    const Bytes inter = Cat({Start3(kAud), Start3({0x41, 0x9A, 0x02})});
    ASSERT_TRUE(rtmp::AvcVideoBody(inter.data(), inter.size(), false, body));
    EXPECT_EQ(body, Cat({{0x27, 0x01, 0, 0, 0}, Length({0x41, 0x9A, 0x02})}));

    const Bytes onlyParameterSets = Cat({Start4(kSps), Start4(kPps)});
    EXPECT_FALSE(rtmp::AvcVideoBody(onlyParameterSets.data(), onlyParameterSets.size(), true, body));
    EXPECT_FALSE(rtmp::FindParameterSets(kIdr.data(), kIdr.size(), sps, pps)) << "no start code";
    const Bytes noPps = Start4(kSps);
    EXPECT_FALSE(rtmp::FindParameterSets(noPps.data(), noPps.size(), sps, pps));
    EXPECT_FALSE(rtmp::AvcVideoBody(nullptr, 0, true, body));
}

// The repository's own encoder: its key frames carry the parameter sets it reports.
TEST(RtmpFlv, ReadsTheEncodersAccessUnits)
{
    h264::EncoderSettings settings;
    settings.nWidth = 64;
    settings.nHeight = 48;
    std::unique_ptr<h264::Encoder> encoder;
    ASSERT_EQ(h264::Encoder::Create(settings, encoder), h264::Status::Ok);
    std::vector<uint8_t> pixels(64 * 48 * 4, 0x80);
    const h264::BgrxImage image = {pixels.data(), pixels.size(), 64 * 4, false};
    h264::EncodedFrame frame;
    ASSERT_EQ(encoder->Encode(image, false, frame), h264::Status::Ok);
    ASSERT_TRUE(frame.bKeyFrame);
    Bytes sps, pps, body;
    ASSERT_TRUE(rtmp::FindParameterSets(frame.bytes.data(), frame.bytes.size(), sps, pps));
    EXPECT_EQ(sps, encoder->SequenceParameterSet());
    EXPECT_EQ(pps, encoder->PictureParameterSet());
    ASSERT_TRUE(rtmp::AvcVideoBody(frame.bytes.data(), frame.bytes.size(), true, body));
    // Every NAL unit in the body is a slice, and the lengths add up to the body.
    size_t pos = 5;
    while (pos + 4 <= body.size())
    {
        const size_t cb = size_t(body[pos]) << 24 | body[pos + 1] << 16 | body[pos + 2] << 8 | body[pos + 3];
        ASSERT_LE(pos + 4 + cb, body.size());
        const int type = body[pos + 4] & 0x1F;
        EXPECT_TRUE(type == 5 || type == 6) << type;
        pos += 4 + cb;
    }
    EXPECT_EQ(pos, body.size());
}

TEST(RtmpFlv, AacBodies)
{
    const uint8_t asc[] = {0x11, 0x90};
    EXPECT_EQ(rtmp::AacSequenceHeader(asc, 2), (Bytes{0xAF, 0x00, 0x11, 0x90}));
    const uint8_t raw[] = {0x21, 0x10, 0x04};
    EXPECT_EQ(rtmp::AacAudioBody(raw, 3), (Bytes{0xAF, 0x01, 0x21, 0x10, 0x04}));
}

namespace
{

constexpr int64_t kMs = 10000;   // 100 ns units

struct TimelineStep
{
    char action;      // 'm' map, 'r' restart, 'z' reset
    int64_t rtStart;
    uint32_t ms;
};

} // namespace

TEST(RtmpTimeline, ContinuesAfterRestartsNeverGoesBackAndSaturates)
{
    const int64_t kMax = std::numeric_limits<int64_t>::max();
    const TimelineStep steps[] = {
        {'m', 0, 0},
        {'m', 40 * kMs + 9999, 40},          // whole ms, rounded down
        {'m', 1000 * kMs, 1000},
        {'m', 500 * kMs, 1000},              // a step back stays at the latest
        {'r', 0, 0},
        {'m', 7000 * kMs, 1960},             // continues one step (the latest spacing) on, whatever rtStart
        {'m', 7040 * kMs, 2000},             // and keeps the spacing
        {'m', 6990 * kMs, 2000},             // before the new anchor: no going back
        {'r', 0, 0},
        {'m', -500 * kMs, 2040},             // the step is now 40 ms, a frame's
        {'m', -460 * kMs, 2080},
        {'r', 0, 0},
        {'r', 0, 0},
        {'m', 0, 2120},                      // restarts with nothing between take one step
        {'z', 0, 0},
        {'m', -20 * kMs, 0},                 // a new stream from 0
        {'m', 20 * kMs, 20},
        {'z', 0, 0},
        {'r', 0, 0},
        {'m', 300 * kMs, 0},                 // nothing handed out since the reset: from 0
        {'r', 0, 0},
        {'m', 0, 1},                         // no spacing seen yet: 1 ms on
        {'z', 0, 0},
        {'m', kMax, 0xFFFFFFFF},             // saturates
        {'m', kMax, 0xFFFFFFFF},
        {'r', 0, 0},
        {'m', std::numeric_limits<int64_t>::min(), 0xFFFFFFFF},   // and never wraps
    };
    rtmp::Timeline timeline;
    int i = 0;
    for (const TimelineStep& step : steps)
    {
        SCOPED_TRACE(i++);
        if (step.action == 'r')
            timeline.Restart();
        else if (step.action == 'z')
            timeline.Reset();
        else
            EXPECT_EQ(timeline.Map(step.rtStart), step.ms);
    }
}
