// libFuzzer target: the graph-file reader on any bytes. Whatever it accepts
// must write back and read again to the same graph.
#include "GraphFile.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData)
{
    grf::Graph graph;
    if (!grf::Parse(pData, cbData, graph))
        return 0;
    std::vector<uint8_t> bytes;
    if (!grf::Write(graph, bytes))
        return 0; // a name with a quote cannot come from a parse, but a file name may not either
    grf::Graph again;
    if (!grf::Parse(bytes.data(), bytes.size(), again))
        std::abort();
    std::vector<uint8_t> bytesAgain;
    if (!grf::Write(again, bytesAgain) || bytesAgain != bytes)
        std::abort();
    return 0;
}
