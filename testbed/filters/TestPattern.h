// The generator's picture and sound: colour bars that scroll, a square that
// crosses the picture, the time code of each frame, and a 1 kHz tone.
// Plain C++: the encoder's quality check draws the same pictures natively.
#pragma once

#include <cstdint>

// Frame llFrame into a bottom-up 32-bit BGRX image of lWidth x lHeight
// pixels. The time code reads hh:mm:ss:ff at llFramesPerSecond.
void DrawTestPattern(uint8_t* pBits, int32_t lWidth, int32_t lHeight, int64_t llFrame, int64_t llFramesPerSecond);

// cFrames of interleaved 16-bit samples on nChannels channels, starting at
// audio frame llFirstFrame of a stream at dwRate frames a second.
void WriteTone(int16_t* pSamples, uint16_t nChannels, uint32_t dwRate, int64_t llFirstFrame, int32_t cFrames);
