// libFuzzer target: the graph-file reader on any bytes. Whatever it accepts
// must write back and read again to the same graph.
#include "GraphFile.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData)
{
    grf::Graph graph;
    if (!grf::Parse(pData, cbData, graph))
        return 0;
    // A parsed graph holds no quote in a name and a known version, so it
    // always writes.
    std::vector<uint8_t> bytes;
    if (!grf::Write(graph, bytes))
        std::abort();
    grf::Graph again;
    if (!grf::Parse(bytes.data(), bytes.size(), again))
        std::abort();
    std::vector<uint8_t> bytesAgain;
    if (!grf::Write(again, bytesAgain) || bytesAgain != bytes)
        std::abort();
    return 0;
}
