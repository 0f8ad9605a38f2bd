#include "Motion.h"

#include <cstdlib>

namespace h264
{
namespace
{

int Median(int a, int b, int c)
{
    const int nMin = a < b ? (a < c ? a : c) : (b < c ? b : c);
    const int nMax = a > b ? (a > c ? a : c) : (b > c ? b : c);
    return a + b + c - nMin - nMax;
}

} // namespace

MotionVector PredictMotionVector(const MotionNeighbours& neighbours)
{
    MotionNeighbour a = neighbours.a, b = neighbours.b;
    MotionNeighbour c = neighbours.c.bAvailable ? neighbours.c : neighbours.d;
    if (!b.bAvailable && !c.bAvailable && a.bAvailable)
    {
        b = a;
        c = a;
    }
    const int nMatches = (a.nRefIdx == 0) + (b.nRefIdx == 0) + (c.nRefIdx == 0);
    if (nMatches == 1)
        return a.nRefIdx == 0 ? a.mv : b.nRefIdx == 0 ? b.mv : c.mv;
    MotionVector mvp;
    mvp.x = Median(a.mv.x, b.mv.x, c.mv.x);
    mvp.y = Median(a.mv.y, b.mv.y, c.mv.y);
    return mvp;
}

MotionVector PredictSkipMotionVector(const MotionNeighbours& neighbours)
{
    const MotionNeighbour& a = neighbours.a;
    const MotionNeighbour& b = neighbours.b;
    if (!a.bAvailable || !b.bAvailable || (a.nRefIdx == 0 && a.mv == MotionVector{}) ||
        (b.nRefIdx == 0 && b.mv == MotionVector{}))
        return MotionVector{};
    return PredictMotionVector(neighbours);
}

void PredictInterLuma(const Plane& ref, int x, int y, MotionVector mv, uint8_t pred[256])
{
    const int xRef = x + (mv.x >> 2), yRef = y + (mv.y >> 2);
    for (int row = 0; row < 16; ++row)
    {
        const uint8_t* pSource = ref.Row(yRef + row) + xRef;
        for (int col = 0; col < 16; ++col)
            pred[row * 16 + col] = pSource[col];
    }
}

void PredictInterChroma(const Plane& ref, int x, int y, MotionVector mv, uint8_t pred[64])
{
    const int xFrac = mv.x & 7, yFrac = mv.y & 7;
    const int xRef = x + (mv.x >> 3), yRef = y + (mv.y >> 3);
    const int wA = (8 - xFrac) * (8 - yFrac), wB = xFrac * (8 - yFrac), wC = (8 - xFrac) * yFrac, wD = xFrac * yFrac;
    for (int row = 0; row < 8; ++row)
    {
        const uint8_t* p0 = ref.Row(yRef + row) + xRef;
        const uint8_t* p1 = ref.Row(yRef + row + 1) + xRef;
        for (int col = 0; col < 8; ++col)
            pred[row * 8 + col] =
                static_cast<uint8_t>((wA * p0[col] + wB * p0[col + 1] + wC * p1[col] + wD * p1[col + 1] + 32) >> 6);
    }
}

int Sad16x16(const uint8_t* pBlock, ptrdiff_t cbStride, const uint8_t* pPred, ptrdiff_t cbPredStride)
{
    int nSad = 0;
    for (int row = 0; row < 16; ++row)
    {
        const uint8_t* p = pBlock + row * cbStride;
        const uint8_t* q = pPred + row * cbPredStride;
        for (int col = 0; col < 16; ++col)
            nSad += std::abs(p[col] - q[col]);
    }
    return nSad;
}

} // namespace h264
