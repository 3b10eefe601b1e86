// An overlay model: a width x height pixel grid drawn over the channel data.
// This class is the "Channel" kind: a block of channels seen as a grid.
//
// Channel geometry (config keys, defaults in brackets):
//   "StartChannel" (1-based) and "ChannelCount" name the block;
//   "ChannelCountPerNode" [3] channels make one pixel (node);
//   the nodes form "StringCount" [1] strings, each folded into
//   "StrandsPerString" [1] strands; strands are the grid's rows for
//   "Orientation" "horizontal" [default] or its columns for "vertical".
//   So width x height is nodesPerStrand x strands (horizontal) or
//   strands x nodesPerStrand (vertical); left-over nodes are not used.
//   "StartCorner" ("TL" [default], "TR", "BL", "BR") is where node 0 sits.
//   Strand k of a string runs away from the start side when k is even and
//   back (zig-zag) when k is odd; every string begins on the start side.
//   Example: horizontal, TL, 2 strands per string, 4 nodes per strand:
//     row 0: nodes 0 1 2 3      row 1: nodes 7 6 5 4
// The pixel at (x, y) (x to the right, y down) maps to channel
// StartChannel - 1 + node * ChannelCountPerNode (0-based).
//
// Buffers: drawing goes to the overlay buffer (width * height * channels per
// node bytes, row-major); flushOverlayBuffer() publishes it to the buffer
// that doOverlay() composes, so a frame never shows a half-drawn picture.
// Pixel values are given as r, g, b: a one-channel node takes the largest of
// the three, a node of four or more channels gets r, g, b and zeros.
//
// States (GlazeState): Enabled copies every channel; Transparent copies
// pixels that are not all zero; TransparentRGB copies non-zero channels.
//
// Threading: every public operation may be called from any thread.  Lock
// order: effect lock -> state lock -> manager's activeModelsLock -> buffer
// lock.  setState never runs with the buffer lock held.
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "overlays/GlazeState.h"

class GlazeManager;
class GlazeRunningEffect;

// The number of channels in the channel buffer handed to doOverlays; no
// model may reach past it.
int GlazeMaxChannels();

class GlazeModel {
public:
    // A "Channel" model.  The manager is told of state changes and receives
    // periodic update requests; null is allowed (tests, stand-alone models).
    GlazeModel(const Json::Value& config, GlazeManager* manager);
    virtual ~GlazeModel();
    GlazeModel(const GlazeModel&) = delete;
    GlazeModel& operator=(const GlazeModel&) = delete;

    // False when the configuration cannot be used; configError() says why.
    bool isValid() const { return error.empty(); }
    const std::string& configError() const { return error; }

    const std::string name;
    const std::string type;  // "Channel", "FB" or "Sub"
    const std::string& getName() const { return name; }
    const std::string& getType() const { return type; }
    const Json::Value& getConfig() const { return config; }
    // The manager this model reports to; may be null.
    GlazeManager* getManager() const { return manager; }

    int getWidth() const { return width; }
    int getHeight() const { return height; }
    int getChannelsPerNode() const { return channelsPerNode; }
    // 0-based first channel and count; 0, 0 for models without channels.
    int getStartChannel() const { return startChannel; }
    int getChannelCount() const { return channelCount; }

    GlazeState getState() const { return GlazeState(state.load()); }
    virtual void setState(const GlazeState& newState);

    // ---- drawing (values clamped to 0..255) ----
    void fillOverlayBuffer(int r, int g, int b);
    void clearOverlayBuffer();
    // False (nothing drawn) when (x, y) lies outside the model.
    bool setOverlayPixelValue(int x, int y, int r, int g, int b);
    // Copies an RGB picture (w * h * 3 bytes) with its top left at (x, y);
    // parts outside the model are dropped.  Black pixels are drawn too.
    void drawRGB(const uint8_t* rgb, int x, int y, int w, int h);
    // Fill / pixel and publish at once.
    void fill(int r, int g, int b);
    bool setPixelValue(int x, int y, int r, int g, int b);
    // Stops a running effect, blanks the buffer and publishes it.
    void clear();

