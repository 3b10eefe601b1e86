// Stand-in channel outputs.
#pragma once

#include <string>

inline int InitializeChannelOutputs() { return 0; }
inline void CloseChannelOutputs() {}
inline std::string GetOutputRanges(bool precise) { return ""; }
