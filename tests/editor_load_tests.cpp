// "Show graph" clicked again and again while both cores are busy, as a hostile
// tester does: the console keeps at most one editor of its own, leaves none
// once it closes, never hangs, and its handles and threads come back to where
// they were.
#include <gtest/gtest.h>

#include "EditorDriver.h"

#include <cstdio>

namespace
{

constexpr int kClicks = 60;
constexpr int kBusyThreads = 2; // both cores of the machine, and then some

} // namespace

TEST(ShowGraphUnderLoadTest, OneEditorAtMostNoneAfterCloseAndNothingCreeps)
{
    const ShowLoopFigures f = RunShowGraphLoop(kClicks, kBusyThreads);
    std::printf("clicks %d, attached %d, boxes %d, hangs %d, most editors %zu, left after close %zu\n", f.cClicks,
                f.cAttached, f.cBoxes, f.cHangs, f.cMostEditors, f.cEditorsAfterClose);
    std::printf("handles %lu -> %lu, threads %d -> %d\n", static_cast<unsigned long>(f.cHandlesBefore),
                static_cast<unsigned long>(f.cHandlesAfter), f.cThreadsBefore, f.cThreadsAfter);

    EXPECT_EQ(kClicks, f.cClicks);
    EXPECT_EQ(0, f.cHangs);
    EXPECT_GE(f.cAttached * 20, kClicks * 19) << "at least 19 of 20 attach";
    EXPECT_LE(f.cMostEditors, 1u);
    EXPECT_EQ(0u, f.cEditorsAfterClose);
    EXPECT_GT(f.cHandlesBefore, 0u) << "the handle table could not be read";
    EXPECT_LE(f.cHandlesAfter, f.cHandlesBefore + 10);
    EXPECT_LE(f.cThreadsAfter, f.cThreadsBefore + 2);
}
