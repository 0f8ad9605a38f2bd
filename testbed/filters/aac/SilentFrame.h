// AAC-LC raw data blocks that carry no spectrum. Until the AAC encoder can
// code spectra (that needs the Huffman codebooks of the AAC standard, which
// are not at hand here), each frame of 1024 samples a channel goes out as
// one of these: a standard frame that every AAC decoder takes and plays as
// silence. Plain C++, no Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace aac
{

// The longest frame WriteSilentFrame writes.
constexpr size_t kMaxSilentFrameBytes = 8;

// Writes one raw data block for nChannels (1: a single channel element, 2: a
// channel pair element) into pb and returns its length in bytes; 0 when the
// channel count is not 1 or 2 or the frame does not fit into cb bytes.
size_t WriteSilentFrame(int nChannels, uint8_t* pb, size_t cb);

} // namespace aac
