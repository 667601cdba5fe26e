#pragma once

#include <cstdint>

namespace tarnwick {

// The limits a decoder child runs under, whatever its file holds. A child
// over one of them is stopped or fails, and its file costs one error record.
//
// The whole file is read into memory, so it may be at most this large; the
// same bound as for image sources.
inline constexpr std::int64_t kMaxDecoderInputBytes = std::int64_t{256} * 1024 * 1024;
// Address space: the largest image the pixel buffer takes, decoded at 16 bits
// per sample with alpha (512 MB), a copy handed back, the file itself and the
// libraries, with room to spare.
inline constexpr std::uint64_t kDecoderAddressSpaceBytes = std::uint64_t{2} * 1024 * 1024 * 1024;
// Processor time, then SIGXCPU and SIGKILL; the parent waits a little longer
// by the clock, for a child that hangs without computing.
inline constexpr unsigned kDecoderSeconds = 20;
inline constexpr unsigned kDecoderWallClockSeconds = 30;
// Descriptors: its standard ones and what its libraries open one after the
// other (fonts, configuration).
inline constexpr unsigned kDecoderOpenFiles = 64;

}  // namespace tarnwick
