// An AAC-LC encoder: 16-bit PCM in, one raw data block an access unit out,
// at a constant bit rate.
//
// Every access unit codes 1024 samples a channel in one long block under
// the sine window. Lines are quantised with one step for every band (the
// noise is spread evenly), as finely as the frame's share of the bit rate
// allows, never past 6144 bits a channel; what a quiet frame leaves goes to
// the next ones, and what is left over still is filled. Two channels go as
// a pair whose bands are coded as mid and side where that is the smaller.
// The first access unit holds the encoder's priming: a decoder puts out
// each input sample one access unit (1024 samples) later.
#pragma once

#include "ChannelCoder.h"
#include "Mdct.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace aac
{

enum class Status
{
    Ok,
    UnsupportedFormat, // a sample rate other than 44.1 or 48 kHz, or not 1 or 2 channels
    BadBitRate,
};

struct EncoderSettings
{
    int nSampleRate = 48000;
    int nChannels = 2;
    // Bits a second; 0 for 64 kbit/s a channel.
    int nBitRate = 0;
};

struct AccessUnit
{
    std::vector<uint8_t> bytes;
    // The first input sample it holds, counted from the start or the last Reset.
    int64_t nFirstSample = 0;
};

// The most bits an access unit may take, a channel.
constexpr int kMostBitsPerChannel = 6144;

class Encoder
{
public:
    static Status Create(const EncoderSettings& settings, std::unique_ptr<Encoder>& encoder);

    // cFrames frames of interleaved samples; every access unit they complete
    // is appended to units.
    void Encode(const int16_t* pSamples, size_t cFrames, std::vector<AccessUnit>& units);
    // The end of the stream: the samples held, padded with silence, and one
    // access unit more, which brings out the last of them.
    void Finish(std::vector<AccessUnit>& units);
    // Forgets the samples held and the transform's overlap, and counts
    // samples from 0 again: a flush or a new segment.
    void Reset();

    // The AudioSpecificConfig of the stream: AAC-LC, the rate and channels.
    std::vector<uint8_t> AudioSpecificConfig() const;
    const EncoderSettings& Settings() const { return m_settings; }

    // What the last access unit quantised, channel by channel (after mid and
    // side), and its scale factor: for tests that read the stream back.
    const ChannelCoder& Channel(int nChannel) const { return m_channels[nChannel]; }
    const std::vector<bool>& MidSideBands() const { return m_midSide; }

private:
    explicit Encoder(const EncoderSettings& settings, const int* pBandOffsets);

    void EncodeBlock(std::vector<AccessUnit>& units);
    void ChooseMidSide();
    int FrameBits(int nScaleFactor);
    int ChooseScaleFactor(int nBudget);
    void WriteFrame(int cBands, int nFrameBits, std::vector<uint8_t>& bytes);
    int MidSideMode(int cBands) const;

    const EncoderSettings m_settings;
    const int* const m_pBandOffsets;
    Mdct m_mdct;
    // Each channel's window: the previous block's samples, then this one's.
    std::vector<std::vector<double>> m_windows;
    std::vector<std::vector<double>> m_lines;
    std::vector<ChannelCoder> m_channels;
    std::vector<bool> m_midSide; // a band each
    size_t m_cHeld = 0;          // samples a channel gathered for the next block
    int64_t m_cBlocks = 0;       // blocks since the start or the last Reset
    bool m_bPrimed = false;      // samples went in since then
    double m_dTargetBits;        // bits an access unit takes on average
    double m_dReservoir = 0.0;   // bits saved by earlier access units
    int m_cBands = 0;
    BitWriter m_writer;
};

} // namespace aac
