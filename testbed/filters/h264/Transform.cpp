#include "Transform.h"

#include "CavlcTables.h"

#include <cstdlib>

namespace h264
{
namespace
{

// Largest level magnitude level_prefix 15 can carry with its 12-bit suffix
// whatever suffixLength is in force (the escape of suffixLength 0 is the
// tightest: levelCode 30 + 4095).
constexpr int32_t kMaxLevel = 2063;

int32_t QuantiseWith(int32_t nCoeff, int32_t nScale, int nShift, bool bIntra)
{
    const int64_t llRounding = (int64_t{1} << nShift) / (bIntra ? 3 : 6);
    const int64_t llMagnitude = (std::llabs(nCoeff) * nScale + llRounding) >> nShift;
    const int32_t nLevel = static_cast<int32_t>(llMagnitude > kMaxLevel ? kMaxLevel : llMagnitude);
    return nCoeff < 0 ? -nLevel : nLevel;
}

// The one-dimensional transforms on four values nStride apart.
void ForwardCore(int32_t* p, int nStride)
{
    int32_t& x0 = p[0];
    int32_t& x1 = p[nStride];
    int32_t& x2 = p[2 * nStride];
    int32_t& x3 = p[3 * nStride];
    const int32_t s0 = x0 + x3, s3 = x0 - x3, s1 = x1 + x2, s2 = x1 - x2;
    x0 = s0 + s1;
    x1 = 2 * s3 + s2;
    x2 = s0 - s1;
    x3 = s3 - 2 * s2;
}

void InverseCore(int32_t* p, int nStride)
{
    int32_t& x0 = p[0];
    int32_t& x1 = p[nStride];
    int32_t& x2 = p[2 * nStride];
    int32_t& x3 = p[3 * nStride];
    const int32_t e0 = x0 + x2, e1 = x0 - x2, e2 = (x1 >> 1) - x3, e3 = x1 + (x3 >> 1);
    x0 = e0 + e3;
    x1 = e1 + e2;
    x2 = e1 - e2;
    x3 = e0 - e3;
}

void Hadamard(int32_t* p, int nStride)
{
    int32_t& x0 = p[0];
    int32_t& x1 = p[nStride];
    int32_t& x2 = p[2 * nStride];
    int32_t& x3 = p[3 * nStride];
    const int32_t a = x0 + x1, b = x0 - x1, c = x2 + x3, d = x2 - x3;
    x0 = a + c;
    x1 = a - c;
    x2 = b - d;
    x3 = b + d;
}

void ApplyToRowsThenColumns(int32_t block[16], void (*transform)(int32_t*, int))
{
    for (int i = 0; i < 4; ++i)
        transform(block + i * 4, 1);
    for (int j = 0; j < 4; ++j)
        transform(block + j, 4);
}

} // namespace

void ForwardTransform4x4(int32_t block[16])
{
    ApplyToRowsThenColumns(block, ForwardCore);
}

void InverseTransform4x4(int32_t block[16])
{
    // Rows first, then columns, as the decoding process orders them: the
    // halvings round differently the other way round.
    ApplyToRowsThenColumns(block, InverseCore);
}

void Hadamard4x4(int32_t block[16])
{
    ApplyToRowsThenColumns(block, Hadamard);
}

void Hadamard2x2(int32_t block[4])
{
    const int32_t a = block[0] + block[1], b = block[0] - block[1], c = block[2] + block[3], d = block[2] - block[3];
    block[0] = a + c;
    block[1] = b + d;
    block[2] = a - c;
    block[3] = b - d;
}

int ScaleClass(int nRasterIndex)
{
    const int nRow = nRasterIndex >> 2, nColumn = nRasterIndex & 3;
    if ((nRow & 1) == 0 && (nColumn & 1) == 0)
        return 0;
    if ((nRow & 1) == 1 && (nColumn & 1) == 1)
        return 1;
    return 2;
}

int32_t Quantise(int32_t nCoeff, int nQp, int nClass, bool bIntra)
{
    return QuantiseWith(nCoeff, kQuantScale[nQp % 6][nClass], 15 + nQp / 6, bIntra);
}

int32_t QuantiseDc(int32_t nCoeff, int nQp, bool bIntra)
{
    return QuantiseWith(nCoeff, kQuantScale[nQp % 6][0], 16 + nQp / 6, bIntra);
}

int32_t Dequantise(int32_t nLevel, int nQp, int nRasterIndex)
{
    // LevelScale4x4 is 16 * v with flat weights; the standard's >> 4 (with
    // rounding below qP 24) then leaves exactly v << (qP / 6).
    return nLevel * kDequantScale[nQp % 6][ScaleClass(nRasterIndex)] * (1 << (nQp / 6));
}

int32_t DequantiseLumaDc(int32_t nValue, int nQp)
{
    const int32_t nScale = 16 * kDequantScale[nQp % 6][0];
    if (nQp >= 36)
        return (nValue * nScale) * (1 << (nQp / 6 - 6));
    return (nValue * nScale + (1 << (5 - nQp / 6))) >> (6 - nQp / 6);
}

int32_t DequantiseChromaDc(int32_t nValue, int nQp)
{
    const int32_t nScale = 16 * kDequantScale[nQp % 6][0];
    return ((nValue * nScale) * (1 << (nQp / 6))) >> 5;
}

int QuantiseBlock(const int32_t coeffs[16], int nQp, bool bIntra, bool bSkipDc, int32_t levels[16])
{
    int nNonZero = 0;
    for (int k = 0; k < 16; ++k)
    {
        const int nRaster = kZigZag4x4[k];
        levels[k] = (bSkipDc && k == 0) ? 0 : Quantise(coeffs[nRaster], nQp, ScaleClass(nRaster), bIntra);
        nNonZero += levels[k] != 0 ? 1 : 0;
    }
    return nNonZero;
}

void DequantiseBlock(const int32_t levels[16], int nQp, bool bSkipDc, int32_t nDc, int32_t coeffs[16])
{
    for (int k = 0; k < 16; ++k)
    {
        const int nRaster = kZigZag4x4[k];
        coeffs[nRaster] = (bSkipDc && k == 0) ? nDc : Dequantise(levels[k], nQp, nRaster);
    }
}

} // namespace h264
