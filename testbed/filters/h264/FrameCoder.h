// Codes the macroblocks of one picture into the data of its slice and
// reconstructs the picture as a decoder will, for the next one to refer to.
#pragma once

#include "BitWriter.h"
#include "Intra4x4.h"
#include "IntraPredict.h"
#include "Motion.h"
#include "Picture.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace h264
{

// How far (in whole samples) a motion vector may take a block past the
// picture's edge; the reference's margin holds this reach and one more
// sample for chroma interpolation.
constexpr int kMaxReach = 32;
constexpr int kLumaMargin = kMaxReach + 16;

class FrameCoder
{
public:
    FrameCoder(int nMbWidth, int nMbHeight, int nQp);

    // An I slice of Intra16x16 and Intra_4x4 macroblocks.
    void CodeIntraFrame(const Picture& source, Picture& recon, BitWriter& writer);
    // A P slice predicted from ref (reconstructed, its edges extended).
    void CodeInterFrame(const Picture& source, const Picture& ref, Picture& recon, BitWriter& writer);

private:
    // What later macroblocks need to know of a coded one.
    struct MbState
    {
        bool bIntra = true;
        bool bIntra4x4 = false;
        uint8_t intra4x4Modes[16] = {}; // by raster 4x4 block
        MotionVector mv;
        uint8_t nzLuma[16] = {};      // TotalCoeff by raster 4x4 block
        uint8_t nzChroma[2][4] = {};  // Cb, Cr
    };

    // The quantised residual of one macroblock.
    struct MbLevels
    {
        int32_t lumaDc[16];          // Intra16x16 DC, scan order
        int32_t luma[16][16];        // by raster block, scan order
        int32_t chromaDc[2][4];
        int32_t chromaAc[2][4][16];  // scan order, index 0 unused
        int nLumaNonZero[16];
        int nChromaNonZero[2][4];
        int nCbpLuma;                // a bit per 8x8 block
        int nCbpChroma;              // 0, 1 (DC only) or 2
        bool bIntra4x4;
        uint8_t intra4x4Modes[16];   // by raster block
    };

    // Where a macroblock's bits began, and the skip run written before them.
    struct MbStart
    {
        size_t nBitCount;
        int nSkipRun;
    };

    struct MbPosition
    {
        int nIndex;
        int nMbX;
        int nMbY;
    };

    void BeginFrame();
    void CodeIntraMb(const Picture& source, Picture& recon, const MbPosition& mb, bool bInPSlice, BitWriter& writer);
    // Chooses among skip, a motion-compensated 16x16 block and intra.
    void CodeInterMb(const Picture& source, const Picture& ref, Picture& recon, const MbPosition& mb,
                     BitWriter& writer);

    int ChooseLumaMode(const Plane& source, const IntraEdges& edges, int x, int y, uint8_t pred[256],
                       int& nBestSad) const;
    ChromaMode ChooseChromaMode(const Picture& source, const Picture& recon, const MbPosition& mb,
                                uint8_t predCb[64], uint8_t predCr[64]) const;
    MotionVector SearchMotion(const Plane& source, const Plane& ref, const MbPosition& mb, MotionVector mvp,
                              int& nCost) const;
    int MotionCost(const Plane& source, const Plane& ref, const MbPosition& mb, MotionVector mv,
                   MotionVector mvp) const;
    bool IsReachable(const MbPosition& mb, MotionVector mv) const;
    MotionNeighbours Neighbours(const MbPosition& mb) const;

    // Codes the luma as sixteen Intra_4x4 blocks, each predicted from the
    // reconstruction of the ones before, in the mode that fits it best.
    void CodeLumaIntra4x4(const Plane& source, const MbPosition& mb, MbLevels& levels, Plane& recon) const;
    bool IsTopRightAvailable(const MbPosition& mb, int nRaster) const;
    // Squared error of the coded luma plus its bits, weighed by lambda^2.
    int64_t RateDistortion(const Plane& source, const Plane& recon, const MbPosition& mb, const MbLevels& levels,
                           int nLumaMode, ChromaMode chroma);
    int PredictedIntra4x4Mode(const MbPosition& mb, int nRaster, const uint8_t currentModes[16]) const;
    void CodeLuma(const Plane& source, const uint8_t pred[256], bool bIntra16x16, const MbPosition& mb,
                  MbLevels& levels, Plane& recon) const;
    void CodeChroma(const Picture& source, const uint8_t predCb[64], const uint8_t predCr[64], bool bIntra,
                    const MbPosition& mb, MbLevels& levels, Picture& recon) const;
    void CodeInterResidual(const Picture& source, const Picture& ref, MotionVector mv, const MbPosition& mb,
                           MbLevels& levels, Picture& recon) const;

    // Writes the macroblock again as I_PCM when it took more bits than a
    // macroblock may.
    void LimitMbSize(BitWriter& writer, const MbStart& start, bool bInPSlice, const Picture& source,
                     const MbPosition& mb, Picture& recon);
    void WriteIntraMb(BitWriter& writer, const MbPosition& mb, bool bInPSlice, int nLumaMode, ChromaMode chroma,
                      const MbLevels& levels);
    void WriteIntra4x4Mb(BitWriter& writer, const MbPosition& mb, bool bInPSlice, ChromaMode chroma,
                         const MbLevels& levels);
    // coded_block_pattern (its codeNum from codeNumOf), mb_qp_delta and the
    // residual of an Intra_4x4 or inter macroblock: sixteen 4x4 luma blocks
    // and the chroma.
    void WriteCodedBlocks(BitWriter& writer, const MbPosition& mb, const MbLevels& levels, int (*codeNumOf)(int));
    void WriteInterMb(BitWriter& writer, const MbPosition& mb, MotionVector mvd, const MbLevels& levels);
    void WriteLumaBlock(BitWriter& writer, const MbPosition& mb, int nRaster, const int32_t* pLevels, int nCount,
                        bool bCoded);
    void WriteChroma(BitWriter& writer, const MbPosition& mb, const MbLevels& levels);
    int LumaNc(const MbPosition& mb, int nRaster) const;
    int ChromaNc(const MbPosition& mb, int nComponent, int nBlock) const;

    int m_nMbWidth;
    int m_nMbHeight;
    int m_nQp;
    int m_nChromaQp;
    int m_nLambda; // weighs bits against sums of absolute differences
    std::vector<MbState> m_mbs;
    std::vector<MotionVector> m_previousMvs; // of the last picture, as search starts
    int m_nSkipRun = 0;
};

} // namespace h264
