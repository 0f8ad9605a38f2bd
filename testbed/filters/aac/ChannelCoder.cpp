#include "ChannelCoder.h"

#include "HuffmanBooks.h"
#include "LineCoder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace aac
{
namespace
{

// Quantisation rounds x^(3/4) / step down after adding this, a little less
// than a half: the reconstruction's error is smallest so.
constexpr double kRounding = 0.4054;
// The scale factor at which a line is quantised with a step of 1.
constexpr int kUnitScaleFactor = 100;

constexpr int kBookBits = 4;
constexpr int kSectionLengthBits = 5;
constexpr int kSectionLengthEscape = (1 << kSectionLengthBits) - 1;
constexpr int kGlobalGainBits = 8;
constexpr int kAbsentToolBits = 3; // pulse, TNS and gain control: none
constexpr int kBooks = kLastSpectrumBook + 1;

int SectionHeaderBits(int cBands)
{
    return kBookBits + kSectionLengthBits * (cBands / kSectionLengthEscape + 1);
}

// 2^(-3/16 (s - 100)): what x^(3/4) is multiplied by for scale factor s.
double QuantiserGain(int nScaleFactor)
{
    return std::exp2(-3.0 / 16.0 * (nScaleFactor - kUnitScaleFactor));
}

} // namespace

ChannelCoder::ChannelCoder(const int* pBandOffsets)
    : m_pBandOffsets(pBandOffsets), m_lines(kFrameLength), m_magnitudes34(kFrameLength), m_quantised(kFrameLength)
{
}

void ChannelCoder::Load(const double* pLines)
{
    m_dLargestMagnitude34 = 0.0;
    for (int i = 0; i < kFrameLength; ++i)
    {
        m_lines[i] = pLines[i];
        m_magnitudes34[i] = std::pow(std::fabs(pLines[i]), 0.75);
        m_dLargestMagnitude34 = std::max(m_dLargestMagnitude34, m_magnitudes34[i]);
    }
}

int ChannelCoder::SmallestScaleFactor() const
{
    // Quantise(s) gives at most kLargestQuantisedValue where
    // m * gain(s) + kRounding < kLargestQuantisedValue + 1.
    const double dLimit = kLargestQuantisedValue + 1 - kRounding;
    if (m_dLargestMagnitude34 * QuantiserGain(0) < dLimit)
        return 0;
    int nScaleFactor =
        static_cast<int>(std::floor(kUnitScaleFactor + 16.0 / 3.0 * std::log2(m_dLargestMagnitude34 / dLimit)));
    nScaleFactor = std::max(nScaleFactor, 0);
    while (nScaleFactor < kLargestScaleFactor && m_dLargestMagnitude34 * QuantiserGain(nScaleFactor) >= dLimit)
        ++nScaleFactor;
    return nScaleFactor;
}

void ChannelCoder::Quantise(int nScaleFactor)
{
    m_nScaleFactor = nScaleFactor;
    const double dGain = QuantiserGain(nScaleFactor);
    int nLastLine = -1;
    for (int i = 0; i < kFrameLength; ++i)
    {
        const double dValue = m_magnitudes34[i] * dGain + kRounding;
        const int nValue = dValue < kLargestQuantisedValue ? static_cast<int>(dValue) : kLargestQuantisedValue;
        m_quantised[i] = m_lines[i] < 0.0 ? -nValue : nValue;
        if (nValue != 0)
            nLastLine = i;
    }
    m_cBandsUsed = 0;
    while (m_cBandsUsed < kLongBands && m_pBandOffsets[m_cBandsUsed] <= nLastLine)
        ++m_cBandsUsed;
}

// The cheapest books for the bands as a shortest path: a band either goes
// on with the book of the band before or starts a section, which costs a
// header. The sections' length escapes are counted once the path is known.
int ChannelCoder::Plan(int cBands)
{
    const int nScaleFactorBits = ScaleFactorCodeOf(0).nLength; // every coded band repeats the step
    std::vector<std::array<int, kBooks>> cost(cBands);
    std::vector<std::array<int, kBooks>> best(cBands);
    std::vector<std::array<int, kBooks>> from(cBands); // the book of the band before on the best path
    for (int b = 0; b < cBands; ++b)
    {
        const int* pValues = m_quantised.data() + m_pBandOffsets[b];
        const int cLines = m_pBandOffsets[b + 1] - m_pBandOffsets[b];
        int nLargest = 0;
        for (int i = 0; i < cLines; ++i)
            nLargest = std::max(nLargest, std::abs(pValues[i]));
        const int nFirstBook = FirstBookFor(nLargest);
        cost[b].fill(kUncodable);
        if (nFirstBook == kZeroBook)
            cost[b][kZeroBook] = 0;
        for (int nBook = std::max(nFirstBook, kFirstSpectrumBook); nBook < kBooks; ++nBook)
        {
            const int nBits = SpectrumBits(pValues, cLines, nBook);
            if (nBits < kUncodable)
                cost[b][nBook] = nBits + nScaleFactorBits;
        }
    }
    const int nNewSection = kBookBits + kSectionLengthBits;
    for (int b = 0; b < cBands; ++b)
    {
        int nBestBefore = 0;
        if (b > 0)
            nBestBefore = static_cast<int>(std::min_element(best[b - 1].begin(), best[b - 1].end()) - best[b - 1].begin());
        for (int nBook = 0; nBook < kBooks; ++nBook)
        {
            best[b][nBook] = kUncodable;
            if (cost[b][nBook] >= kUncodable)
                continue;
            int nBefore = 0;
            int nFrom = -1;
            if (b > 0)
            {
                nBefore = best[b - 1][nBestBefore] + nNewSection;
                nFrom = nBestBefore;
                if (best[b - 1][nBook] <= nBefore)
                {
                    nBefore = best[b - 1][nBook];
                    nFrom = nBook;
                }
            }
            else
            {
                nBefore = nNewSection;
            }
            best[b][nBook] = nBefore + cost[b][nBook];
            from[b][nBook] = nFrom;
        }
    }

    m_sections.clear();
    int nBits = kGlobalGainBits + kAbsentToolBits;
    if (cBands == 0)
        return nBits;
    int nBook = static_cast<int>(std::min_element(best[cBands - 1].begin(), best[cBands - 1].end()) -
                                 best[cBands - 1].begin());
    std::vector<int> books(cBands);
    for (int b = cBands - 1; b >= 0; --b)
    {
        books[b] = nBook;
        nBits += cost[b][nBook];
        nBook = from[b][nBook];
    }
    for (int b = 0; b < cBands; ++b)
    {
        if (m_sections.empty() || m_sections.back().nBook != books[b])
            m_sections.push_back({books[b], b, 0});
        ++m_sections.back().cBands;
    }
    for (const Section& section : m_sections)
        nBits += SectionHeaderBits(section.cBands);
    return nBits;
}

void ChannelCoder::Write(BitWriter& writer, bool bWithIcsInfo, int cBands) const
{
    writer.WriteBits(static_cast<uint32_t>(m_nScaleFactor), kGlobalGainBits);
    if (bWithIcsInfo)
        WriteIcsInfo(writer, cBands);
    for (const Section& section : m_sections)
    {
        writer.WriteBits(static_cast<uint32_t>(section.nBook), kBookBits);
        int cLeft = section.cBands;
        for (; cLeft >= kSectionLengthEscape; cLeft -= kSectionLengthEscape)
            writer.WriteBits(kSectionLengthEscape, kSectionLengthBits);
        writer.WriteBits(static_cast<uint32_t>(cLeft), kSectionLengthBits);
    }
    // Every coded band has the global gain's scale factor: a difference of 0.
    const HuffmanCode& same = ScaleFactorCodeOf(0);
    for (const Section& section : m_sections)
    {
        if (section.nBook == kZeroBook)
            continue;
        for (int b = 0; b < section.cBands; ++b)
            writer.WriteBits(same.uBits, same.nLength);
    }
    writer.WriteBits(0, kAbsentToolBits);
    for (const Section& section : m_sections)
    {
        if (section.nBook == kZeroBook)
            continue;
        const int nFirstLine = m_pBandOffsets[section.nFirstBand];
        const int nEndLine = m_pBandOffsets[section.nFirstBand + section.cBands];
        WriteSpectrum(writer, m_quantised.data() + nFirstLine, nEndLine - nFirstLine, section.nBook);
    }
}

void WriteIcsInfo(BitWriter& writer, int cBands)
{
    writer.WriteBits(0, 1); // ics_reserved_bit
    writer.WriteBits(0, 2); // window_sequence: ONLY_LONG_SEQUENCE
    writer.WriteBits(0, 1); // window_shape: sine
    writer.WriteBits(static_cast<uint32_t>(cBands), 6); // max_sfb
    writer.WriteBits(0, 1); // predictor_data_present
}

} // namespace aac
