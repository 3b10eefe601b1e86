// The last frame handed to the outputs, for viewers of live channel values
// (the web page).  The output thread pays for a copy only while someone
// has looked within the last few seconds, and never waits for a viewer.
//
// Threading: offer() on the output thread; read() from any thread.
#pragma once

#include <cstdint>
#include <vector>

namespace FrameSnapshot {
// channels: the whole frame (channel 1 at index 0), `size` bytes.
void offer(const uint8_t* channels, uint32_t size);
// Channels start (1-based) .. start+count-1 of the last frame offered
// (zeros before any); also marks the range as watched.
std::vector<uint8_t> read(uint32_t start, uint32_t count);
// Test seam: forget the frame and the viewers.
void resetForTesting();
}  // namespace FrameSnapshot
