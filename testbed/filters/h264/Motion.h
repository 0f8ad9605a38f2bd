// Motion vectors: their prediction from the neighbouring macroblocks
// (clause 8.4.1), inter prediction from the reference picture (8.4.2.2),
// and the block difference the search weighs.
#pragma once

#include "Picture.h"

#include <cstdint>

namespace h264
{

// In quarter luma samples; this encoder only chooses whole samples.
struct MotionVector
{
    int x = 0;
    int y = 0;
};

inline bool operator==(MotionVector a, MotionVector b)
{
    return a.x == b.x && a.y == b.y;
}
inline bool operator!=(MotionVector a, MotionVector b)
{
    return !(a == b);
}

// What motion prediction sees of a neighbouring macroblock. refIdx is -1
// for an intra macroblock or one that is not available.
struct MotionNeighbour
{
    bool bAvailable = false;
    int nRefIdx = -1;
    MotionVector mv;
};

// The neighbours A (left), B (above), C (above right) and D (above left).
struct MotionNeighbours
{
    MotionNeighbour a, b, c, d;
};

// mvpL0 of a 16x16 partition with reference index 0.
MotionVector PredictMotionVector(const MotionNeighbours& neighbours);
// The motion vector a P_Skip macroblock takes.
MotionVector PredictSkipMotionVector(const MotionNeighbours& neighbours);

// The 16x16 luma prediction at (x, y) displaced by a whole-sample mv.
void PredictInterLuma(const Plane& ref, int x, int y, MotionVector mv, uint8_t pred[256]);
// The 8x8 chroma prediction at chroma (x, y): the luma vector in eighths of
// a chroma sample, interpolated bilinearly.
void PredictInterChroma(const Plane& ref, int x, int y, MotionVector mv, uint8_t pred[64]);

// Sum of absolute differences of a 16x16 block and a prediction.
int Sad16x16(const uint8_t* pBlock, ptrdiff_t cbStride, const uint8_t* pPred, ptrdiff_t cbPredStride);

} // namespace h264
