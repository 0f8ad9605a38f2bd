// One channel of an access unit: its spectral lines quantised with one scale
// factor for every band that is coded, the books chosen for the bands, and
// the bits of its individual channel stream.
#pragma once

#include "BitWriter.h"
#include "Mdct.h"
#include "ScaleFactorBands.h"

#include <array>
#include <vector>

namespace aac
{

// A run of bands coded with one book.
struct Section
{
    int nBook;
    int nFirstBand;
    int cBands;
};

class ChannelCoder
{
public:
    // pBandOffsets: kLongBands + 1 line offsets.
    explicit ChannelCoder(const int* pBandOffsets);

    // This access unit's lines (kFrameLength).
    void Load(const double* pLines);
    // The smallest scale factor with which every line fits an escape.
    int SmallestScaleFactor() const;
    // Quantises every line with nScaleFactor (up to kLargestScaleFactor).
    void Quantise(int nScaleFactor);
    // Bands up to the last one with a line that is not zero.
    int BandsUsed() const { return m_cBandsUsed; }
    // Chooses the books of bands [0, cBands) and returns the bits of the
    // channel's stream: global gain, sections, scale factors, the three
    // absent tools' flags and the spectrum (without ics_info).
    int Plan(int cBands);
    // Writes the stream Plan chose; ics_info after the global gain when the
    // channel does not share it with its pair.
    void Write(BitWriter& writer, bool bWithIcsInfo, int cBands) const;

    const std::vector<int>& Quantised() const { return m_quantised; }
    int ScaleFactor() const { return m_nScaleFactor; }
    const std::vector<Section>& Sections() const { return m_sections; }

private:
    const int* const m_pBandOffsets;
    std::vector<double> m_lines;
    std::vector<double> m_magnitudes34; // |line|^(3/4)
    double m_dLargestMagnitude34 = 0.0;
    std::vector<int> m_quantised;
    int m_nScaleFactor = 0;
    int m_cBandsUsed = 0;
    std::vector<Section> m_sections;
};

// The largest scale factor a stream can carry.
constexpr int kLargestScaleFactor = 255;

// ics_info of a long block with the sine window: cBands bands coded.
void WriteIcsInfo(BitWriter& writer, int cBands);
constexpr int kIcsInfoBits = 11;

} // namespace aac
