// Intra prediction of a 4x4 luma block in its nine directions (clause
// 8.3.1.2), from the thirteen reconstructed samples above and left of it.
#pragma once

#include "Picture.h"

#include <cstdint>

namespace h264
{

// Intra4x4PredMode, as the syntax numbers it.
enum class Intra4x4Mode
{
    Vertical = 0,
    Horizontal = 1,
    Dc = 2,
    DiagonalDownLeft = 3,
    DiagonalDownRight = 4,
    VerticalRight = 5,
    HorizontalDown = 6,
    VerticalLeft = 7,
    HorizontalUp = 8,
};
constexpr int kIntra4x4Modes = 9;

// p[0..7, -1] (the last four above and to the right), p[-1, 0..3] and
// p[-1, -1], and which exist. Samples above and to the right that do not
// exist are copies of p[3, -1], as the standard substitutes them.
struct Edges4x4
{
    bool bTop = false;
    bool bLeft = false;
    uint8_t top[8] = {};
    uint8_t left[4] = {};
    uint8_t topLeft = 0;
};

Edges4x4 GatherEdges4x4(const Plane& plane, int x0, int y0, bool bTop, bool bLeft, bool bTopRight);

// Fills pred (4x4, raster); false when the mode needs samples that do not
// exist.
bool PredictIntra4x4(const Edges4x4& edges, Intra4x4Mode mode, uint8_t pred[16]);

} // namespace h264
