// The generator's picture and sound: colour bars that scroll, a square that
// crosses the picture, the time code of each frame, and a 1 kHz tone.
#pragma once

#include <windows.h>

// Frame llFrame into a bottom-up 32-bit BGRX image of lWidth x lHeight
// pixels. The time code reads hh:mm:ss:ff at llFramesPerSecond.
void DrawTestPattern(BYTE* pBits, LONG lWidth, LONG lHeight, LONGLONG llFrame, LONGLONG llFramesPerSecond);

// cFrames of interleaved 16-bit samples on nChannels channels, starting at
// audio frame llFirstFrame of a stream at dwRate frames a second.
void WriteTone(short* pSamples, WORD nChannels, DWORD dwRate, LONGLONG llFirstFrame, LONG cFrames);
