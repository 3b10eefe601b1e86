// The overlay manager: the registry of overlay models, the per-frame
// composition of the active ones into the channel buffer, fixed-value channel
// ranges, the effect update thread, the five overlay commands, fonts, and the
// HTTP resource for "/models" and "/overlays".
//
// HTTP: GlazeManager is itself the resource.  The API server registers
// &GlazeManager::INSTANCE as a family resource for both "/models" and
// "/overlays" (a leading "api" path segment is tolerated); nothing else needs
// constructing.  render_GET/POST/PUT answer every path below those two.
//
// Model map file: media directory + "/config/model-overlays.json"
//   {"autoCreate": true, "models": [{"Name": "Matrix", "Type": "Channel",
//     "StartChannel": 1, "ChannelCount": 1536, ...}, ...]}
// The older "/channelmemorymaps" text file is converted into it on load.
//
// Threading and locks (never two of the three manager locks at once):
//  - activeModelsLock guards activeModels and channelRanges; doOverlays holds
//    it while composing.  A model's own locks are taken inside it.
//  - modelsLock serialises the commands and the HTTP model operations; the
//    model registry itself changes only in loadModelMap/addModel.
//  - threadLock guards the update queues and the update thread.
//  - No manager lock is held while a model's updateRunningEffects() runs.
// doOverlays runs on the channel-output thread; with nothing active it is one
// atomic read.  getModel takes no lock.
#pragma once

#include <json/json.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "http/httpserver.h"
#include "overlays/GlazeState.h"
#include "platform/Command.h"

class GlazeModel;

// One fixed-value channel range; 0-based inclusive channel numbers.
struct GlazeChannelRange {
    int start;
    int end;
    int value;
};

class GlazeManager : public httpserver::http_resource {
public:
    static GlazeManager INSTANCE;

    GlazeManager();
    ~GlazeManager() override;
    GlazeManager(const GlazeManager&) = delete;
    GlazeManager& operator=(const GlazeManager&) = delete;

    // loadModelMap(), then loadFonts().  Called once by the daemon at start-up.
    void Initialize();

    // Stops the update thread, deletes every model and loads the model map
    // file again (after importing an older channel-memory-map file).
    void loadModelMap();
    // Creates one model from its JSON and registers it.  Returns false (with a
    // log line) when the type is unknown or the model is not usable: channels
    // outside the channel buffer, no pixels, a missing parent.  A model of the
    // same name is replaced (the old one is disabled and deleted safely).
    bool addModel(Json::Value config);
    // For outside code that creates models from its own configuration;
    // startChannel is 0-based.
    bool addAutoOverlayModel(const std::string& name, uint32_t startChannel, uint32_t channelCount,
                             uint32_t channelCountPerNode, const std::string& orientation,
                             const std::string& startCorner, uint32_t stringCount, uint32_t strandsPerString);

    // Exact lookup; null when absent.  No lock.
    GlazeModel* getModel(const std::string& name);
    // Names in the order they were added.
    std::vector<std::string> getModelNames();

    bool hasActiveOverlays() { return numActive.load() > 0; }
    // Called by the channel-output thread once per frame with the channel
    // buffer (at least the channel-output layer's maximum channel count long).
    void doOverlays(uint8_t* channels);

    // Called by models.
    void modelStateChanged(GlazeModel* model, const GlazeState& oldState, const GlazeState& newState);
    // ms < 1: update right after the next composition; else ms from now.
    void addPeriodicUpdate(int ms, GlazeModel* model);
    void removePeriodicUpdate(GlazeModel* model);

    // Registers the five overlay commands; does nothing while no model exists.
    void RegisterCommands();

    // Fonts: once only; GraphicsMagick's font names, then .ttf files found
    // below /usr/share/fonts/truetype/ and /usr/local/share/fonts/.
    void loadFonts();
    // The path stored for a font name, else the name itself.
    std::string mapFont(const std::string& name);
    // Converts the older channel-memory-map file, if present, into the model
    // map file, then deletes it.
    void ConvertCMMFileToJSON();

    bool getAutoCreate() const { return autoCreate; }
    // The model map's "autoCreate" into value: true, false, numbers and null
    // convert as JSON does; a missing key leaves value alone.  False for any
    // other kind (a text, an array), which the file load ignores with a
    // warning and a model map upload refuses, so both take the same values.
    static bool ReadAutoCreate(const Json::Value& root, bool& value);

