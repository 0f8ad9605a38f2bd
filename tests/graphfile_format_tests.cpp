// The graph-file reader and writer on bytes alone: what they write reads
// back the same, both documented media-type orders read, and broken streams
// fail with the reason and never read past the end.
#include <gtest/gtest.h>

#include "GraphFile.h"

#include <string>
#include <vector>

namespace
{

const char kGenerator[] = "{2C667015-3CB8-46E4-A3ED-CA3C1F48F4AA}";
const char kVideo[] = "{73646976-0000-0010-8000-00AA00389B71}";
const char kRgb32[] = "{E436EB7E-524F-11CE-9F53-0020AF0BA770}";
const char kVideoInfo[] = "{05589F80-C356-11CE-BF01-00AA0055595A}";

// A stream put together from text (written as UTF-16LE) and raw bytes.
class CStream
{
public:
    CStream& Text(const std::string& text)
    {
        for (char ch : text)
        {
            m_bytes.push_back(static_cast<uint8_t>(ch));
            m_bytes.push_back(0);
        }
        return *this;
    }
    CStream& Raw(const std::vector<uint8_t>& bytes)
    {
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
        return *this;
    }
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
};

grf::Guid GuidOf(const char* psz)
{
    grf::Guid guid;
    std::u16string text;
    for (; *psz != 0; ++psz)
        text.push_back(static_cast<char16_t>(*psz));
    EXPECT_TRUE(grf::ParseGuid(text, guid)) << psz;
    return guid;
}

grf::Result Parse(const std::vector<uint8_t>& bytes, grf::Graph& graph)
{
    return grf::Parse(bytes.data(), bytes.size(), graph);
}

// Every element the format has, with a private-data block of odd length so
// that the text after it sits at odd byte offsets.
grf::Graph FullGraph(int version)
{
    grf::Graph graph;
    graph.version = version;
    grf::Filter source;
    source.id = 1;
    source.name = u"File Source";
    source.clsid = GuidOf(kGenerator);
    source.role = grf::FileRole::Source;
    source.fileName = u"C:\\media\\in put.avi";
    source.data = {0x01, 0x00, 0xFF};
    grf::Filter sink = source;
    sink.id = 12;
    sink.name = u"Writer \u00e9";
    sink.role = grf::FileRole::Sink;
    sink.fileName = u"E:\\out.avi";
    sink.data.clear();
    graph.filters = {source, sink};
    grf::Connection connection;
    connection.outFilter = 1;
    connection.outPin = u"Output 1";
    connection.inFilter = 12;
    connection.inPin = u"In";
    connection.mediaType.majorType = GuidOf(kVideo);
    connection.mediaType.subtype = GuidOf(kRgb32);
    connection.mediaType.fixedSizeSamples = true;
    connection.mediaType.sampleSize = 921600;
    connection.mediaType.formatType = GuidOf(kVideoInfo);
    connection.mediaType.format = {'\r', '\n', '"', ' ', 0};
    graph.connections = {connection};
    if (version == 3)
    {
        graph.clock.required = true;
        graph.clock.kind = grf::Clock::Kind::Filter;
        graph.clock.filterId = 12;
    }
    return graph;
}

void ExpectSameGraph(const grf::Graph& expected, const grf::Graph& actual)
{
    EXPECT_EQ(expected.version, actual.version);
    ASSERT_EQ(expected.filters.size(), actual.filters.size());
    for (size_t i = 0; i < expected.filters.size(); ++i)
    {
        const grf::Filter& e = expected.filters[i];
        const grf::Filter& a = actual.filters[i];
        EXPECT_EQ(e.id, a.id);
        EXPECT_TRUE(e.name == a.name);
        EXPECT_EQ(e.clsid, a.clsid);
        EXPECT_EQ(e.role, a.role);
        EXPECT_TRUE(e.fileName == a.fileName);
        EXPECT_EQ(e.data, a.data);
    }
    ASSERT_EQ(expected.connections.size(), actual.connections.size());
    for (size_t i = 0; i < expected.connections.size(); ++i)
    {
        const grf::Connection& e = expected.connections[i];
        const grf::Connection& a = actual.connections[i];
        EXPECT_EQ(e.outFilter, a.outFilter);
        EXPECT_TRUE(e.outPin == a.outPin);
        EXPECT_EQ(e.inFilter, a.inFilter);
        EXPECT_TRUE(e.inPin == a.inPin);
        EXPECT_EQ(e.mediaType.majorType, a.mediaType.majorType);
        EXPECT_EQ(e.mediaType.subtype, a.mediaType.subtype);
        EXPECT_EQ(e.mediaType.fixedSizeSamples, a.mediaType.fixedSizeSamples);
        EXPECT_EQ(e.mediaType.temporalCompression, a.mediaType.temporalCompression);
        EXPECT_EQ(e.mediaType.sampleSize, a.mediaType.sampleSize);
        EXPECT_EQ(e.mediaType.formatType, a.mediaType.formatType);
        EXPECT_EQ(e.mediaType.format, a.mediaType.format);
    }
    EXPECT_EQ(expected.clock.required, actual.clock.required);
    EXPECT_EQ(expected.clock.kind, actual.clock.kind);
    EXPECT_EQ(expected.clock.filterId, actual.clock.filterId);
    EXPECT_EQ(expected.clock.clsid, actual.clock.clsid);
}

} // namespace

