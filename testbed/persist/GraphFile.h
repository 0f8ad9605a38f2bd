// The graph-file stream ("ActiveMovieGraph") as data: parsed from bytes and
// written back to bytes. Plain C++17 without Windows calls, so that it also
// builds natively (the fuzz target) and every caller can trust its bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace grf
{

// A class or type identifier, laid out as the platform's GUID.
struct Guid
{
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};
};
bool operator==(const Guid& a, const Guid& b);
inline bool operator!=(const Guid& a, const Guid& b) { return !(a == b); }

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::u16string GuidText(const Guid& guid);
// Reads exactly that form (either case); false for anything else.
bool ParseGuid(const std::u16string& text, Guid& guid);

enum class FileRole
{
    None,
    Source, // the filter reads the file (IFileSourceFilter)
    Sink,   // the filter writes the file (IFileSinkFilter)
};

struct Filter
{
    uint32_t id = 0;
    std::u16string name;
    Guid clsid;
    FileRole role = FileRole::None;
    std::u16string fileName;
    std::vector<uint8_t> data; // what the filter's own IPersistStream saved
};

struct MediaType
{
    Guid majorType;
    Guid subtype;
    bool fixedSizeSamples = false;
    bool temporalCompression = false;
    uint32_t sampleSize = 0;
    Guid formatType;
    std::vector<uint8_t> format;
};

struct Connection
{
    uint32_t outFilter = 0;
    std::u16string outPin;
    uint32_t inFilter = 0;
    std::u16string inPin;
    MediaType mediaType;
};

// The CLOCK line of version 3. Required: the graph was given this clock;
// otherwise it picks its own. Filter id 0 names no clock.
struct Clock
{
    enum class Kind
    {
        None,
        Filter,
        Class,
    };
    bool required = false;
    Kind kind = Kind::None;
    uint32_t filterId = 0;
    Guid clsid;
};

struct Graph
{
    int version = 3; // 2 or 3; only 3 has a clock
    std::vector<Filter> filters;
    std::vector<Connection> connections;
    Clock clock;
};

enum class Error
{
    None,
    Version,        // not "0002" or "0003"
    Keyword,        // an expected keyword is missing
    Number,         // not a decimal number, or too large
    Flag,           // neither 1 nor 0
    Name,           // no opening quote, or no closing one
    Guid,           // not a braced identifier
    Block,          // a binary block past the end, or no blank before it
    DuplicateId,    // two filters with one id
    UnknownFilter,  // a connection or the clock names no filter of the file
    UnexpectedEnd,  // the stream ends inside the graph
    Unwritable,     // (writing) a name or file name holds a quote, a bad version
};

struct Result
{
    Error error = Error::None;
    // Bytes into the stream where reading stopped; after a graph read whole,
    // the end of END and of the line end that follows it.
    size_t offset = 0;
    explicit operator bool() const { return error == Error::None; }
};

// Reads a graph from the start of the bytes; what follows END is left
// unread. On failure graph holds what was read so far.
Result Parse(const uint8_t* pData, size_t cbData, Graph& graph);

// Writes the stream in the DirectShow 9 order (major type first); on failure
// bytes is left empty.
Result Write(const Graph& graph, std::vector<uint8_t>& bytes);

const char* ErrorText(Error error);

} // namespace grf
