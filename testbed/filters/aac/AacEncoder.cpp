#include "AacEncoder.h"

#include <algorithm>
#include <cmath>

namespace aac
{
namespace
{

// Syntactic elements of a raw data block.
constexpr uint32_t kSingleChannelElement = 0;
constexpr uint32_t kChannelPairElement = 1;
constexpr uint32_t kFillElement = 6;
constexpr uint32_t kEndElement = 7;
constexpr int kElementIdBits = 3;
constexpr int kInstanceTagBits = 4;
constexpr int kMidSideModeBits = 2;
// ms_mask_present: none, a flag a band, every band.
constexpr int kMidSideNone = 0;
constexpr int kMidSideSome = 1;
constexpr int kMidSideAll = 2;

// A fill element: its id, a 4-bit count, and an 8-bit escape of the count
// from 15 bytes on; up to 14 + 255 bytes. Its first byte says "fill" (0).
constexpr int kFillCountBits = 4;
constexpr int kFillEscapeBits = 8;
constexpr int kFillShortMost = 14;
constexpr int kFillMost = 14 + 255;
constexpr uint8_t kFillByte = 0xA5;

// A band goes as mid and side when one of the two has at most this share of
// the energy of the quieter of left and right.
constexpr double kMidSideShare = 0.25;

constexpr int kAudioObjectTypeLc = 2;

int SampleRateIndex(int nSampleRate)
{
    return nSampleRate == 48000 ? 3 : 4;
}

int RoundUpToByte(int nBits)
{
    return (nBits + 7) / 8 * 8;
}

} // namespace

Status Encoder::Create(const EncoderSettings& settings, std::unique_ptr<Encoder>& encoder)
{
    encoder.reset();
    const int* pBandOffsets = LongBandOffsets(settings.nSampleRate);
    if (pBandOffsets == nullptr || settings.nChannels < 1 || settings.nChannels > 2)
        return Status::UnsupportedFormat;
    EncoderSettings chosen = settings;
    if (chosen.nBitRate == 0)
        chosen.nBitRate = 64000 * settings.nChannels;
    // At least what an access unit of silence takes, at most the frame limit.
    const double dTarget = static_cast<double>(chosen.nBitRate) * kFrameLength / chosen.nSampleRate;
    if (chosen.nBitRate < 0 || dTarget < 64.0 * chosen.nChannels || dTarget > kMostBitsPerChannel * chosen.nChannels)
        return Status::BadBitRate;
    encoder.reset(new Encoder(chosen, pBandOffsets));
    return Status::Ok;
}

Encoder::Encoder(const EncoderSettings& settings, const int* pBandOffsets)
    : m_settings(settings), m_pBandOffsets(pBandOffsets),
      m_windows(settings.nChannels, std::vector<double>(kWindowLength)),
      m_lines(settings.nChannels, std::vector<double>(kFrameLength)), m_midSide(kLongBands),
      m_dTargetBits(static_cast<double>(settings.nBitRate) * kFrameLength / settings.nSampleRate)
{
    for (int c = 0; c < settings.nChannels; ++c)
        m_channels.emplace_back(pBandOffsets);
}

void Encoder::Encode(const int16_t* pSamples, size_t cFrames, std::vector<AccessUnit>& units)
{
    const int cChannels = m_settings.nChannels;
    for (size_t i = 0; i < cFrames; ++i)
    {
        for (int c = 0; c < cChannels; ++c)
            m_windows[c][kFrameLength + m_cHeld] = pSamples[i * cChannels + c];
        m_bPrimed = true;
        if (++m_cHeld == kFrameLength)
            EncodeBlock(units);
    }
}

void Encoder::Finish(std::vector<AccessUnit>& units)
{
    if (!m_bPrimed)
        return;
    const int cBlocks = m_cHeld > 0 ? 2 : 1;
    for (int n = 0; n < cBlocks; ++n)
    {
        for (auto& window : m_windows)
            std::fill(window.begin() + kFrameLength + static_cast<std::ptrdiff_t>(m_cHeld), window.end(), 0.0);
        m_cHeld = kFrameLength;
        EncodeBlock(units);
    }
    m_bPrimed = false;
}

void Encoder::Reset()
{
    for (auto& window : m_windows)
        std::fill(window.begin(), window.end(), 0.0);
    m_cHeld = 0;
    m_cBlocks = 0;
    m_bPrimed = false;
    m_dReservoir = 0.0;
}

std::vector<uint8_t> Encoder::AudioSpecificConfig() const
{
    // 5 bits object type, 4 bits rate index, 4 bits channels, then the
    // GASpecificConfig: 1024 lines, no core coder, no extension.
    const uint32_t uConfig = (kAudioObjectTypeLc << 11) | (SampleRateIndex(m_settings.nSampleRate) << 7) |
                             (static_cast<uint32_t>(m_settings.nChannels) << 3);
    return {static_cast<uint8_t>(uConfig >> 8), static_cast<uint8_t>(uConfig)};
}

void Encoder::EncodeBlock(std::vector<AccessUnit>& units)
{
    for (int c = 0; c < m_settings.nChannels; ++c)
    {
        m_mdct.Transform(m_windows[c].data(), m_lines[c].data());
        std::copy(m_windows[c].begin() + kFrameLength, m_windows[c].end(), m_windows[c].begin());
    }
    m_cHeld = 0;
    if (m_settings.nChannels == 2)
        ChooseMidSide();
    for (int c = 0; c < m_settings.nChannels; ++c)
        m_channels[c].Load(m_lines[c].data());

    const int nLimit = kMostBitsPerChannel * m_settings.nChannels;
    const int nBudget = std::min(nLimit, static_cast<int>(m_dTargetBits + m_dReservoir));
    const int nScaleFactor = ChooseScaleFactor(nBudget);
    const int nCoded = FrameBits(nScaleFactor); // also leaves the chosen quantisation in place

    // What goes beyond the reservoir's room is filled, so that the rate stays.
    int nFrameBits = RoundUpToByte(nCoded);
    const double dRoom = nLimit - m_dTargetBits;
    const double dSaved = m_dReservoir + m_dTargetBits - nFrameBits;
    if (dSaved > dRoom)
        nFrameBits = std::min(nLimit / 8 * 8, RoundUpToByte(nFrameBits + static_cast<int>(std::ceil(dSaved - dRoom))));
    m_dReservoir += m_dTargetBits - nFrameBits;

    AccessUnit unit;
    unit.nFirstSample = m_cBlocks * kFrameLength;
    WriteFrame(m_cBands, nFrameBits, unit.bytes);
    units.push_back(std::move(unit));
    ++m_cBlocks;
}

void Encoder::ChooseMidSide()
{
    std::vector<double>& left = m_lines[0];
    std::vector<double>& right = m_lines[1];
    for (int b = 0; b < kLongBands; ++b)
    {
        double dLeft = 0.0, dRight = 0.0, dMid = 0.0, dSide = 0.0;
        for (int i = m_pBandOffsets[b]; i < m_pBandOffsets[b + 1]; ++i)
        {
            const double dM = (left[i] + right[i]) / 2;
            const double dS = (left[i] - right[i]) / 2;
            dLeft += left[i] * left[i];
            dRight += right[i] * right[i];
            dMid += dM * dM;
            dSide += dS * dS;
        }
        m_midSide[b] = std::min(dMid, dSide) <= kMidSideShare * std::min(dLeft, dRight);
        if (!m_midSide[b])
            continue;
        for (int i = m_pBandOffsets[b]; i < m_pBandOffsets[b + 1]; ++i)
        {
            const double dM = (left[i] + right[i]) / 2;
            right[i] = (left[i] - right[i]) / 2;
            left[i] = dM;
        }
    }
}

// The bits of the whole access unit up to its end element, unaligned, with
// every channel quantised with nScaleFactor.
int Encoder::FrameBits(int nScaleFactor)
{
    m_cBands = 0;
    for (ChannelCoder& channel : m_channels)
    {
        channel.Quantise(nScaleFactor);
        m_cBands = std::max(m_cBands, channel.BandsUsed());
    }
    int nBits = kElementIdBits + kInstanceTagBits;
    if (m_settings.nChannels == 2)
    {
        nBits += 1 + kIcsInfoBits + kMidSideModeBits; // common_window, the shared ics_info
        if (MidSideMode(m_cBands) == kMidSideSome)
            nBits += m_cBands;
    }
    else
    {
        nBits += kIcsInfoBits;
    }
    for (ChannelCoder& channel : m_channels)
        nBits += channel.Plan(m_cBands);
    return nBits + kElementIdBits; // the end element
}

// The finest quantisation whose access unit fits nBudget bits. Coarser steps
// take fewer bits, nearly always: the search assumes so and then makes sure.
int Encoder::ChooseScaleFactor(int nBudget)
{
    int nLow = 0;
    for (const ChannelCoder& channel : m_channels)
        nLow = std::max(nLow, channel.SmallestScaleFactor());
    const auto fits = [&](int nScaleFactor) { return RoundUpToByte(FrameBits(nScaleFactor)) <= nBudget; };
    if (fits(nLow))
        return nLow;
    int nHigh = kLargestScaleFactor;
    while (nHigh - nLow > 1)
    {
        const int nMiddle = (nLow + nHigh) / 2;
        if (fits(nMiddle))
            nHigh = nMiddle;
        else
            nLow = nMiddle;
    }
    while (nHigh < kLargestScaleFactor && !fits(nHigh))
        ++nHigh;
    return nHigh;
}

int Encoder::MidSideMode(int cBands) const
{
    const int cMidSide = static_cast<int>(std::count(m_midSide.begin(), m_midSide.begin() + cBands, true));
    if (cMidSide == 0)
        return kMidSideNone;
    return cMidSide == cBands ? kMidSideAll : kMidSideSome;
}

void Encoder::WriteFrame(int cBands, int nFrameBits, std::vector<uint8_t>& bytes)
{
    BitWriter& writer = m_writer;
    writer.Clear();
    if (m_settings.nChannels == 2)
    {
        writer.WriteBits(kChannelPairElement, kElementIdBits);
        writer.WriteBits(0, kInstanceTagBits);
        writer.WriteFlag(true); // common_window
        WriteIcsInfo(writer, cBands);
        const int nMode = MidSideMode(cBands);
        writer.WriteBits(static_cast<uint32_t>(nMode), kMidSideModeBits);
        if (nMode == kMidSideSome)
        {
            for (int b = 0; b < cBands; ++b)
                writer.WriteFlag(m_midSide[b]);
        }
        m_channels[0].Write(writer, false, cBands);
        m_channels[1].Write(writer, false, cBands);
    }
    else
    {
        writer.WriteBits(kSingleChannelElement, kElementIdBits);
        writer.WriteBits(0, kInstanceTagBits);
        m_channels[0].Write(writer, true, cBands);
    }

    // Fill elements take what the rate leaves, byte alignment the last bits.
    int nLeft = nFrameBits - static_cast<int>(writer.BitCount()) - kElementIdBits;
    while (nLeft >= kElementIdBits + kFillCountBits)
    {
        const int nShortBytes = (nLeft - kElementIdBits - kFillCountBits) / 8;
        int cBytes = std::min(nShortBytes, kFillShortMost);
        const int nLongBytes = (nLeft - kElementIdBits - kFillCountBits - kFillEscapeBits) / 8;
        if (nLongBytes > kFillShortMost)
            cBytes = std::min(nLongBytes, kFillMost);
        writer.WriteBits(kFillElement, kElementIdBits);
        if (cBytes <= kFillShortMost)
        {
            writer.WriteBits(static_cast<uint32_t>(cBytes), kFillCountBits);
        }
        else
        {
            writer.WriteBits(15, kFillCountBits);
            writer.WriteBits(static_cast<uint32_t>(cBytes - kFillShortMost), kFillEscapeBits);
        }
        for (int i = 0; i < cBytes; ++i)
            writer.WriteBits(i == 0 ? 0 : kFillByte, 8); // extension type "fill", then fill bytes
        nLeft = nFrameBits - static_cast<int>(writer.BitCount()) - kElementIdBits;
    }
    writer.WriteBits(kEndElement, kElementIdBits);
    writer.AlignToByte();
    bytes = writer.Bytes();
}

} // namespace aac
