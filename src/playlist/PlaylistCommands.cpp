#include "playlist/PlaylistCommands.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>

#include "Player.h"
#include "common.h"
#include "mediaoutput/MediaOutput.h"
#include "platform/Command.h"
#include "platform/CommandManager.h"
#include "platform/Logging.h"

namespace {

using Args = std::vector<std::string>;
using Result = Command::Result;

std::unique_ptr<Result> Ok(const std::string& text) { return std::make_unique<Result>(text); }
std::unique_ptr<Result> Error(const std::string& text) { return std::make_unique<Command::ErrorResult>(text); }

// "true"/"false" and the usual spellings; false for anything else.
bool ParseFlag(const std::string& text, bool& out) {
    std::string t = toLowerCopy(text);
    TrimWhiteSpace(t);
    if (t == "true" || t == "1" || t == "yes" || t == "on") {
        out = true;
        return true;
    }
    if (t == "false" || t == "0" || t == "no" || t == "off" || t.empty()) {
        out = false;
        return true;
    }
    return false;
}

bool ParseInt(const std::string& text, int& out) {
    std::string t = text;
    TrimWhiteSpace(t);
    if (t.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = strtol(t.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
    out = (int)v;
    return true;
}

// A command whose body is a function; keeps this file short.
class SimpleCommand : public Command {
public:
    using Body = std::function<std::unique_ptr<Result>(const Args&)>;
    SimpleCommand(const std::string& name, const std::string& description, Body body)
        : Command(name, description), body(std::move(body)) {}
    std::unique_ptr<Result> run(const Args& a) override { return body(a); }

private:
    Body body;
};

SimpleCommand* Make(const std::string& name, const std::string& description, SimpleCommand::Body body) {
    return new SimpleCommand(name, description, std::move(body));
}

std::unique_ptr<Result> StartPlaylist(const Args& a) {
    if (a.empty() || a[0].empty()) return Error("Start Playlist needs a playlist name");
    // An omitted (or empty) repeat leaves the playlist file's own "repeat"
    // in force.
    bool repeat = false, ifNotRunning = false;
    bool repeatGiven = a.size() > 1 && !a[1].empty();
    if (repeatGiven && !ParseFlag(a[1], repeat)) return Error("Start Playlist: repeat must be true or false");
    if (a.size() > 2 && !ParseFlag(a[2], ifNotRunning))
        return Error("Start Playlist: ifNotRunning must be true or false");
    Player& p = Player::INSTANCE;
    if (ifNotRunning && p.IsPlaying() && p.GetPlaylistName() == a[0])
        return Ok("Playlist '" + a[0] + "' is already playing");
    if (!p.StartPlaylist(a[0], repeatGiven ? (repeat ? 1 : 0) : -1, -1, -1, 0)) return Error("Playlist '" + a[0] + "' did not start");
    return Ok("Playlist '" + a[0] + "' started");
}

std::unique_ptr<Result> Insert(const Args& a, bool immediate) {
    if (a.empty() || a[0].empty()) return Error("A playlist name is needed");
    Player& p = Player::INSTANCE;
    if (immediate) {
        p.InsertPlaylistImmediate(a[0], -1, -1);
    } else {
        p.InsertPlaylistAsNext(a[0], -1, -1);
    }
    return Ok("Playlist '" + a[0] + "' inserted");
}

std::unique_ptr<Result> VolumeSet(const Args& a) {
    int v;
    if (a.empty() || !ParseInt(a[0], v)) return Error("Volume Set needs a volume from 0 to 100");
    int now = setVolume(v < 0 ? 0 : v > 100 ? 100 : v);
    return Ok("Volume " + std::to_string(now));
}

std::unique_ptr<Result> VolumeAdjust(const Args& a) {
    int d;
    if (a.empty() || !ParseInt(a[0], d)) return Error("Volume Adjust needs a change such as 5 or -5");
    long target = (long)getVolume() + d;
    int now = setVolume(target < 0 ? 0 : target > 100 ? 100 : (int)target);
    return Ok("Volume " + std::to_string(now));
}

std::unique_ptr<Result> Simple(const std::function<void()>& f, const std::string& text) {
    f();
    return Ok(text);
}

}  // namespace

void RegisterPlaylistCommands() {
    CommandManager& cm = CommandManager::INSTANCE;
    Player& p = Player::INSTANCE;

    Command* start = Make("Start Playlist", "Starts a playlist", StartPlaylist);
    start->args.push_back(Command::CommandArg("name", "string", "Playlist"));
    // No default: an omitted repeat keeps the playlist file's own.
    Command::CommandArg repeat("repeat", "bool", "Repeat", true);
    start->args.push_back(repeat);
    Command::CommandArg ifNotRunning("ifNotRunning", "bool", "If Not Running", true);
    ifNotRunning.defaultValue = "false";
    start->args.push_back(ifNotRunning);
    cm.addCommand(start);

    cm.addCommand(Make("Stop Now", "Stops the playlist at once",
                       [&p](const Args&) { return Simple([&p] { p.StopNow(1); }, "Playlist stopped"); }));
    cm.addCommand(Make("Stop Gracefully", "Stops after the current entry and the lead-out", [&p](const Args&) {
        return Simple([&p] { p.StopGracefully(1, 0); }, "Playlist stopping gracefully");
    }));
    cm.addCommand(Make("Stop Gracefully After Loop", "Stops after the current loop and the lead-out",
                       [&p](const Args&) {
                           return Simple([&p] { p.StopGracefully(1, 1); }, "Playlist stopping after loop");
                       }));
    cm.addCommand(Make("Next Playlist Item", "Skips to the next entry",
                       [&p](const Args&) { return Simple([&p] { p.NextItem(); }, "Next item"); }));
    cm.addCommand(Make("Prev Playlist Item", "Goes back to the previous entry",
                       [&p](const Args&) { return Simple([&p] { p.PrevItem(); }, "Previous item"); }));
    cm.addCommand(Make("Restart Playlist Item", "Plays the current entry again from its start",
                       [&p](const Args&) { return Simple([&p] { p.RestartItem(); }, "Item restarted"); }));
    cm.addCommand(Make("Pause Playlist", "Pauses the playlist",
                       [&p](const Args&) { return Simple([&p] { p.Pause(); }, "Playlist paused"); }));
    cm.addCommand(Make("Resume Playlist", "Resumes a paused playlist",
                       [&p](const Args&) { return Simple([&p] { p.Resume(); }, "Playlist resumed"); }));
    cm.addCommand(Make("Toggle Playlist Pause", "Pauses a playing playlist, resumes a paused one",
                       [&p](const Args&) {
                           bool paused = p.GetStatus() == 5;
                           if (paused) {
                               p.Resume();
                           } else {
                               p.Pause();
                           }
                           return Ok(paused ? "Playlist resumed" : "Playlist paused");
                       }));

    Command* next = Make("Insert Playlist After Current", "Plays a playlist after the current entry",
                         [](const Args& a) { return Insert(a, false); });
    next->args.push_back(Command::CommandArg("name", "string", "Playlist"));
    cm.addCommand(next);
    Command* now = Make("Insert Playlist Immediate", "Plays a playlist now, then carries on",
                        [](const Args& a) { return Insert(a, true); });
    now->args.push_back(Command::CommandArg("name", "string", "Playlist"));
    cm.addCommand(now);

    Command* vol = Make("Volume Set", "Sets the volume", VolumeSet);
    Command::CommandArg volume("volume", "int", "Volume");
    volume.min = 0;
    volume.max = 100;
    vol->args.push_back(volume);
    cm.addCommand(vol);
    Command* adj = Make("Volume Adjust", "Raises or lowers the volume", VolumeAdjust);
    Command::CommandArg delta("volume", "int", "Change");
    delta.min = -100;
    delta.max = 100;
    adj->args.push_back(delta);
    cm.addCommand(adj);
}
