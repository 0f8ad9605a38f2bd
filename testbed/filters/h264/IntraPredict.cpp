#include "IntraPredict.h"

namespace h264
{
namespace
{

uint8_t Clip(int nValue)
{
    return static_cast<uint8_t>(nValue < 0 ? 0 : nValue > 255 ? 255 : nValue);
}

// Each mode's prediction; false when the samples it needs do not exist.
bool PredictVertical(const IntraEdges& edges, uint8_t* pred)
{
    if (!edges.bTop)
        return false;
    for (int y = 0; y < edges.nSize; ++y)
    {
        for (int x = 0; x < edges.nSize; ++x)
            pred[y * edges.nSize + x] = edges.top[x];
    }
    return true;
}

bool PredictHorizontal(const IntraEdges& edges, uint8_t* pred)
{
    if (!edges.bLeft)
        return false;
    for (int y = 0; y < edges.nSize; ++y)
    {
        for (int x = 0; x < edges.nSize; ++x)
            pred[y * edges.nSize + x] = edges.left[y];
    }
    return true;
}

// The plane of 8.3.3.4 and 8.3.4.4: nMultiplier 5 for 16x16 luma, 34 for
// 8x8 chroma. top[-1] is the top-left sample.
bool PredictPlane(const IntraEdges& edges, int nMultiplier, uint8_t* pred)
{
    if (!edges.bTop || !edges.bLeft)
        return false;
    const int n = edges.nSize, nHalf = n / 2;
    int h = 0, v = 0;
    for (int i = 0; i < nHalf; ++i)
    {
        const int nFar = nHalf - 2 - i;
        h += (i + 1) * (edges.top[nHalf + i] - (nFar < 0 ? edges.topLeft : edges.top[nFar]));
        v += (i + 1) * (edges.left[nHalf + i] - (nFar < 0 ? edges.topLeft : edges.left[nFar]));
    }
    const int a = 16 * (edges.left[n - 1] + edges.top[n - 1]);
    const int b = (nMultiplier * h + 32) >> 6;
    const int c = (nMultiplier * v + 32) >> 6;
    for (int y = 0; y < n; ++y)
    {
        for (int x = 0; x < n; ++x)
            pred[y * n + x] = Clip((a + b * (x - (nHalf - 1)) + c * (y - (nHalf - 1)) + 16) >> 5);
    }
    return true;
}

int Sum(const uint8_t* p, int nFirst, int nCount)
{
    int nSum = 0;
    for (int i = nFirst; i < nFirst + nCount; ++i)
        nSum += p[i];
    return nSum;
}

// One 4x4 chroma block's DC (8.3.4.1 to 8.3.4.3): the corner blocks use
// both edges, the block on the top row prefers the samples above, the
// block on the left column the samples to the left.
int ChromaDc(const IntraEdges& edges, int xO, int yO)
{
    const bool bPreferTop = xO > 0 && yO == 0;
    const bool bPreferLeft = xO == 0 && yO > 0;
    const int nTop = Sum(edges.top, xO, 4), nLeft = Sum(edges.left, yO, 4);
    if (bPreferTop && edges.bTop)
        return (nTop + 2) >> 2;
    if (bPreferLeft && edges.bLeft)
        return (nLeft + 2) >> 2;
    if (!bPreferTop && !bPreferLeft && edges.bTop && edges.bLeft)
        return (nTop + nLeft + 4) >> 3;
    if (edges.bLeft)
        return (nLeft + 2) >> 2;
    if (edges.bTop)
        return (nTop + 2) >> 2;
    return 128;
}

void Fill(uint8_t* pred, int nStride, int x0, int y0, int nSize, int nValue)
{
    for (int y = y0; y < y0 + nSize; ++y)
    {
        for (int x = x0; x < x0 + nSize; ++x)
            pred[y * nStride + x] = static_cast<uint8_t>(nValue);
    }
}

} // namespace

IntraEdges GatherEdges(const Plane& plane, int x0, int y0, int nSize, bool bTop, bool bLeft)
{
    IntraEdges edges;
    edges.nSize = nSize;
    edges.bTop = bTop;
    edges.bLeft = bLeft;
    if (bTop)
    {
        const uint8_t* pAbove = plane.Row(y0 - 1) + x0;
        for (int i = 0; i < nSize; ++i)
            edges.top[i] = pAbove[i];
    }
    if (bLeft)
    {
        for (int i = 0; i < nSize; ++i)
            edges.left[i] = plane.Row(y0 + i)[x0 - 1];
    }
    if (bTop && bLeft)
        edges.topLeft = plane.Row(y0 - 1)[x0 - 1];
    return edges;
}

bool PredictLuma(const IntraEdges& edges, LumaMode mode, uint8_t pred[256])
{
    switch (mode)
    {
    case LumaMode::Vertical:
        return PredictVertical(edges, pred);
    case LumaMode::Horizontal:
        return PredictHorizontal(edges, pred);
    case LumaMode::Dc:
    {
        int nDc = 128;
        if (edges.bTop && edges.bLeft)
            nDc = (Sum(edges.top, 0, 16) + Sum(edges.left, 0, 16) + 16) >> 5;
        else if (edges.bLeft)
            nDc = (Sum(edges.left, 0, 16) + 8) >> 4;
        else if (edges.bTop)
            nDc = (Sum(edges.top, 0, 16) + 8) >> 4;
        Fill(pred, 16, 0, 0, 16, nDc);
        return true;
    }
    case LumaMode::Plane:
        return PredictPlane(edges, 5, pred);
    }
    return false;
}

bool PredictChroma(const IntraEdges& edges, ChromaMode mode, uint8_t pred[64])
{
    switch (mode)
    {
    case ChromaMode::Dc:
        for (int yO = 0; yO < 8; yO += 4)
        {
            for (int xO = 0; xO < 8; xO += 4)
                Fill(pred, 8, xO, yO, 4, ChromaDc(edges, xO, yO));
        }
        return true;
    case ChromaMode::Horizontal:
        return PredictHorizontal(edges, pred);
    case ChromaMode::Vertical:
        return PredictVertical(edges, pred);
    case ChromaMode::Plane:
        return PredictPlane(edges, 34, pred);
    }
    return false;
}

} // namespace h264
