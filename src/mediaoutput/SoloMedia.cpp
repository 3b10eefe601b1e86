#include "mediaoutput/SoloMedia.h"

#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "common.h"
#include "mediaoutput/CinemaOut.h"
#include "mediaoutput/MediaOutput.h"
#include "platform/Logging.h"
#include "settings.h"

namespace {

struct Solo {
    MediaOutputStatus status;
    std::unique_ptr<MediaOutputBase> output;
    std::atomic<bool> stop{false};
    std::atomic<bool> playing{false};
    std::thread worker;
    // Also at exit, should the owner never have stopped it.
    ~Solo() {
        stop = true;
        if (worker.joinable()) worker.join();
    }
};

// Guards current; held through a whole start or stop (the worker never takes
// it), so two callers never race on replacing the output.
std::mutex soloLock;
std::unique_ptr<Solo> current;

// Polls the output until it ends or is told to stop; the owner's thread is
// this one from Start to release.
void play(Solo* s) {
    while (!s->stop && s->output->IsPlaying()) {
        s->output->Process();
        usleep(50 * 1000);
    }
    s->output->Stop();
    s->output->Close();
    LogInfo(VB_MEDIAOUT, "Play Media: %s %s\n", s->output->m_mediaFilename.c_str(),
            s->stop ? "stopped" : "ended");
    s->output.reset();
    s->playing = false;
}

void finish(std::unique_ptr<Solo> s) {
    if (!s) return;
    s->stop = true;
    if (s->worker.joinable()) s->worker.join();
}

std::string findMedia(const std::string& name) {
    for (const char* folder : {"/music", "/videos"}) {
        std::string path = getLyrMediaDir(folder) + "/" + name;
        if (FileExists(path)) return path;
    }
    return "";
}

}  // namespace

bool PlaySoloMedia(const std::string& name, std::string& error) {
    if (name.empty() || name.find('/') != std::string::npos || name.find("..") != std::string::npos) {
        error = "Media name '" + name + "' is not a file name in the music or videos folder";
        return false;
    }
    std::string path = findMedia(name);
    if (path.empty()) {
        error = "Media '" + name + "' not found in the music or videos folder";
        return false;
    }
    size_t dot = name.rfind('.');
    std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    bool video = IsExtensionVideo(ext);
    if (!video && !IsExtensionAudio(ext)) {
        error = "Media '" + name + "' is not a music or video file";
        return false;
    }
    std::lock_guard<std::mutex> l(soloLock);
    finish(std::move(current));
    auto s = std::make_unique<Solo>();
    s->output = std::make_unique<CinemaOutput>(path, &s->status,
                                               video ? ResolveVideoOutput("--Default--") : "--Disabled--");
    if (!s->output->Start(0)) {
        error = "Media '" + name + "' could not be started";
        return false;
    }
    s->playing = true;
    Solo* raw = s.get();
    s->worker = std::thread(play, raw);
    LogInfo(VB_MEDIAOUT, "Play Media: playing %s\n", path.c_str());
    current = std::move(s);
    return true;
}

void StopSoloMedia() {
    std::lock_guard<std::mutex> l(soloLock);
    finish(std::move(current));
}

bool SoloMediaPlaying() {
    std::lock_guard<std::mutex> l(soloLock);
    return current && current->playing;
}