    // Fixed-value channel range edits (0-based inclusive); false when the
    // bounds are unusable.  remove: drop ranges with these bounds.
    bool setChannelRange(int start, int end, int value);
    bool removeChannelRange(int start, int end);
    void removeAllChannelRanges();
    std::vector<GlazeChannelRange> getChannelRanges();

    // HTTP resource (see top of file).
    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_PUT(const httpserver::http_request& req) override;

    // Test seams: the media directory files are taken from getLyrMediaDir;
    // the font directories can be overridden before loadFonts.
    void setFontDirectories(const std::vector<std::string>& dirs) { fontDirs = dirs; }

    // ---- state (see the lock rules above) ----
    std::atomic<int> numActive{0};
    std::list<GlazeModel*> activeModels;
    std::list<GlazeChannelRange> channelRanges;
    std::mutex activeModelsLock;

    std::map<std::string, GlazeModel*> models;
    std::vector<std::string> modelNames;
    std::map<std::string, std::string> fonts;
    bool fontsLoaded = false;
    std::mutex modelsLock;

    std::thread* updateThread = nullptr;
    bool threadKeepRunning = true;
    std::mutex threadLock;
    std::condition_variable threadCV;
    std::map<uint64_t, std::list<GlazeModel*>> periodicUpdates;
    std::list<GlazeModel*> frameUpdateModels;
    bool autoCreate = true;

private:
    void updateThreadLoop();
    void stopUpdateThread();
    // Runs a model's updateRunningEffects without locks, marking it busy so
    // that a model being deleted waits for the call to end.
    int runModelUpdate(GlazeModel* model, std::unique_lock<std::mutex>& heldThreadLock);
    void deleteModel(GlazeModel* model);
    void deleteAllModels();
    bool registerModel(GlazeModel* model);
    GlazeModel* createModel(const Json::Value& config, std::string& error);
    void removeFromActive(GlazeModel* model);
    void keepComposingBriefly();

    std::vector<std::string> fontDirs{"/usr/share/fonts/truetype/", "/usr/local/share/fonts/"};
    std::multiset<GlazeModel*> modelsInUpdate;  // guarded by threadLock
    std::condition_variable updateDoneCV;
    bool commandsRegistered = false;
};

// The five overlay commands of the command registry.  Each acts on models
// named in its first argument (several separated by commas, except "Overlay
// Model Text"), checks every name before touching any model, and runs under
// the manager's modelsLock (the text command hands over to the effect
// command, which takes it).
//
//   "Overlay Model State"  Model, State               -> "Model State Set"
//   "Overlay Model Fill"   Model, [State,] Color      -> "Models Filled"
//   "Overlay Model Text"   Model, Color, Font, FontSize, FontAntiAlias,
//                          Position, Speed, [AutoEnable,] Text (hidden)
//   "Overlay Model Clear"  Model                      -> "Models Cleared"
//   "Overlay Model Effect" Models, AutoEnable, Effect, effect args...
//                                                     -> "Model Effect Started"
class OverlayCommand : public Command {
public:
    OverlayCommand(const std::string& name, GlazeManager* manager) : Command(name), manager(manager) {}
    GlazeManager* getManager() const { return manager; }
    // The five names, in registration order.
    static const std::vector<std::string>& names();

protected:
    // Adds the "Model(s)" argument every command starts with.
    void addModelArg(const std::string& argName, const std::string& type);
    GlazeManager* manager;
};

class EnableOverlayCommand : public OverlayCommand {
public:
    explicit EnableOverlayCommand(GlazeManager* manager);
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};

class FillOverlayCommand : public OverlayCommand {
public:
    explicit FillOverlayCommand(GlazeManager* manager);
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};

class TextOverlayCommand : public OverlayCommand {
public:
    explicit TextOverlayCommand(GlazeManager* manager);
    bool hidden() const override { return true; }
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};

class ClearOverlayCommand : public OverlayCommand {
public:
    explicit ClearOverlayCommand(GlazeManager* manager);
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};

class ApplyEffectOverlayCommand : public OverlayCommand {
public:
    explicit ApplyEffectOverlayCommand(GlazeManager* manager);
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};
