#include "GraphFile.h"

#include <algorithm>
#include <cstring>

namespace grf
{

bool operator==(const Guid& a, const Guid& b)
{
    return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
           std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

namespace
{

constexpr char16_t kQuote = u'"';
constexpr size_t kGuidChars = 38;
constexpr size_t kMaxDigits = 10; // enough for any 32-bit value

int HexValue(char16_t ch)
{
    if (ch >= u'0' && ch <= u'9')
        return ch - u'0';
    if (ch >= u'A' && ch <= u'F')
        return ch - u'A' + 10;
    if (ch >= u'a' && ch <= u'f')
        return ch - u'a' + 10;
    return -1;
}

void AppendHex(std::u16string& text, uint32_t value, int cDigits)
{
    static const char16_t kDigits[] = u"0123456789ABCDEF";
    for (int shift = (cDigits - 1) * 4; shift >= 0; shift -= 4)
        text.push_back(kDigits[(value >> shift) & 0xF]);
}

bool IsBlank(char16_t ch) { return ch == u' ' || ch == u'\t' || ch == u'\r' || ch == u'\n'; }
bool IsDigit(char16_t ch) { return ch >= u'0' && ch <= u'9'; }

// Reads UTF-16LE text with binary blocks inside, by byte offset: a block of
// odd length leaves the text after it at odd offsets.
class CReader
{
public:
    CReader(const uint8_t* pData, size_t cbData, Graph& graph) : m_pData(pData), m_cbData(cbData), m_graph(graph) {}

    Result Read()
    {
        ReadGraph();
        return {m_error, m_pos};
    }

private:
    bool ReadGraph()
    {
        uint32_t version = 0;
        if (!ReadVersion(version))
            return false;
        m_graph.version = static_cast<int>(version);
        if (!Keyword(u"FILTERS") || !ReadFilters() || !Keyword(u"CONNECTIONS") || !ReadConnections())
            return false;
        if (m_graph.version == 3 && !ReadClock())
            return false;
        if (!Keyword(u"END"))
            return false;
        SkipLineEnd();
        return CheckIds();
    }

    bool ReadVersion(uint32_t& version)
    {
        SkipBlanks();
        const size_t start = m_pos;
        if (!Number(version))
            return Fail(Error::Version);
        // Written as four digits: "0002" or "0003".
        if (m_pos - start != 8 || (version != 2 && version != 3))
        {
            m_pos = start;
            return Fail(Error::Version);
        }
        return true;
    }

    bool ReadFilters()
    {
        while (NextIsDigit())
        {
            m_graph.filters.emplace_back();
            if (!ReadFilter(m_graph.filters.back()))
                return false;
        }
        return true;
    }

    bool ReadFilter(Filter& filter)
    {
        if (!Number(filter.id) || !Name(filter.name) || !GuidToken(filter.clsid))
            return false;
        SkipBlanks();
        if (Peek(u"SOURCE"))
            filter.role = FileRole::Source;
        else if (Peek(u"SINK"))
            filter.role = FileRole::Sink;
        if (filter.role != FileRole::None)
        {
            Keyword(filter.role == FileRole::Source ? u"SOURCE" : u"SINK");
            if (!Name(filter.fileName))
                return false;
        }
        return Block(filter.data);
    }

    bool ReadConnections()
    {
        while (NextIsDigit())
        {
            m_graph.connections.emplace_back();
            if (!ReadConnection(m_graph.connections.back()))
                return false;
        }
        return true;
    }

    bool ReadConnection(Connection& connection)
    {
        return Number(connection.outFilter) && Name(connection.outPin) && Number(connection.inFilter) &&
               Name(connection.inPin) && ReadMediaType(connection.mediaType);
    }

    // Two orders are documented: the major type first (DirectShow 9, what
    // Write puts out) or the sample size first.
    bool ReadMediaType(MediaType& mt)
    {
        SkipBlanks();
        const bool bSizeFirst = NextIsDigit();
        if (bSizeFirst && !Number(mt.sampleSize))
            return false;
        if (!GuidToken(mt.majorType) || !GuidToken(mt.subtype) || !Flag(mt.fixedSizeSamples) ||
            !Flag(mt.temporalCompression))
            return false;
        if (!bSizeFirst && !Number(mt.sampleSize))
            return false;
        return GuidToken(mt.formatType) && Block(mt.format);
    }

    bool ReadClock()
    {
        Clock& clock = m_graph.clock;
        if (!Keyword(u"CLOCK") || !Flag(clock.required))
            return false;
        SkipBlanks();
        if (NextIsDigit())
        {
            if (!Number(clock.filterId))
                return false;
            clock.kind = clock.filterId == 0 ? Clock::Kind::None : Clock::Kind::Filter;
            return true;
        }
        clock.kind = Clock::Kind::Class;
        return GuidToken(clock.clsid);
    }

    // Every id a connection or the clock names belongs to one filter.
    bool CheckIds()
    {
        std::vector<uint32_t> ids;
        ids.reserve(m_graph.filters.size());
        for (const Filter& filter : m_graph.filters)
            ids.push_back(filter.id);
        std::sort(ids.begin(), ids.end());
        if (std::adjacent_find(ids.begin(), ids.end()) != ids.end())
            return Fail(Error::DuplicateId);
        const auto known = [&ids](uint32_t id) { return std::binary_search(ids.begin(), ids.end(), id); };
        for (const Connection& connection : m_graph.connections)
        {
            if (!known(connection.outFilter) || !known(connection.inFilter))
                return Fail(Error::UnknownFilter);
        }
        if (m_graph.clock.kind == Clock::Kind::Filter && !known(m_graph.clock.filterId))
            return Fail(Error::UnknownFilter);
        return true;
    }

    // --- tokens

    bool AtEnd() const { return m_cbData - m_pos < 2; }
    char16_t Current() const { return static_cast<char16_t>(m_pData[m_pos] | (m_pData[m_pos + 1] << 8)); }

    void SkipBlanks()
    {
        while (!AtEnd() && IsBlank(Current()))
            m_pos += 2;
    }

    // The line end a writer puts after END still belongs to the graph; the
    // bytes after it may belong to whoever embedded the graph in a stream.
    void SkipLineEnd()
    {
        if (Peek(u"\r\n"))
            m_pos += 4;
        else if (Peek(u"\n"))
            m_pos += 2;
    }

    bool NextIsDigit()
    {
        SkipBlanks();
        return !AtEnd() && IsDigit(Current());
    }

    bool Peek(const char16_t* pszWord) const
    {
        size_t pos = m_pos;
        for (; *pszWord != 0; ++pszWord, pos += 2)
        {
            if (m_cbData - pos < 2)
                return false;
            if (static_cast<char16_t>(m_pData[pos] | (m_pData[pos + 1] << 8)) != *pszWord)
                return false;
        }
        return true;
    }

    bool Keyword(const char16_t* pszWord)
    {
        SkipBlanks();
        if (!Peek(pszWord))
            return Fail(AtEnd() ? Error::UnexpectedEnd : Error::Keyword);
        m_pos += 2 * std::char_traits<char16_t>::length(pszWord);
        return true;
    }

    bool Number(uint32_t& value)
    {
        SkipBlanks();
        uint64_t n = 0;
        size_t cDigits = 0;
        for (; !AtEnd() && IsDigit(Current()); m_pos += 2)
        {
            if (++cDigits > kMaxDigits)
                return Fail(Error::Number);
            n = n * 10 + static_cast<uint64_t>(Current() - u'0');
        }
        if (cDigits == 0)
            return Fail(AtEnd() ? Error::UnexpectedEnd : Error::Number);
        if (n > UINT32_MAX)
            return Fail(Error::Number);
        value = static_cast<uint32_t>(n);
        return true;
    }

    bool Flag(bool& value)
    {
        uint32_t n = 0;
        if (!Number(n))
            return false;
        if (n > 1)
            return Fail(Error::Flag);
        value = n == 1;
        return true;
    }

    bool Name(std::u16string& text)
    {
        SkipBlanks();
        if (AtEnd() || Current() != kQuote)
            return Fail(AtEnd() ? Error::UnexpectedEnd : Error::Name);
        const size_t start = m_pos + 2;
        size_t pos = start;
        while (m_cbData - pos >= 2 && static_cast<char16_t>(m_pData[pos] | (m_pData[pos + 1] << 8)) != kQuote)
            pos += 2;
        if (m_cbData - pos < 2)
            return Fail(Error::Name); // never closed
        text.clear();
        text.reserve((pos - start) / 2);
        for (m_pos = start; m_pos < pos; m_pos += 2)
            text.push_back(Current());
        m_pos = pos + 2;
        return true;
    }

    bool GuidToken(Guid& guid)
    {
        SkipBlanks();
        if (m_cbData - m_pos < 2 * kGuidChars)
            return Fail(AtEnd() ? Error::UnexpectedEnd : Error::Guid);
        std::u16string text;
        for (size_t i = 0; i < kGuidChars; ++i, m_pos += 2)
            text.push_back(Current());
        if (!ParseGuid(text, guid))
        {
            m_pos -= 2 * kGuidChars;
            return Fail(Error::Guid);
        }
        return true;
    }

    // A length, exactly one blank, then that many bytes.
    bool Block(std::vector<uint8_t>& bytes)
    {
        uint32_t cb = 0;
        if (!Number(cb))
            return false;
        if (AtEnd() || Current() != u' ')
            return Fail(Error::Block);
        m_pos += 2;
        if (cb > m_cbData - m_pos)
            return Fail(Error::Block); // checked before anything is allocated
        bytes.assign(m_pData + m_pos, m_pData + m_pos + cb);
        m_pos += cb;
        return true;
    }

    bool Fail(Error error)
    {
        m_error = error;
        return false;
    }

    const uint8_t* m_pData;
    size_t m_cbData;
    Graph& m_graph;
    size_t m_pos = 0;
    Error m_error = Error::None;
};

class CWriter
{
public:
    explicit CWriter(std::vector<uint8_t>& bytes) : m_bytes(bytes) {}

    bool Write(const Graph& graph)
    {
        if (graph.version != 2 && graph.version != 3)
            return false;
        Text(graph.version == 3 ? u"0003\r\n" : u"0002\r\n");
        Text(u"FILTERS\r\n");
        for (const Filter& filter : graph.filters)
        {
            if (!WriteFilter(filter))
                return false;
        }
        Text(u"CONNECTIONS\r\n");
        for (const Connection& connection : graph.connections)
        {
            if (!WriteConnection(connection))
                return false;
        }
        if (graph.version == 3)
            WriteClock(graph.clock);
        Text(u"END\r\n");
        return true;
    }

private:
    bool WriteFilter(const Filter& filter)
    {
        Id(filter.id);
        if (!Name(filter.name))
            return false;
        Text(GuidText(filter.clsid));
        Text(u" ");
        if (filter.role != FileRole::None)
        {
            Text(filter.role == FileRole::Source ? u"SOURCE " : u"SINK ");
            if (!Name(filter.fileName))
                return false;
        }
        Block(filter.data);
        return true;
    }

    bool WriteConnection(const Connection& connection)
    {
        Id(connection.outFilter);
        if (!Name(connection.outPin))
            return false;
        Id(connection.inFilter);
        if (!Name(connection.inPin))
            return false;
        const MediaType& mt = connection.mediaType;
        Text(GuidText(mt.majorType) + u" " + GuidText(mt.subtype) + u" ");
        Text(mt.fixedSizeSamples ? u"1 " : u"0 ");
        Text(mt.temporalCompression ? u"1 " : u"0 ");
        Text(Decimal(mt.sampleSize, 1) + u" " + GuidText(mt.formatType) + u" ");
        Block(mt.format);
        return true;
    }

    void WriteClock(const Clock& clock)
    {
        Text(u"CLOCK ");
        Text(clock.required ? u"1 " : u"0 ");
        if (clock.kind == Clock::Kind::Class)
            Text(GuidText(clock.clsid));
        else
            Text(Decimal(clock.kind == Clock::Kind::Filter ? clock.filterId : 0, 4));
        Text(u"\r\n");
    }

    static std::u16string Decimal(uint32_t value, size_t cMinDigits)
    {
        std::u16string digits;
        do
        {
            digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
            value /= 10;
        } while (value != 0);
        if (digits.size() < cMinDigits)
            digits.insert(0, cMinDigits - digits.size(), u'0');
        return digits;
    }

    void Id(uint32_t id) { Text(Decimal(id, 4) + u" "); }

    bool Name(const std::u16string& text)
    {
        if (text.find(kQuote) != std::u16string::npos)
            return false;
        Text(u"\"" + text + u"\" ");
        return true;
    }

    // The length, one blank, the bytes, then the end of the entry.
    void Block(const std::vector<uint8_t>& bytes)
    {
        Text(Decimal(static_cast<uint32_t>(bytes.size()), 1) + u" ");
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
        Text(u"\r\n");
    }

    void Text(const std::u16string& text)
    {
        for (char16_t ch : text)
        {
            m_bytes.push_back(static_cast<uint8_t>(ch & 0xFF));
            m_bytes.push_back(static_cast<uint8_t>(ch >> 8));
        }
    }

    std::vector<uint8_t>& m_bytes;
};

} // namespace

std::u16string GuidText(const Guid& guid)
{
    std::u16string text = u"{";
    AppendHex(text, guid.data1, 8);
    text += u'-';
    AppendHex(text, guid.data2, 4);
    text += u'-';
    AppendHex(text, guid.data3, 4);
    text += u'-';
    AppendHex(text, guid.data4[0], 2);
    AppendHex(text, guid.data4[1], 2);
    text += u'-';
    for (int i = 2; i < 8; ++i)
        AppendHex(text, guid.data4[i], 2);
    text += u'}';
    return text;
}

bool ParseGuid(const std::u16string& text, Guid& guid)
{
    // Hex digit runs between the braces and dashes: 8-4-4-4-12.
    static const size_t kRuns[] = {8, 4, 4, 4, 12};
    if (text.size() != kGuidChars || text.front() != u'{' || text.back() != u'}')
        return false;
    uint8_t bytes[16] = {};
    size_t pos = 1;
    size_t iNibble = 0;
    for (size_t iRun = 0; iRun < 5; ++iRun)
    {
        if (iRun > 0 && text[pos++] != u'-')
            return false;
        for (size_t i = 0; i < kRuns[iRun]; ++i, ++pos, ++iNibble)
        {
            const int v = HexValue(text[pos]);
            if (v < 0)
                return false;
            bytes[iNibble / 2] = static_cast<uint8_t>(bytes[iNibble / 2] << 4 | v);
        }
    }
    guid.data1 = static_cast<uint32_t>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
    guid.data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    guid.data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    std::memcpy(guid.data4, bytes + 8, 8);
    return true;
}

Result Parse(const uint8_t* pData, size_t cbData, Graph& graph)
{
    graph = Graph();
    return CReader(pData, cbData, graph).Read();
}

Result Write(const Graph& graph, std::vector<uint8_t>& bytes)
{
    bytes.clear();
    CWriter writer(bytes);
    if (writer.Write(graph))
        return {};
    bytes.clear();
    return {Error::Unwritable, 0};
}

const char* ErrorText(Error error)
{
    switch (error)
    {
    case Error::None: return "no error";
    case Error::Version: return "not a graph of version 2 or 3";
    case Error::Keyword: return "a keyword is missing";
    case Error::Number: return "not a number, or too large";
    case Error::Flag: return "a flag is neither 1 nor 0";
    case Error::Name: return "a quoted name is not closed";
    case Error::Guid: return "not an identifier in braces";
    case Error::Block: return "a data block runs past the end";
    case Error::DuplicateId: return "two filters share an id";
    case Error::UnknownFilter: return "an id names no filter";
    case Error::UnexpectedEnd: return "the graph ends early";
    case Error::Unwritable: return "a name holds a quote, or the version is unknown";
    }
    return "unknown error";
}

} // namespace grf
