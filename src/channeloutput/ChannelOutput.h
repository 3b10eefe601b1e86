// Base of every channel output kind: built from its JSON object in
// "config/co-universes.json", then handed the composed channel buffer once
// per frame.
//
// Threading: Init and destruction on the main thread; SendData on the output
// thread; the channel-outputs layer serialises them.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

#include "channeloutput/ChannelOutputs.h"

class ChannelOutput {
public:
    virtual ~ChannelOutput() {}
    // False (with a log line) when the configuration is unusable.
    virtual bool Init(const Json::Value& config) = 0;
    // channels: LYRD_MAX_CHANNELS bytes, channel 1 at index 0.  Returns the
    // number of packets (or writes) made.
    virtual int SendData(const uint8_t* channels) = 0;
    // Appends the (1-based start, count) ranges this output sends.
    virtual void GetRanges(OutputRanges& out, bool precise) const = 0;
    // Highest channel (1-based) this output sends.
    virtual uint32_t MaxChannel() const = 0;
    virtual std::string TypeName() const = 0;
};
