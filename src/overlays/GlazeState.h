// The state of an overlay model: how its pixels meet the channel data.
//   0 disabled, 1 enabled (replace), 2 transparent (non-black pixels
//   replace), 3 transparent RGB (non-zero channels replace).
#pragma once

#include <string>

class GlazeState {
public:
    enum { Disabled = 0, Enabled = 1, Transparent = 2, TransparentRGB = 3 };

    GlazeState() = default;
    // Values outside 0..3 become disabled; see isValidState for checking.
    explicit GlazeState(int s) : state(isValidState(s) ? s : Disabled) {}
    // "Enabled"/"true"/"True"/"1", "Transparent", "TransparentRGB"/"Transparent RGB";
    // any other text is disabled.
    explicit GlazeState(const std::string& text) : state(parse(text)) {}

    static int parse(const std::string& text);
    static bool isValidState(int s) { return s >= Disabled && s <= TransparentRGB; }

    int getState() const { return state; }
    bool isActive() const { return state != Disabled; }
    bool operator==(const GlazeState& o) const { return state == o.state; }
    bool operator!=(const GlazeState& o) const { return state != o.state; }

private:
    int state = Disabled;
};
