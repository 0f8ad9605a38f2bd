#include <gtest/gtest.h>
#include "Graph.h"
#include "Diagnostics.h"

TEST(Smoke, EmptyGraphRunFails)
{
    CDiagnosticsRecorder diag;
    CGraph graph;
    EXPECT_EQ(E_FAIL, graph.Run());
    EXPECT_TRUE(diag.HasReport(L"m_spGraph != 0"));
}
