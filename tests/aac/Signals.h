// Test signals for the AAC encoder, as interleaved 16-bit PCM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace aactest
{

struct Signal
{
    std::string name;
    int nSampleRate = 48000;
    int nChannels = 2;
    std::vector<int16_t> samples; // interleaved
    size_t Frames() const { return samples.size() / static_cast<size_t>(nChannels); }
};

// The generator's 1 kHz tone, the same on every channel.
Signal GeneratorTone(int nSampleRate, int nChannels, double dSeconds);
// Independent white noise on each channel, at about -10 dB of full scale.
Signal WhiteNoise(int nSampleRate, int nChannels, double dSeconds, uint32_t uSeed = 1);
// A sine from 20 Hz to 15 kHz, exponentially over the whole length, at half
// of full scale.
Signal Sweep(int nSampleRate, int nChannels, double dSeconds);
Signal Silence(int nSampleRate, int nChannels, double dSeconds);
// A 500 Hz square wave between the extremes of 16 bits.
Signal FullScaleSquare(int nSampleRate, int nChannels, double dSeconds);
// Half a second of a 2 kHz tone, half a second of silence, and so on.
Signal ToneBursts(int nSampleRate, int nChannels, double dSeconds);
// Single full-scale samples of alternating sign every 1000 samples, silence between.
Signal Clicks(int nSampleRate, int nChannels, double dSeconds);
// Every sample at random at one of the two extremes of 16 bits.
Signal ExtremeNoise(int nSampleRate, int nChannels, double dSeconds, uint32_t uSeed = 7);

// By name, as the quality harness takes them: tone, noise, sweep, silence,
// square, bursts, clicks, extremes. Empty samples for an unknown name.
Signal SignalNamed(const std::string& name, int nSampleRate, int nChannels, double dSeconds);

} // namespace aactest
