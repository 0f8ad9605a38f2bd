// libFuzzer target: the AAC encoder on any PCM, cut into buffers of any
// size, with resets and ends between them. Every access unit must stay
// within the frame limit and read back with the tests' own reader, and the
// encoder's quantised values must be what the unit carries.
//
// The input: a first byte that picks the rate, the channels and the bit
// rate; then commands, each a byte: its low two bits say what to do
// (0, 1: a buffer, 2: a reset, 3: the end), the rest how long a buffer is
// and how its samples are made (taken from the input, or held at an extreme
// or at zero).
#include "AacEncoder.h"
#include "ScaleFactorBands.h"
#include "StreamReader.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{

void Check(const aac::Encoder& encoder, const std::vector<aac::AccessUnit>& units)
{
    const aac::EncoderSettings& settings = encoder.Settings();
    const int* pOffsets = aac::LongBandOffsets(settings.nSampleRate);
    for (const aac::AccessUnit& unit : units)
    {
        if (unit.bytes.size() * 8 > static_cast<size_t>(aac::kMostBitsPerChannel * settings.nChannels))
            std::abort();
        aactest::RawDataBlock block;
        std::string error;
        if (!aactest::ReadRawDataBlock(unit.bytes, pOffsets, block, error) || block.cChannels != settings.nChannels)
            std::abort();
    }
    // The last unit is the one the encoder still holds the values of.
    if (units.empty())
        return;
    aactest::RawDataBlock block;
    std::string error;
    aactest::ReadRawDataBlock(units.back().bytes, pOffsets, block, error);
    for (int c = 0; c < settings.nChannels; ++c)
    {
        const std::vector<int>& coded = encoder.Channel(c).Quantised();
        for (int i = 0; i < aac::kFrameLength; ++i)
        {
            const int nExpected = i < pOffsets[block.cBands] ? coded[i] : 0;
            if (block.channels[c].quantised[i] != nExpected)
                std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData)
{
    if (cbData < 1)
        return 0;
    aac::EncoderSettings settings;
    settings.nSampleRate = (pData[0] & 1) != 0 ? 44100 : 48000;
    settings.nChannels = (pData[0] & 2) != 0 ? 1 : 2;
    const int kRates[] = {0, 32000, 96000, 192000};
    settings.nBitRate = kRates[(pData[0] >> 2) & 3] * settings.nChannels / 2;
    std::unique_ptr<aac::Encoder> encoder;
    if (aac::Encoder::Create(settings, encoder) != aac::Status::Ok)
        return 0;

    size_t nAt = 1;
    std::vector<int16_t> samples;
    std::vector<aac::AccessUnit> units;
    while (nAt < cbData)
    {
        const uint8_t uCommand = pData[nAt++];
        units.clear();
        switch (uCommand & 3)
        {
        case 2:
            encoder->Reset();
            continue;
        case 3:
            encoder->Finish(units);
            Check(*encoder, units);
            continue;
        default:
            break;
        }
        // Up to 2047 frames; a byte of input a sample while it lasts.
        const size_t cFrames = (static_cast<size_t>(uCommand >> 2) * 37) % 2048;
        samples.assign(cFrames * settings.nChannels, 0);
        const int nMode = (uCommand >> 6) & 3;
        for (size_t i = 0; i < samples.size(); ++i)
        {
            if (nMode == 3)
                samples[i] = (i & 1) != 0 ? 32767 : -32768;
            else if (nMode == 2 && nAt < cbData)
                samples[i] = static_cast<int16_t>((pData[nAt++] & 1) != 0 ? 32767 : -32768);
            else if (nAt + 1 < cbData)
            {
                std::memcpy(&samples[i], pData + nAt, 2);
                nAt += 2;
            }
        }
        encoder->Encode(samples.data(), cFrames, units);
        Check(*encoder, units);
    }
    units.clear();
    encoder->Finish(units);
    Check(*encoder, units);
    return 0;
}
