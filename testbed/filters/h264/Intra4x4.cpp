#include "Intra4x4.h"

namespace h264
{
namespace
{

// p[x, y] for the samples around the block: y is -1 above, x is -1 left.
class Around
{
public:
    explicit Around(const Edges4x4& edges) : m_edges(edges) {}

    int operator()(int x, int y) const
    {
        if (y < 0)
            return x < 0 ? m_edges.topLeft : m_edges.top[x];
        return m_edges.left[y];
    }

private:
    const Edges4x4& m_edges;
};

// (a + 2b + c + 2) >> 2 and (a + b + 1) >> 1, the two filters of 8.3.1.2.
int Filter3(int a, int b, int c)
{
    return (a + 2 * b + c + 2) >> 2;
}
int Filter2(int a, int b)
{
    return (a + b + 1) >> 1;
}

int Dc(const Edges4x4& e)
{
    const int nTop = e.top[0] + e.top[1] + e.top[2] + e.top[3];
    const int nLeft = e.left[0] + e.left[1] + e.left[2] + e.left[3];
    if (e.bTop && e.bLeft)
        return (nTop + nLeft + 4) >> 3;
    if (e.bLeft)
        return (nLeft + 2) >> 2;
    if (e.bTop)
        return (nTop + 2) >> 2;
    return 128;
}

int DiagonalDownLeft(const Around& p, int x, int y)
{
    if (x == 3 && y == 3)
        return Filter3(p(6, -1), p(7, -1), p(7, -1));
    return Filter3(p(x + y, -1), p(x + y + 1, -1), p(x + y + 2, -1));
}

int DiagonalDownRight(const Around& p, int x, int y)
{
    if (x > y)
        return Filter3(p(x - y - 2, -1), p(x - y - 1, -1), p(x - y, -1));
    if (x < y)
        return Filter3(p(-1, y - x - 2), p(-1, y - x - 1), p(-1, y - x));
    return Filter3(p(0, -1), p(-1, -1), p(-1, 0));
}

int VerticalRight(const Around& p, int x, int y)
{
    const int z = 2 * x - y;
    const int i = x - (y >> 1);
    if (z >= 0 && z % 2 == 0)
        return Filter2(p(i - 1, -1), p(i, -1));
    if (z > 0)
        return Filter3(p(i - 2, -1), p(i - 1, -1), p(i, -1));
    if (z == -1)
        return Filter3(p(-1, 0), p(-1, -1), p(0, -1));
    return Filter3(p(-1, y - 1), p(-1, y - 2), p(-1, y - 3));
}

int HorizontalDown(const Around& p, int x, int y)
{
    const int z = 2 * y - x;
    const int i = y - (x >> 1);
    if (z >= 0 && z % 2 == 0)
        return Filter2(p(-1, i - 1), p(-1, i));
    if (z > 0)
        return Filter3(p(-1, i - 2), p(-1, i - 1), p(-1, i));
    if (z == -1)
        return Filter3(p(-1, 0), p(-1, -1), p(0, -1));
    return Filter3(p(x - 1, -1), p(x - 2, -1), p(x - 3, -1));
}

int VerticalLeft(const Around& p, int x, int y)
{
    const int i = x + (y >> 1);
    if (y % 2 == 0)
        return Filter2(p(i, -1), p(i + 1, -1));
    return Filter3(p(i, -1), p(i + 1, -1), p(i + 2, -1));
}

int HorizontalUp(const Around& p, int x, int y)
{
    const int z = x + 2 * y;
    const int i = y + (x >> 1);
    if (z > 5)
        return p(-1, 3);
    if (z == 5)
        return Filter3(p(-1, 2), p(-1, 3), p(-1, 3));
    if (z % 2 == 0)
        return Filter2(p(-1, i), p(-1, i + 1));
    return Filter3(p(-1, i), p(-1, i + 1), p(-1, i + 2));
}

bool Needs(const Edges4x4& e, Intra4x4Mode mode)
{
    switch (mode)
    {
    case Intra4x4Mode::Vertical:
    case Intra4x4Mode::DiagonalDownLeft:
    case Intra4x4Mode::VerticalLeft:
        return e.bTop;
    case Intra4x4Mode::Horizontal:
    case Intra4x4Mode::HorizontalUp:
        return e.bLeft;
    case Intra4x4Mode::Dc:
        return true;
    case Intra4x4Mode::DiagonalDownRight:
    case Intra4x4Mode::VerticalRight:
    case Intra4x4Mode::HorizontalDown:
        return e.bTop && e.bLeft;
    }
    return false;
}

int Sample(const Edges4x4& e, const Around& p, Intra4x4Mode mode, int nDc, int x, int y)
{
    switch (mode)
    {
    case Intra4x4Mode::Vertical:
        return e.top[x];
    case Intra4x4Mode::Horizontal:
        return e.left[y];
    case Intra4x4Mode::Dc:
        return nDc;
    case Intra4x4Mode::DiagonalDownLeft:
        return DiagonalDownLeft(p, x, y);
    case Intra4x4Mode::DiagonalDownRight:
        return DiagonalDownRight(p, x, y);
    case Intra4x4Mode::VerticalRight:
        return VerticalRight(p, x, y);
    case Intra4x4Mode::HorizontalDown:
        return HorizontalDown(p, x, y);
    case Intra4x4Mode::VerticalLeft:
        return VerticalLeft(p, x, y);
    case Intra4x4Mode::HorizontalUp:
        return HorizontalUp(p, x, y);
    }
    return nDc;
}

} // namespace

Edges4x4 GatherEdges4x4(const Plane& plane, int x0, int y0, bool bTop, bool bLeft, bool bTopRight)
{
    Edges4x4 edges;
    edges.bTop = bTop;
    edges.bLeft = bLeft;
    if (bTop)
    {
        const uint8_t* pAbove = plane.Row(y0 - 1) + x0;
        for (int i = 0; i < 8; ++i)
            edges.top[i] = (i < 4 || bTopRight) ? pAbove[i] : pAbove[3];
    }
    if (bLeft)
    {
        for (int i = 0; i < 4; ++i)
            edges.left[i] = plane.Row(y0 + i)[x0 - 1];
    }
    if (bTop && bLeft)
        edges.topLeft = plane.Row(y0 - 1)[x0 - 1];
    return edges;
}

bool PredictIntra4x4(const Edges4x4& edges, Intra4x4Mode mode, uint8_t pred[16])
{
    if (!Needs(edges, mode))
        return false;
    const Around p(edges);
    const int nDc = Dc(edges);
    for (int y = 0; y < 4; ++y)
    {
        for (int x = 0; x < 4; ++x)
            pred[y * 4 + x] = static_cast<uint8_t>(Sample(edges, p, mode, nDc, x, y));
    }
    return true;
}

} // namespace h264