TEST(GraphFileFormatTest, WritesTheDocumentedLayout)
{
    grf::Graph graph = FullGraph(3);
    graph.filters[0].data = {'x'};
    graph.connections[0].mediaType.format = {'y', 'z'};
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(grf::Write(graph, bytes));

    const std::vector<uint8_t> expected =
        CStream()
            .Text("0003\r\nFILTERS\r\n0001 \"File Source\" ")
            .Text(kGenerator)
            .Text(" SOURCE \"C:\\media\\in put.avi\" 1 ")
            .Raw({'x'})
            .Text("\r\n0012 \"Writer ")
            .Raw({0xE9, 0x00})
            .Text("\" ")
            .Text(kGenerator)
            .Text(" SINK \"E:\\out.avi\" 0 \r\nCONNECTIONS\r\n0001 \"Output 1\" 0012 \"In\" ")
            .Text(std::string(kVideo) + " " + kRgb32 + " 1 0 921600 " + kVideoInfo + " 2 ")
            .Raw({'y', 'z'})
            .Text("\r\nCLOCK 1 0012\r\nEND\r\n")
            .Bytes();
    EXPECT_EQ(expected, bytes);
}

TEST(GraphFileFormatTest, WhatIsWrittenReadsBackTheSame)
{
    grf::Graph byClass = FullGraph(3);
    byClass.clock.kind = grf::Clock::Kind::Class;
    byClass.clock.filterId = 0;
    byClass.clock.clsid = GuidOf("{e436ebb1-524f-11ce-9f53-0020af0ba770}");
    grf::Graph noClock = FullGraph(3);
    noClock.clock = grf::Clock();
    const struct
    {
        const char* pszName;
        grf::Graph graph;
    } cases[] = {
        {"Version3ClockFilter", FullGraph(3)},
        {"Version3ClockClass", byClass},
        {"Version3NoClock", noClock},
        {"Version2", FullGraph(2)},
        {"Empty", grf::Graph()},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(grf::Write(c.graph, bytes));
        grf::Graph read;
        const grf::Result result = Parse(bytes, read);
        ASSERT_TRUE(result) << grf::ErrorText(result.error) << " at " << result.offset;
        ExpectSameGraph(c.graph, read);
        std::vector<uint8_t> again;
        ASSERT_TRUE(grf::Write(read, again));
        EXPECT_EQ(bytes, again);
    }
}

