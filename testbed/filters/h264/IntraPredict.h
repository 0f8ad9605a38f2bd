// Intra prediction of a 16x16 luma block and an 8x8 chroma block from the
// reconstructed samples around it (clauses 8.3.3 and 8.3.4).
#pragma once

#include "Picture.h"

#include <cstdint>

namespace h264
{

// Intra16x16PredMode and intra_chroma_pred_mode, as the syntax numbers them.
enum class LumaMode
{
    Vertical = 0,
    Horizontal = 1,
    Dc = 2,
    Plane = 3,
};
enum class ChromaMode
{
    Dc = 0,
    Horizontal = 1,
    Vertical = 2,
    Plane = 3,
};

// The samples above and to the left of a block, and which of them exist
// (the neighbouring macroblock is in the picture and coded before).
struct IntraEdges
{
    int nSize = 16;
    bool bTop = false;
    bool bLeft = false;
    uint8_t top[16] = {};
    uint8_t left[16] = {};
    uint8_t topLeft = 0;
};

IntraEdges GatherEdges(const Plane& plane, int x0, int y0, int nSize, bool bTop, bool bLeft);

// Fill pred (nSize x nSize, raster); false when the mode needs samples
// that do not exist.
bool PredictLuma(const IntraEdges& edges, LumaMode mode, uint8_t pred[256]);
bool PredictChroma(const IntraEdges& edges, ChromaMode mode, uint8_t pred[64]);

} // namespace h264
