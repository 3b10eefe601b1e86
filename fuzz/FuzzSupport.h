// What every fuzz target shares: a private media directory that the code
// under test takes as its media and install directory, log lines formatted
// but thrown away, and small helpers to turn fuzz input into files and text.
//
// Threading: call from the fuzzer's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Sets up the sandbox on first call and returns the media directory (also
// the install directory).  Everything a target writes goes below it.
const std::string& MediaDir();
std::string MediaPath(const std::string& rel);

// The level every facility logs at: "info" unless LYRD_FUZZ_LOG names another
// ("debug" formats more lines, at a cost in speed).
int LogLevel();
// Puts every facility back to LogLevel(), after an input changed levels.
void ResetLogLevels();

// Writes `size` bytes to `path`, replacing it; false on failure.
bool WriteFile(const std::string& path, const uint8_t* data, size_t size);
bool WriteFile(const std::string& path, const std::string& text);
void RemoveFile(const std::string& path);

std::string Text(const uint8_t* data, size_t size);

// Splits the input at a separator line "\n--\n" (how the corpus files hold
// several pieces, e.g. a batch of datagrams or a request's parts).
std::vector<std::string> Pieces(const uint8_t* data, size_t size, size_t maxPieces);

}  // namespace fuzz