// A graph may sit in a larger stream: reading stops after END and the line
// end that belongs to it, and whatever follows is not the graph's.
TEST(GraphFileFormatTest, ReadingStopsRightAfterTheGraph)
{
    std::vector<uint8_t> written;
    ASSERT_TRUE(grf::Write(FullGraph(3), written));
    const std::string graph = "0002 FILTERS CONNECTIONS END";
    const struct
    {
        const char* pszName;
        std::vector<uint8_t> graph;
        std::vector<uint8_t> after;
    } cases[] = {
        {"WrittenGraphThenText", written, CStream().Text("0003 FILTERS").Bytes()},
        {"WrittenGraphThenBytes", written, {0xFF, 0x00, 0x7F}},
        {"EndThenAnotherGraph", CStream().Text(graph).Bytes(), CStream().Text(" " + graph).Bytes()},
        {"EndThenLineFeed", CStream().Text(graph + "\n").Bytes(), CStream().Text("\r\n").Bytes()},
        {"EndThenCarriageReturnLineFeed", CStream().Text(graph + "\r\n").Bytes(), CStream().Text("\tx").Bytes()},
        {"EndThenOneOddByte", CStream().Text(graph).Bytes(), {'\r'}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        std::vector<uint8_t> bytes = c.graph;
        bytes.insert(bytes.end(), c.after.begin(), c.after.end());
        grf::Graph read;
        const grf::Result result = Parse(bytes, read);
        ASSERT_TRUE(result) << grf::ErrorText(result.error) << " at " << result.offset;
        EXPECT_EQ(c.graph.size(), result.offset);
    }
}

// The sample size may come first, before the major type; blanks between
// tokens may be any mix of space, tab, CR and LF.
TEST(GraphFileFormatTest, ReadsBothMediaTypeOrdersAndAnyBlanks)
{
    const auto stream = [](const std::string& mediaType) {
        return CStream()
            .Text("0002\n\tFILTERS 1 \"A\" ")
            .Text(kGenerator)
            .Text(" 0 \t2 \"B\"\r\r")
            .Text(kGenerator)
            .Text("\n0 \nCONNECTIONS 0001 \"Out\"\t0002 \"In\" " + mediaType + " 3 ")
            .Raw({1, 2, 3})
            .Text(" END")
            .Bytes();
    };
    const std::string tail = std::string(kVideo) + " " + kRgb32 + "\n1 0\t";
    grf::Graph majorFirst;
    ASSERT_TRUE(Parse(stream(tail + "614400 " + kVideoInfo), majorFirst));
    grf::Graph sizeFirst;
    ASSERT_TRUE(Parse(stream("614400 " + tail + kVideoInfo), sizeFirst));
    ExpectSameGraph(majorFirst, sizeFirst);
    ASSERT_EQ(1u, sizeFirst.connections.size());
    EXPECT_EQ(614400u, sizeFirst.connections[0].mediaType.sampleSize);
    EXPECT_TRUE(sizeFirst.connections[0].mediaType.fixedSizeSamples);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), sizeFirst.connections[0].mediaType.format);
}

