#include "FrameCoder.h"

#include "Cavlc.h"
#include "CavlcTables.h"
#include "Transform.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace h264
{
namespace
{

// mb_type of an intra macroblock in a P slice counts on from the five
// inter types.
constexpr int kIntraMbTypeOffsetInP = 5;
constexpr int kMbTypeIPcm = 25;
// The most bits a macroblock may take: 128 more than its raw samples
// (4:2:0, 8 bits). Beyond that the samples go as they are, as I_PCM.
constexpr size_t kMaxMbBits = 128 + 384 * 8;
// TotalCoeff that an I_PCM macroblock's blocks count as for their neighbours.
constexpr uint8_t kPcmTotalCoeff = 16;
// Whole-sample steps of the small diamond search around the best start.
constexpr int kDiamondSteps = 8;
// The longest vector, in whole samples, each way: well within what every
// level allows (level 1.0 takes 64 up and down).
constexpr int kMaxMotion = 48;
// Above this difference from the best start the search looks over a grid
// of whole samples kCoarseStep apart, kCoarseReach each way.
constexpr int kCoarseSearchCost = 4 * 256;
constexpr int kCoarseStep = 4;
constexpr int kCoarseReach = 28;
// Above this difference a skipped macroblock would not be close enough to
// be worth trying it out.
constexpr int kSkipTrialSad = 8 * 256;
// What an intra macroblock costs more than an inter one, in bits.
constexpr int kIntraPenaltyBits = 24;
// Up to this difference from its prediction (one step a sample) a
// macroblock is Intra16x16 without trying Intra_4x4.
constexpr int kIntra16x16GoodEnoughSad = 256;
// What an Intra_4x4 mode costs when it is the predicted one, and when not.
constexpr int kPredictedModeBits = 1;
constexpr int kOtherModeBits = 4;

uint8_t Clip(int nValue)
{
    return static_cast<uint8_t>(nValue < 0 ? 0 : nValue > 255 ? 255 : nValue);
}

// The raster position (row * 4 + column) of the 4x4 block luma4x4BlkIdx:
// the blocks go in 8x8 quadrants, each quadrant in raster order.
int RasterOfBlkIdx(int nBlkIdx)
{
    const int bx = ((nBlkIdx >> 2) & 1) * 2 + (nBlkIdx & 1);
    const int by = (nBlkIdx >> 3) * 2 + ((nBlkIdx >> 1) & 1);
    return by * 4 + bx;
}

int BlkIdxOfRaster(int nRaster)
{
    const int bx = nRaster & 3, by = nRaster >> 2;
    return (by >> 1) * 8 + (bx >> 1) * 4 + (by & 1) * 2 + (bx & 1);
}

int Block8x8OfRaster(int nRaster)
{
    return ((nRaster >> 3) << 1) | ((nRaster & 3) >> 1);
}

void Residual4x4(const uint8_t* pSource, ptrdiff_t cbStride, const uint8_t* pPred, int nPredStride, int32_t out[16])
{
    for (int i = 0; i < 4; ++i)
    {
        for (int j = 0; j < 4; ++j)
            out[i * 4 + j] = pSource[i * cbStride + j] - pPred[i * nPredStride + j];
    }
}

// Adds an inverse-transformed block, (x + 32) >> 6, to the prediction.
void AddResidual(const int32_t residual[16], const uint8_t* pPred, int nPredStride, uint8_t* pOut, ptrdiff_t cbStride)
{
    for (int i = 0; i < 4; ++i)
    {
        for (int j = 0; j < 4; ++j)
            pOut[i * cbStride + j] = Clip(pPred[i * nPredStride + j] + ((residual[i * 4 + j] + 32) >> 6));
    }
}

void CopyBlock(const uint8_t* pPred, int nPredStride, uint8_t* pOut, ptrdiff_t cbStride, int nSize)
{
    for (int i = 0; i < nSize; ++i)
        std::memcpy(pOut + i * cbStride, pPred + i * nPredStride, static_cast<size_t>(nSize));
}

int SadBlock(const uint8_t* pSource, ptrdiff_t cbStride, const uint8_t* pPred, int nSize)
{
    int nSad = 0;
    for (int i = 0; i < nSize; ++i)
    {
        for (int j = 0; j < nSize; ++j)
            nSad += std::abs(pSource[i * cbStride + j] - pPred[i * nSize + j]);
    }
    return nSad;
}

// Bits against the sum of absolute differences: the usual square root of
// 0.85 * 2^((QP - 12) / 3).
int LambdaFor(int nQp)
{
    const int nLambda = static_cast<int>(std::lround(std::sqrt(0.85 * std::pow(2.0, (nQp - 12) / 3.0))));
    return nLambda < 1 ? 1 : nLambda;
}

} // namespace

FrameCoder::FrameCoder(int nMbWidth, int nMbHeight, int nQp)
    : m_nMbWidth(nMbWidth), m_nMbHeight(nMbHeight), m_nQp(nQp), m_nChromaQp(ChromaQp(nQp)),
      m_nLambda(LambdaFor(nQp)), m_mbs(static_cast<size_t>(nMbWidth * nMbHeight)),
      m_previousMvs(static_cast<size_t>(nMbWidth * nMbHeight))
{
}

void FrameCoder::BeginFrame()
{
    m_nSkipRun = 0;
}

void FrameCoder::CodeIntraFrame(const Picture& source, Picture& recon, BitWriter& writer)
{
    BeginFrame();
    for (int y = 0; y < m_nMbHeight; ++y)
    {
        for (int x = 0; x < m_nMbWidth; ++x)
            CodeIntraMb(source, recon, {y * m_nMbWidth + x, x, y}, false, writer);
    }
    for (MotionVector& mv : m_previousMvs)
        mv = MotionVector{};
}

void FrameCoder::CodeInterFrame(const Picture& source, const Picture& ref, Picture& recon, BitWriter& writer)
{
    BeginFrame();
    for (int y = 0; y < m_nMbHeight; ++y)
    {
        for (int x = 0; x < m_nMbWidth; ++x)
            CodeInterMb(source, ref, recon, {y * m_nMbWidth + x, x, y}, writer);
    }
    if (m_nSkipRun > 0)
        writer.WriteUe(static_cast<uint32_t>(m_nSkipRun));
    for (size_t i = 0; i < m_mbs.size(); ++i)
        m_previousMvs[i] = m_mbs[i].mv;
}

void FrameCoder::CodeIntraMb(const Picture& source, Picture& recon, const MbPosition& mb, bool bInPSlice,
                             BitWriter& writer)
{
    const int x0 = mb.nMbX * 16, y0 = mb.nMbY * 16;
    const IntraEdges edges = GatherEdges(recon.y, x0, y0, 16, mb.nMbY > 0, mb.nMbX > 0);
    uint8_t pred[256];
    int nSad16x16 = 0;
    const int nLumaMode = ChooseLumaMode(source.y, edges, x0, y0, pred, nSad16x16);
    uint8_t predCb[64], predCr[64];
    const ChromaMode chroma = ChooseChromaMode(source, recon, mb, predCb, predCr);
    MbLevels levels = {};
    CodeChroma(source, predCb, predCr, true, mb, levels, recon);

    // Where Intra16x16 predicts well, it is the one. Elsewhere both ways to
    // code the luma are weighed by their bits and what they miss by; each
    // codes into the reconstruction, so the one chosen codes last.
    levels.bIntra4x4 = false;
    if (nSad16x16 > kIntra16x16GoodEnoughSad)
    {
        MbLevels levels4x4 = levels;
        levels4x4.bIntra4x4 = true;
        CodeLumaIntra4x4(source.y, mb, levels4x4, recon.y);
        const int64_t llCost4x4 = RateDistortion(source.y, recon.y, mb, levels4x4, nLumaMode, chroma);
        CodeLuma(source.y, pred, true, mb, levels, recon.y);
        if (llCost4x4 < RateDistortion(source.y, recon.y, mb, levels, nLumaMode, chroma))
        {
            levels = levels4x4;
            CodeLumaIntra4x4(source.y, mb, levels, recon.y);
        }
    }
    else
    {
        CodeLuma(source.y, pred, true, mb, levels, recon.y);
    }
    MbState& state = m_mbs[mb.nIndex];
    state.bIntra = true;
    state.bIntra4x4 = levels.bIntra4x4;
    std::memcpy(state.intra4x4Modes, levels.intra4x4Modes, sizeof(state.intra4x4Modes));
    state.mv = MotionVector{};
    const MbStart start = {writer.BitCount(), m_nSkipRun};
    if (levels.bIntra4x4)
        WriteIntra4x4Mb(writer, mb, bInPSlice, chroma, levels);
    else
        WriteIntraMb(writer, mb, bInPSlice, nLumaMode, chroma, levels);
    LimitMbSize(writer, start, bInPSlice, source, mb, recon);
}

void FrameCoder::CodeInterMb(const Picture& source, const Picture& ref, Picture& recon, const MbPosition& mb,
                             BitWriter& writer)
{
    const int x0 = mb.nMbX * 16, y0 = mb.nMbY * 16;
    const MotionNeighbours neighbours = Neighbours(mb);
    const MotionVector mvp = PredictMotionVector(neighbours);
    const MotionVector mvSkip = PredictSkipMotionVector(neighbours);
    MbState& state = m_mbs[mb.nIndex];
    MbLevels levels = {};

    const auto markSkipped = [&](MotionVector mv) {
        state.bIntra = false;
        state.bIntra4x4 = false;
        state.mv = mv;
        std::memset(state.nzLuma, 0, sizeof(state.nzLuma));
        std::memset(state.nzChroma, 0, sizeof(state.nzChroma));
        ++m_nSkipRun;
    };

    // A skip costs nearly nothing: take it whenever its residual quantises
    // to nothing at all.
    if (IsReachable(mb, mvSkip) && MotionCost(source.y, ref.y, mb, mvSkip, mvSkip) <= kSkipTrialSad)
    {
        CodeInterResidual(source, ref, mvSkip, mb, levels, recon);
        if (levels.nCbpLuma == 0 && levels.nCbpChroma == 0)
        {
            markSkipped(mvSkip);
            return;
        }
    }

    int nInterCost = INT_MAX;
    const MotionVector mv = SearchMotion(source.y, ref.y, mb, mvp, nInterCost);

    const IntraEdges edges = GatherEdges(recon.y, x0, y0, 16, mb.nMbY > 0, mb.nMbX > 0);
    uint8_t pred[256];
    int nIntraSad = 0;
    ChooseLumaMode(source.y, edges, x0, y0, pred, nIntraSad);
    if (nIntraSad + kIntraPenaltyBits * m_nLambda < nInterCost)
    {
        CodeIntraMb(source, recon, mb, true, writer);
        return;
    }

    CodeInterResidual(source, ref, mv, mb, levels, recon);
    if (mv == mvSkip && levels.nCbpLuma == 0 && levels.nCbpChroma == 0)
    {
        markSkipped(mv);
        return;
    }
    state.bIntra = false;
    state.bIntra4x4 = false;
    state.mv = mv;
    const MbStart start = {writer.BitCount(), m_nSkipRun};
    WriteInterMb(writer, mb, MotionVector{mv.x - mvp.x, mv.y - mvp.y}, levels);
    LimitMbSize(writer, start, true, source, mb, recon);
}

void FrameCoder::LimitMbSize(BitWriter& writer, const MbStart& start, bool bInPSlice, const Picture& source,
                             const MbPosition& mb, Picture& recon)
{
    if (writer.BitCount() - start.nBitCount <= kMaxMbBits)
        return;
    writer.Rewind(start.nBitCount);
    if (bInPSlice)
        writer.WriteUe(static_cast<uint32_t>(start.nSkipRun));
    writer.WriteUe(static_cast<uint32_t>(kMbTypeIPcm + (bInPSlice ? kIntraMbTypeOffsetInP : 0)));
    while (!writer.IsByteAligned())
        writer.WriteBits(0, 1); // pcm_alignment_zero_bit
    const auto writeSamples = [&](const Plane& plane, Plane& out, int nSize) {
        const int x0 = mb.nMbX * nSize, y0 = mb.nMbY * nSize;
        for (int y = y0; y < y0 + nSize; ++y)
        {
            for (int x = x0; x < x0 + nSize; ++x)
                writer.WriteBits(plane.Row(y)[x], 8);
            std::memcpy(out.Row(y) + x0, plane.Row(y) + x0, static_cast<size_t>(nSize));
        }
    };
    writeSamples(source.y, recon.y, 16);
    writeSamples(source.cb, recon.cb, 8);
    writeSamples(source.cr, recon.cr, 8);
    MbState& state = m_mbs[mb.nIndex];
    state.bIntra = true;
    state.bIntra4x4 = false;
    state.mv = MotionVector{};
    std::memset(state.nzLuma, kPcmTotalCoeff, sizeof(state.nzLuma));
    std::memset(state.nzChroma, kPcmTotalCoeff, sizeof(state.nzChroma));
}

int FrameCoder::ChooseLumaMode(const Plane& source, const IntraEdges& edges, int x, int y, uint8_t pred[256],
                               int& nBestSad) const
{
    static constexpr LumaMode kModes[] = {LumaMode::Vertical, LumaMode::Horizontal, LumaMode::Dc, LumaMode::Plane};
    int nBest = static_cast<int>(LumaMode::Dc);
    nBestSad = INT_MAX;
    uint8_t candidate[256];
    for (LumaMode mode : kModes)
    {
        if (!PredictLuma(edges, mode, candidate))
            continue;
        const int nSad = Sad16x16(source.Row(y) + x, source.Stride(), candidate, 16);
        if (nSad < nBestSad)
        {
            nBestSad = nSad;
            nBest = static_cast<int>(mode);
            std::memcpy(pred, candidate, sizeof(candidate));
        }
    }
    return nBest;
}

ChromaMode FrameCoder::ChooseChromaMode(const Picture& source, const Picture& recon, const MbPosition& mb,
                                        uint8_t predCb[64], uint8_t predCr[64]) const
{
    static constexpr ChromaMode kModes[] = {ChromaMode::Dc, ChromaMode::Horizontal, ChromaMode::Vertical,
                                            ChromaMode::Plane};
    const int x0 = mb.nMbX * 8, y0 = mb.nMbY * 8;
    const IntraEdges edgesCb = GatherEdges(recon.cb, x0, y0, 8, mb.nMbY > 0, mb.nMbX > 0);
    const IntraEdges edgesCr = GatherEdges(recon.cr, x0, y0, 8, mb.nMbY > 0, mb.nMbX > 0);
    ChromaMode best = ChromaMode::Dc;
    int nBestSad = INT_MAX;
    uint8_t candidateCb[64], candidateCr[64];
    for (ChromaMode mode : kModes)
    {
        if (!PredictChroma(edgesCb, mode, candidateCb) || !PredictChroma(edgesCr, mode, candidateCr))
            continue;
        const int nSad = SadBlock(source.cb.Row(y0) + x0, source.cb.Stride(), candidateCb, 8) +
                         SadBlock(source.cr.Row(y0) + x0, source.cr.Stride(), candidateCr, 8);
        if (nSad < nBestSad)
        {
            nBestSad = nSad;
            best = mode;
            std::memcpy(predCb, candidateCb, sizeof(candidateCb));
            std::memcpy(predCr, candidateCr, sizeof(candidateCr));
        }
    }
    return best;
}

bool FrameCoder::IsReachable(const MbPosition& mb, MotionVector mv) const
{
    if ((mv.x & 3) != 0 || (mv.y & 3) != 0 || std::abs(mv.x) > 4 * kMaxMotion || std::abs(mv.y) > 4 * kMaxMotion)
        return false;
    const int x = mb.nMbX * 16 + (mv.x >> 2), y = mb.nMbY * 16 + (mv.y >> 2);
    return x >= -kMaxReach && x <= m_nMbWidth * 16 - 16 + kMaxReach && y >= -kMaxReach &&
           y <= m_nMbHeight * 16 - 16 + kMaxReach;
}

int FrameCoder::MotionCost(const Plane& source, const Plane& ref, const MbPosition& mb, MotionVector mv,
                           MotionVector mvp) const
{
    const int x0 = mb.nMbX * 16, y0 = mb.nMbY * 16;
    const int nSad = Sad16x16(source.Row(y0) + x0, source.Stride(), ref.Row(y0 + (mv.y >> 2)) + x0 + (mv.x >> 2),
                              ref.Stride());
    return nSad + m_nLambda * (SeBitCount(mv.x - mvp.x) + SeBitCount(mv.y - mvp.y));
}

MotionVector FrameCoder::SearchMotion(const Plane& source, const Plane& ref, const MbPosition& mb, MotionVector mvp,
                                      int& nBestCost) const
{
    MotionVector best;
    nBestCost = INT_MAX;
    const auto consider = [&](MotionVector mv) {
        if (!IsReachable(mb, mv))
            return;
        const int nCost = MotionCost(source, ref, mb, mv, mvp);
        if (nCost < nBestCost)
        {
            nBestCost = nCost;
            best = mv;
        }
    };
    // Start from what the neighbours and the last picture moved by.
    const MotionNeighbours neighbours = Neighbours(mb);
    consider(mvp);
    consider(MotionVector{});
    consider(neighbours.a.mv);
    consider(neighbours.b.mv);
    consider(neighbours.c.mv);
    consider(m_previousMvs[mb.nIndex]);
    // Nothing near fits: something moved further, look over a coarse grid.
    if (nBestCost > kCoarseSearchCost)
    {
        const MotionVector centre = best;
        for (int dy = -kCoarseReach; dy <= kCoarseReach; dy += kCoarseStep)
        {
            for (int dx = -kCoarseReach; dx <= kCoarseReach; dx += kCoarseStep)
                consider({centre.x + 4 * dx, centre.y + 4 * dy});
        }
    }
    for (int nStep = 0; nStep < kDiamondSteps; ++nStep)
    {
        const MotionVector centre = best;
        consider({centre.x - 4, centre.y});
        consider({centre.x + 4, centre.y});
        consider({centre.x, centre.y - 4});
        consider({centre.x, centre.y + 4});
        if (best == centre)
            break;
    }
    return best;
}

MotionNeighbours FrameCoder::Neighbours(const MbPosition& mb) const
{
    const auto at = [&](int x, int y) {
        MotionNeighbour neighbour;
        if (x < 0 || y < 0 || x >= m_nMbWidth)
            return neighbour;
        neighbour.bAvailable = true;
        const MbState& state = m_mbs[static_cast<size_t>(y * m_nMbWidth + x)];
        if (!state.bIntra)
        {
            neighbour.nRefIdx = 0;
            neighbour.mv = state.mv;
        }
        return neighbour;
    };
    MotionNeighbours neighbours;
    neighbours.a = at(mb.nMbX - 1, mb.nMbY);
    neighbours.b = at(mb.nMbX, mb.nMbY - 1);
    neighbours.c = at(mb.nMbX + 1, mb.nMbY - 1);
    neighbours.d = at(mb.nMbX - 1, mb.nMbY - 1);
    return neighbours;
}

int64_t FrameCoder::RateDistortion(const Plane& source, const Plane& recon, const MbPosition& mb,
                                   const MbLevels& levels, int nLumaMode, ChromaMode chroma)
{
    const int x0 = mb.nMbX * 16, y0 = mb.nMbY * 16;
    int64_t llSquares = 0;
    for (int y = y0; y < y0 + 16; ++y)
    {
        for (int x = x0; x < x0 + 16; ++x)
        {
            const int d = source.Row(y)[x] - recon.Row(y)[x];
            llSquares += d * d;
        }
    }
    // The bits as the macroblock would go in an I slice; the skip run
    // before it is the same either way.
    BitWriter scratch;
    if (levels.bIntra4x4)
        WriteIntra4x4Mb(scratch, mb, false, chroma, levels);
    else
        WriteIntraMb(scratch, mb, false, nLumaMode, chroma, levels);
    return llSquares + int64_t{m_nLambda} * m_nLambda * static_cast<int64_t>(scratch.BitCount());
}

bool FrameCoder::IsTopRightAvailable(const MbPosition& mb, int nRaster) const
{
    const int bx = nRaster & 3, by = nRaster >> 2;
    if (by == 0)
        return mb.nMbY > 0 && (bx < 3 || mb.nMbX + 1 < m_nMbWidth);
    // The macroblock to the right comes later; inside this one, the block
    // above and to the right may come later too.
    return bx < 3 && BlkIdxOfRaster(nRaster - 3) < BlkIdxOfRaster(nRaster);
}

int FrameCoder::PredictedIntra4x4Mode(const MbPosition& mb, int nRaster, const uint8_t currentModes[16]) const
{
    const int bx = nRaster & 3, by = nRaster >> 2;
    if ((bx == 0 && mb.nMbX == 0) || (by == 0 && mb.nMbY == 0))
        return static_cast<int>(Intra4x4Mode::Dc);
    // A neighbour that is not Intra_4x4 counts as DC.
    const auto modeOf = [](const MbState& state, int nBlock) {
        return state.bIntra4x4 ? state.intra4x4Modes[nBlock] : static_cast<int>(Intra4x4Mode::Dc);
    };
    const int nLeft = bx > 0 ? currentModes[nRaster - 1] : modeOf(m_mbs[mb.nIndex - 1], nRaster + 3);
    const int nAbove = by > 0 ? currentModes[nRaster - 4] : modeOf(m_mbs[mb.nIndex - m_nMbWidth], nRaster + 12);
    return nLeft < nAbove ? nLeft : nAbove;
}

void FrameCoder::CodeLumaIntra4x4(const Plane& source, const MbPosition& mb, MbLevels& levels, Plane& recon) const
{
    levels.nCbpLuma = 0;
    for (int nBlkIdx = 0; nBlkIdx < 16; ++nBlkIdx)
    {
        const int nRaster = RasterOfBlkIdx(nBlkIdx);
        const int bx = nRaster & 3, by = nRaster >> 2;
        const int x = mb.nMbX * 16 + bx * 4, y = mb.nMbY * 16 + by * 4;
        const Edges4x4 edges = GatherEdges4x4(recon, x, y, by > 0 || mb.nMbY > 0, bx > 0 || mb.nMbX > 0,
                                              IsTopRightAvailable(mb, nRaster));
        const int nPredicted = PredictedIntra4x4Mode(mb, nRaster, levels.intra4x4Modes);
        uint8_t pred[16], candidate[16];
        int nBestCost = INT_MAX;
        for (int m = 0; m < kIntra4x4Modes; ++m)
        {
            if (!PredictIntra4x4(edges, static_cast<Intra4x4Mode>(m), candidate))
                continue;
            const int nModeCost = SadBlock(source.Row(y) + x, source.Stride(), candidate, 4) +
                                  m_nLambda * (m == nPredicted ? kPredictedModeBits : kOtherModeBits);
            if (nModeCost < nBestCost)
            {
                nBestCost = nModeCost;
                levels.intra4x4Modes[nRaster] = static_cast<uint8_t>(m);
                std::memcpy(pred, candidate, sizeof(pred));
            }
        }

        int32_t coeffs[16];
        Residual4x4(source.Row(y) + x, source.Stride(), pred, 4, coeffs);
        ForwardTransform4x4(coeffs);
        levels.nLumaNonZero[nRaster] = QuantiseBlock(coeffs, m_nQp, true, false, levels.luma[nRaster]);
        uint8_t* pOut = recon.Row(y) + x;
        if (levels.nLumaNonZero[nRaster] == 0)
        {
            CopyBlock(pred, 4, pOut, recon.Stride(), 4);
            continue;
        }
        levels.nCbpLuma |= 1 << Block8x8OfRaster(nRaster);
        DequantiseBlock(levels.luma[nRaster], m_nQp, false, 0, coeffs);
        InverseTransform4x4(coeffs);
        AddResidual(coeffs, pred, 4, pOut, recon.Stride());
    }
}

void FrameCoder::CodeLuma(const Plane& source, const uint8_t pred[256], bool bIntra16x16, const MbPosition& mb,
                          MbLevels& levels, Plane& recon) const
{
    const int x0 = mb.nMbX * 16, y0 = mb.nMbY * 16;
    int32_t coeffs[16][16];
    for (int b = 0; b < 16; ++b)
    {
        const int bx = (b & 3) * 4, by = (b >> 2) * 4;
        Residual4x4(source.Row(y0 + by) + x0 + bx, source.Stride(), pred + by * 16 + bx, 16, coeffs[b]);
        ForwardTransform4x4(coeffs[b]);
    }

    int32_t dcScaled[16] = {};
    levels.nCbpLuma = 0;
    if (bIntra16x16)
    {
        // The blocks' DC values, laid out as the blocks are, go through the
        // Hadamard transform and are coded apart.
        int32_t dc[16];
        for (int b = 0; b < 16; ++b)
            dc[b] = coeffs[b][0];
        Hadamard4x4(dc);
        int32_t dcLevels[16];
        for (int k = 0; k < 16; ++k)
            dcLevels[k] = QuantiseDc(dc[k] / 2, m_nQp, true);
        for (int k = 0; k < 16; ++k)
            levels.lumaDc[k] = dcLevels[kZigZag4x4[k]];
        bool bAnyAc = false;
        for (int b = 0; b < 16; ++b)
        {
            levels.nLumaNonZero[b] = QuantiseBlock(coeffs[b], m_nQp, true, true, levels.luma[b]);
            bAnyAc = bAnyAc || levels.nLumaNonZero[b] != 0;
        }
        levels.nCbpLuma = bAnyAc ? 15 : 0;
        Hadamard4x4(dcLevels);
        for (int k = 0; k < 16; ++k)
            dcScaled[k] = DequantiseLumaDc(dcLevels[k], m_nQp);
    }
    else
    {
        for (int b = 0; b < 16; ++b)
        {
            levels.nLumaNonZero[b] = QuantiseBlock(coeffs[b], m_nQp, false, false, levels.luma[b]);
            if (levels.nLumaNonZero[b] != 0)
                levels.nCbpLuma |= 1 << Block8x8OfRaster(b);
        }
    }

    for (int b = 0; b < 16; ++b)
    {
        const int bx = (b & 3) * 4, by = (b >> 2) * 4;
        uint8_t* pOut = recon.Row(y0 + by) + x0 + bx;
        const uint8_t* pPred = pred + by * 16 + bx;
        if (levels.nLumaNonZero[b] == 0 && dcScaled[b] == 0)
        {
            CopyBlock(pPred, 16, pOut, recon.Stride(), 4);
            continue;
        }
        int32_t residual[16];
        DequantiseBlock(levels.luma[b], m_nQp, bIntra16x16, dcScaled[b], residual);
        InverseTransform4x4(residual);
        AddResidual(residual, pPred, 16, pOut, recon.Stride());
    }
}

void FrameCoder::CodeChroma(const Picture& source, const uint8_t predCb[64], const uint8_t predCr[64], bool bIntra,
                            const MbPosition& mb, MbLevels& levels, Picture& recon) const
{
    const int x0 = mb.nMbX * 8, y0 = mb.nMbY * 8;
    bool bAnyDc = false, bAnyAc = false;
    for (int c = 0; c < 2; ++c)
    {
        const Plane& plane = c == 0 ? source.cb : source.cr;
        Plane& out = c == 0 ? recon.cb : recon.cr;
        const uint8_t* pred = c == 0 ? predCb : predCr;
        int32_t coeffs[4][16];
        int32_t dc[4];
        for (int b = 0; b < 4; ++b)
        {
            const int bx = (b & 1) * 4, by = (b >> 1) * 4;
            Residual4x4(plane.Row(y0 + by) + x0 + bx, plane.Stride(), pred + by * 8 + bx, 8, coeffs[b]);
            ForwardTransform4x4(coeffs[b]);
            dc[b] = coeffs[b][0];
        }
        Hadamard2x2(dc);
        for (int b = 0; b < 4; ++b)
        {
            levels.chromaDc[c][b] = QuantiseDc(dc[b], m_nChromaQp, bIntra);
            bAnyDc = bAnyDc || levels.chromaDc[c][b] != 0;
            levels.nChromaNonZero[c][b] = QuantiseBlock(coeffs[b], m_nChromaQp, bIntra, true, levels.chromaAc[c][b]);
            bAnyAc = bAnyAc || levels.nChromaNonZero[c][b] != 0;
        }
        int32_t dcScaled[4];
        for (int b = 0; b < 4; ++b)
            dcScaled[b] = levels.chromaDc[c][b];
        Hadamard2x2(dcScaled);
        for (int b = 0; b < 4; ++b)
        {
            dcScaled[b] = DequantiseChromaDc(dcScaled[b], m_nChromaQp);
            const int bx = (b & 1) * 4, by = (b >> 1) * 4;
            uint8_t* pOut = out.Row(y0 + by) + x0 + bx;
            if (levels.nChromaNonZero[c][b] == 0 && dcScaled[b] == 0)
            {
                CopyBlock(pred + by * 8 + bx, 8, pOut, out.Stride(), 4);
                continue;
            }
            int32_t residual[16];
            DequantiseBlock(levels.chromaAc[c][b], m_nChromaQp, true, dcScaled[b], residual);
            InverseTransform4x4(residual);
            AddResidual(residual, pred + by * 8 + bx, 8, pOut, out.Stride());
        }
    }
    levels.nCbpChroma = bAnyAc ? 2 : bAnyDc ? 1 : 0;
}

void FrameCoder::CodeInterResidual(const Picture& source, const Picture& ref, MotionVector mv, const MbPosition& mb,
                                   MbLevels& levels, Picture& recon) const
{
    uint8_t pred[256], predCb[64], predCr[64];
    PredictInterLuma(ref.y, mb.nMbX * 16, mb.nMbY * 16, mv, pred);
    PredictInterChroma(ref.cb, mb.nMbX * 8, mb.nMbY * 8, mv, predCb);
    PredictInterChroma(ref.cr, mb.nMbX * 8, mb.nMbY * 8, mv, predCr);
    CodeLuma(source.y, pred, false, mb, levels, recon.y);
    CodeChroma(source, predCb, predCr, false, mb, levels, recon);
}

void FrameCoder::WriteIntraMb(BitWriter& writer, const MbPosition& mb, bool bInPSlice, int nLumaMode,
                              ChromaMode chroma, const MbLevels& levels)
{
    if (bInPSlice)
    {
        writer.WriteUe(static_cast<uint32_t>(m_nSkipRun));
        m_nSkipRun = 0;
    }
    // I_16x16_<mode>_<chroma cbp>_<luma cbp>.
    const int nMbType = 1 + nLumaMode + 4 * levels.nCbpChroma + (levels.nCbpLuma != 0 ? 12 : 0);
    writer.WriteUe(static_cast<uint32_t>(nMbType + (bInPSlice ? kIntraMbTypeOffsetInP : 0)));
    writer.WriteUe(static_cast<uint32_t>(chroma));
    writer.WriteSe(0); // mb_qp_delta
    // The DC block's TotalCoeff counts for no neighbour: the blocks count
    // their AC levels.
    WriteResidualBlock(writer, levels.lumaDc, 16, LumaNc(mb, 0));
    for (int nBlkIdx = 0; nBlkIdx < 16; ++nBlkIdx)
    {
        const int nRaster = RasterOfBlkIdx(nBlkIdx);
        WriteLumaBlock(writer, mb, nRaster, levels.luma[nRaster] + 1, 15, levels.nCbpLuma != 0);
    }
    WriteChroma(writer, mb, levels);
}

void FrameCoder::WriteIntra4x4Mb(BitWriter& writer, const MbPosition& mb, bool bInPSlice, ChromaMode chroma,
                                 const MbLevels& levels)
{
    if (bInPSlice)
    {
        writer.WriteUe(static_cast<uint32_t>(m_nSkipRun));
        m_nSkipRun = 0;
    }
    writer.WriteUe(bInPSlice ? kIntraMbTypeOffsetInP : 0); // I_NxN
    for (int nBlkIdx = 0; nBlkIdx < 16; ++nBlkIdx)
    {
        const int nRaster = RasterOfBlkIdx(nBlkIdx);
        const int nPredicted = PredictedIntra4x4Mode(mb, nRaster, levels.intra4x4Modes);
        const int nMode = levels.intra4x4Modes[nRaster];
        writer.WriteFlag(nMode == nPredicted); // prev_intra4x4_pred_mode_flag
        if (nMode != nPredicted)
            writer.WriteBits(static_cast<uint32_t>(nMode < nPredicted ? nMode : nMode - 1), 3);
    }
    writer.WriteUe(static_cast<uint32_t>(chroma));
    WriteCodedBlocks(writer, mb, levels, IntraCbpCodeNum);
}

void FrameCoder::WriteCodedBlocks(BitWriter& writer, const MbPosition& mb, const MbLevels& levels,
                                  int (*codeNumOf)(int))
{
    const int nCbp = levels.nCbpLuma | levels.nCbpChroma << 4;
    writer.WriteUe(static_cast<uint32_t>(codeNumOf(nCbp)));
    if (nCbp != 0)
        writer.WriteSe(0); // mb_qp_delta
    for (int nBlkIdx = 0; nBlkIdx < 16; ++nBlkIdx)
    {
        const int nRaster = RasterOfBlkIdx(nBlkIdx);
        WriteLumaBlock(writer, mb, nRaster, levels.luma[nRaster], 16, (levels.nCbpLuma >> (nBlkIdx >> 2) & 1) != 0);
    }
    WriteChroma(writer, mb, levels);
}

void FrameCoder::WriteInterMb(BitWriter& writer, const MbPosition& mb, MotionVector mvd, const MbLevels& levels)
{
    writer.WriteUe(static_cast<uint32_t>(m_nSkipRun));
    m_nSkipRun = 0;
    writer.WriteUe(0); // P_L0_16x16
    writer.WriteSe(mvd.x);
    writer.WriteSe(mvd.y);
    WriteCodedBlocks(writer, mb, levels, InterCbpCodeNum);
}

void FrameCoder::WriteLumaBlock(BitWriter& writer, const MbPosition& mb, int nRaster, const int32_t* pLevels,
                                int nCount, bool bCoded)
{
    m_mbs[mb.nIndex].nzLuma[nRaster] =
        static_cast<uint8_t>(bCoded ? WriteResidualBlock(writer, pLevels, nCount, LumaNc(mb, nRaster)) : 0);
}

void FrameCoder::WriteChroma(BitWriter& writer, const MbPosition& mb, const MbLevels& levels)
{
    if (levels.nCbpChroma != 0)
    {
        for (int c = 0; c < 2; ++c)
            WriteResidualBlock(writer, levels.chromaDc[c], 4, kChromaDcNc);
    }
    for (int c = 0; c < 2; ++c)
    {
        for (int b = 0; b < 4; ++b)
        {
            const int nTotal = levels.nCbpChroma == 2
                                   ? WriteResidualBlock(writer, levels.chromaAc[c][b] + 1, 15, ChromaNc(mb, c, b))
                                   : 0;
            m_mbs[mb.nIndex].nzChroma[c][b] = static_cast<uint8_t>(nTotal);
        }
    }
}

int FrameCoder::LumaNc(const MbPosition& mb, int nRaster) const
{
    const MbState& current = m_mbs[mb.nIndex];
    const int bx = nRaster & 3, by = nRaster >> 2;
    int nLeft = -1, nAbove = -1;
    if (bx > 0)
        nLeft = current.nzLuma[nRaster - 1];
    else if (mb.nMbX > 0)
        nLeft = m_mbs[mb.nIndex - 1].nzLuma[nRaster + 3];
    if (by > 0)
        nAbove = current.nzLuma[nRaster - 4];
    else if (mb.nMbY > 0)
        nAbove = m_mbs[mb.nIndex - m_nMbWidth].nzLuma[nRaster + 12];
    return PredictNc(nLeft, nAbove);
}

int FrameCoder::ChromaNc(const MbPosition& mb, int nComponent, int nBlock) const
{
    const MbState& current = m_mbs[mb.nIndex];
    const int bx = nBlock & 1, by = nBlock >> 1;
    int nLeft = -1, nAbove = -1;
    if (bx > 0)
        nLeft = current.nzChroma[nComponent][nBlock - 1];
    else if (mb.nMbX > 0)
        nLeft = m_mbs[mb.nIndex - 1].nzChroma[nComponent][nBlock + 1];
    if (by > 0)
        nAbove = current.nzChroma[nComponent][nBlock - 2];
    else if (mb.nMbY > 0)
        nAbove = m_mbs[mb.nIndex - m_nMbWidth].nzChroma[nComponent][nBlock + 2];
    return PredictNc(nLeft, nAbove);
}

} // namespace h264
