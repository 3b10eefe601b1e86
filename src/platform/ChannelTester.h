// Channel test patterns.
#pragma once

class ChannelTester {
public:
    static ChannelTester INSTANCE;
    void RegisterCommands() {}
    bool Testing() { return false; }
};