TEST(GraphFileFormatTest, BrokenStreamsFailWithTheReason)
{
    const std::string filter = std::string(" \"A\" ") + kGenerator + " ";
    const std::string type = std::string(kVideo) + " " + kRgb32 + " 1 0 4 " + kVideoInfo + " ";
    const std::string two = "0003 FILTERS 0001" + filter + "0 0002" + filter + "0 CONNECTIONS ";
    const struct
    {
        const char* pszName;
        std::vector<uint8_t> bytes;
        grf::Error error;
    } cases[] = {
        {"Empty", {}, grf::Error::Version},
        {"OddByte", {'0'}, grf::Error::Version},
        {"UnknownVersion", CStream().Text("0004 FILTERS").Bytes(), grf::Error::Version},
        {"ShortVersion", CStream().Text("3 FILTERS").Bytes(), grf::Error::Version},
        {"NoFilters", CStream().Text("0003 CONNECTIONS END").Bytes(), grf::Error::Keyword},
        {"MissingEnd", CStream().Text("0002 FILTERS CONNECTIONS").Bytes(), grf::Error::UnexpectedEnd},
        {"OtherWordForEnd", CStream().Text("0002 FILTERS CONNECTIONS FIN").Bytes(), grf::Error::Keyword},
        {"Version3WithoutClock", CStream().Text("0003 FILTERS CONNECTIONS END").Bytes(), grf::Error::Keyword},
        {"UnclosedName", CStream().Text("0003 FILTERS 0001 \"A ").Text(kGenerator).Text(" 0 ").Bytes(),
         grf::Error::Name},
        {"UnquotedName", CStream().Text("0003 FILTERS 0001 A ").Bytes(), grf::Error::Name},
        {"BadClassId", CStream().Text("0003 FILTERS 0001 \"A\" {2C667015-3CB8-46E4-A3ED-CA3C1F48F4AG} 0 ").Bytes(),
         grf::Error::Guid},
        {"ShortClassId", CStream().Text("0003 FILTERS 0001 \"A\" {2C667015}").Bytes(), grf::Error::Guid},
        {"DataPastTheEnd", CStream().Text("0003 FILTERS 0001" + filter + "10 abc").Bytes(), grf::Error::Block},
        {"HugeLength", CStream().Text("0003 FILTERS 0001" + filter + "4294967295 ").Bytes(), grf::Error::Block},
        {"LengthPast32Bits", CStream().Text("0003 FILTERS 0001" + filter + "4294967296 ").Bytes(),
         grf::Error::Number},
        {"ElevenDigits", CStream().Text("0003 FILTERS 0001" + filter + "00000000001 ").Bytes(), grf::Error::Number},
        {"NegativeLength", CStream().Text("0003 FILTERS 0001" + filter + "-1 ").Bytes(), grf::Error::Number},
        {"NoBlankBeforeData", CStream().Text("0003 FILTERS 0001" + filter + "0\r\nEND").Bytes(), grf::Error::Block},
        {"LengthAtTheEnd", CStream().Text("0003 FILTERS 0001" + filter + "0").Bytes(), grf::Error::Block},
        {"FlagTwo", CStream().Text(two + "0001 \"O\" 0002 \"I\" " + kVideo + " " + kRgb32 + " 2 ").Bytes(),
         grf::Error::Flag},
        {"NegativeSampleSize", CStream().Text(two + "0001 \"O\" 0002 \"I\" -4 " + type).Bytes(), grf::Error::Guid},
        {"FormatPastTheEnd", CStream().Text(two + "0001 \"O\" 0002 \"I\" " + type + "88 ").Raw({1, 2}).Bytes(),
         grf::Error::Block},
        {"UnclosedPinName", CStream().Text(two + "0001 \"O\" 0002 \"I").Bytes(), grf::Error::Name},
        {"UnknownFilterId",
         CStream().Text(two + "0001 \"O\" 0003 \"I\" " + type + "0 CLOCK 0 0000 END").Bytes(),
         grf::Error::UnknownFilter},
        {"UnknownClockFilter", CStream().Text(two + "CLOCK 1 0009 END").Bytes(), grf::Error::UnknownFilter},
        {"DuplicateId",
         CStream().Text("0002 FILTERS 0001" + filter + "0 0001" + filter + "0 CONNECTIONS END").Bytes(),
         grf::Error::DuplicateId},
        {"ClockFlagMissing", CStream().Text(two + "CLOCK END").Bytes(), grf::Error::Number},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        grf::Graph graph;
        const grf::Result result = Parse(c.bytes, graph);
        EXPECT_EQ(c.error, result.error) << grf::ErrorText(result.error) << " at " << result.offset;
        EXPECT_LE(result.offset, c.bytes.size());
    }
}

TEST(GraphFileFormatTest, NamesWithQuotesAreNotWritten)
{
    grf::Graph graph = FullGraph(3);
    graph.filters[1].name = u"Say \"hi\"";
    std::vector<uint8_t> bytes = {1};
    EXPECT_EQ(grf::Error::Unwritable, grf::Write(graph, bytes).error);
    EXPECT_TRUE(bytes.empty());

    graph = FullGraph(2);
    graph.connections[0].inPin = u"\"";
    EXPECT_FALSE(grf::Write(graph, bytes));
    graph = FullGraph(4);
    EXPECT_FALSE(grf::Write(graph, bytes));
}
