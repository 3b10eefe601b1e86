// Stand-in channel-output thread control.
#pragma once

inline int ChannelOutputThreadIsRunning() { return 0; }
inline void StartChannelOutputThread() {}
inline void StopChannelOutputThread() {}
inline void ForceChannelOutputNow() {}