    // The overlay buffer itself, for callers that draw directly; call
    // setOverlayBufferDirty() afterwards.
    uint8_t* getOverlayBuffer();
    size_t getOverlayBufferSize() const { return overlayBuffer.size(); }
    void setOverlayBufferDirty() { dirty = true; }
    bool overlayBufferIsDirty() const { return dirty.load(); }
    void flushOverlayBuffer();

    // Composes the published pixels into the channel buffer by the state.
    virtual void doOverlay(uint8_t* channels);

    // ---- description and data ----
    Json::Value toJson();
    // The overlay buffer: a flat array of channel values, or with rle an
    // array of runs [count, c0, c1, ...] of equal pixels.
    void getDataJson(Json::Value& v, bool rle);
    // Writes the overlay buffer as PNG to the media directory's "images"
    // folder (".png" added when the name has no extension).  Names with a
    // path separator or ".." are refused.
    bool saveOverlayAsImage(const std::string& fileName);
    bool saveOverlayAsImage(const std::string& fileName, std::string& failure);

    // ---- effects ----
    // autoEnable is a state text ("False", "Enabled", "true", ...): a
    // non-disabled state is set while the effect runs and cleared after it.
    bool applyEffect(const std::string& autoEnable, const std::string& effect,
                     const std::vector<std::string>& args);
    // Takes ownership; replaces (and deletes) a running effect.  The first
    // update is asked for firstUpdateMs from now (< 1: next frame).
    void setRunningEffect(GlazeRunningEffect* effect, int firstUpdateMs);
    void stopRunningEffect();
    bool isEffectRunning();
    std::string getRunningEffectName();
    // Runs the effect one step; ms to the next step, 0 when none, < 0 for
    // the next frame.
    int updateRunningEffects();

    // ---- composition plumbing (used by sub-models) ----
    // Where this model's pixels land: the channel buffer at the start
    // channel, or a model's own frame.
    virtual uint8_t* outputBase(uint8_t* channels);
    // Held while writing through outputBase when the output is the model's
    // own memory; null for the channel buffer.
    virtual std::mutex* outputLock() { return nullptr; }
    // Byte offset of pixel (x, y) from outputBase; (x, y) must be inside.
    int pixelOffset(int x, int y) const { return pixelMap[y * width + x]; }

protected:
    // For the other kinds: no geometry yet; call setGeometry.
    GlazeModel(const Json::Value& config, GlazeManager* manager, const std::string& kind);
    // Sets the size and the pixel map (identity row-major when map empty).
    void setGeometry(int w, int h, int cpn, std::vector<int> map = {});
    void setError(const std::string& text) { error = text; }
    // Composes pixels into dst by the current state; offsets from pixelMap
    // or, for sub-models, from the caller.
    static void composePixel(int state, const uint8_t* src, uint8_t* dst, int cpn);
    void composeInto(uint8_t* base, const std::vector<int>& offsets);
    void setEffectState(bool starting, int autoState);

    GlazeManager* manager;
    Json::Value config;
    std::string error;
    int width = 0;
    int height = 0;
    int channelsPerNode = 3;
    int startChannel = 0;
    int channelCount = 0;
    std::vector<int> pixelMap;  // byte offset per pixel, row-major

    std::atomic<int> state{GlazeState::Disabled};
    std::mutex stateLock;

    std::mutex bufferLock;
    std::vector<uint8_t> overlayBuffer;  // drawn into
    std::vector<uint8_t> shownBuffer;    // composed; guarded by bufferLock
    std::atomic<bool> dirty{false};

    std::recursive_mutex effectLock;
    std::unique_ptr<GlazeRunningEffect> runningEffect;
    int effectAutoState = GlazeState::Disabled;  // guarded by effectLock

private:
    void buildChannelGeometry();
};
