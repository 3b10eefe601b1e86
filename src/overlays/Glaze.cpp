#include "overlays/Glaze.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <set>

#include "channeloutput/ChannelOutputThread.h"
#include "common.h"
#include "overlays/GlazeHttp.h"
#include "overlays/GlazeModel.h"
#include "overlays/GlazeModelFB.h"
#include "overlays/GlazeModelSub.h"
#include "overlays/GlazeUtil.h"
#include "platform/CommandManager.h"
#include "platform/Logging.h"
#include "settings.h"

GlazeManager GlazeManager::INSTANCE;

namespace {
// A text member, or "" when absent or of another type (asString would throw
// on arrays and objects).
std::string textOf(const Json::Value& v, const char* key) {
    const Json::Value& m = v[key];
    return m.isString() ? m.asString() : "";
}
}  // namespace

GlazeManager::GlazeManager() {}

GlazeManager::~GlazeManager() {
    stopUpdateThread();
    deleteAllModels();
    // A manager other than the daemon's own (tests, tools) takes its
    // commands with it; the registry may already be gone at process exit,
    // so the static instance leaves them.
    if (commandsRegistered && this != &INSTANCE) {
        for (const auto& n : OverlayCommand::names()) {
            auto* c = dynamic_cast<OverlayCommand*>(CommandManager::INSTANCE.getCommand(n));
            if (c && c->getManager() == this) CommandManager::INSTANCE.removeCommand(n);
        }
    }
}

void GlazeManager::Initialize() {
    loadModelMap();
    loadFonts();
}

// ---- model registry ----

bool GlazeManager::ReadAutoCreate(const Json::Value& root, bool& value) {
    if (!root.isMember("autoCreate")) return true;
    const Json::Value& v = root["autoCreate"];
    if (!v.isConvertibleTo(Json::booleanValue)) return false;
    value = v.asBool();
    return true;
}

void GlazeManager::loadModelMap() {
    LogDebug(VB_CHANNELOUT, "GlazeManager::loadModelMap()\n");
    stopUpdateThread();
    deleteAllModels();
    ConvertCMMFileToJSON();

    autoCreate = true;
    std::string path = getLyrMediaDir("/config") + "/model-overlays.json";
    if (!FileExists(path)) return;
    Json::Value root;
    if (!LoadJsonFromFile(path, root) || !root.isObject()) {
        LogErr(VB_CHANNELOUT, "Error parsing model-overlays.json.\n");
        return;
    }
    if (!ReadAutoCreate(root, autoCreate)) {
        LogWarn(VB_CHANNELOUT, "model-overlays.json: \"autoCreate\" is not true or false; kept true\n");
        autoCreate = true;
    }
    if (!root.isMember("models")) return;
    if (!root["models"].isArray()) {
        LogErr(VB_CHANNELOUT, "model-overlays.json: \"models\" is not an array; no models loaded\n");
        return;
    }
    // A sub-model may be listed before its parent: those wait for a later
    // pass, so the file order does not matter.
    std::vector<Json::Value> pending;
    for (const auto& m : root["models"]) {
        if (!m.isObject()) {
            LogErr(VB_CHANNELOUT, "model-overlays.json: a model entry is not an object; skipped\n");
            continue;
        }
        if (textOf(m, "Type") == "Sub" && !getModel(textOf(m, "Parent"))) {
            pending.push_back(m);
            continue;
        }
        addModel(m);
    }
    bool progress = true;
    while (!pending.empty() && progress) {
        progress = false;
        for (auto it = pending.begin(); it != pending.end();) {
            if (getModel(textOf(*it, "Parent"))) {
                addModel(*it);
                it = pending.erase(it);
                progress = true;
            } else {
                ++it;
            }
        }
    }
    for (const auto& m : pending) addModel(m);  // logs the missing parent
}

GlazeModel* GlazeManager::createModel(const Json::Value& config, std::string& error) {
    std::string kind = config["Type"].asString();
    GlazeModel* model = nullptr;
    if (kind == "Channel") {
        model = new GlazeModel(config, this);
    } else if (kind == "FB") {
        model = new GlazeModelFB(config, this);
    } else if (kind == "Sub") {
        std::string parentName =
            config.get("Parent", "").isString() ? config.get("Parent", "").asString() : "";
        GlazeModel* parent = getModel(parentName);
        if (!parent) {
            error = "parent model \"" + parentName + "\" does not exist";
            return nullptr;
        }
        // A sub-model inside itself would be deleted with its own parent.
        for (GlazeModel* a = parent; a;
             a = a->type == "Sub" ? static_cast<GlazeModelSub*>(a)->getParent() : nullptr) {
            if (a->name == textOf(config, "Name")) {
                error = "a sub-model cannot lie inside itself";
                return nullptr;
            }
        }
        model = new GlazeModelSub(config, this, parent);
    } else {
        return nullptr;
    }
    if (!model->isValid()) {
        error = model->configError();
        delete model;
        return nullptr;
    }
    return model;
}

bool GlazeManager::addModel(Json::Value config) {
    if (!config.isObject()) {
        LogErr(VB_CHANNELOUT, "Overlay model definition is not a JSON object\n");
        return false;
    }
    bool wasEmpty = models.empty();
    if (!config.isMember("Type")) config["Type"] = "Channel";
    if (!config["Type"].isString()) {
        LogErr(VB_CHANNELOUT, "Overlay model \"%s\": \"Type\" is not a text\n",
               config.get("Name", "").toStyledString().c_str());
        return false;
    }
    std::string error;
    GlazeModel* model = createModel(config, error);
    if (!model) {
        if (!error.empty()) {
            LogErr(VB_CHANNELOUT, "Overlay model \"%s\" not added: %s\n",
                   config.get("Name", "").isString() ? config["Name"].asString().c_str() : "?",
                   error.c_str());
        }
        return false;
    }
    if (!registerModel(model)) return false;
    if (wasEmpty) RegisterCommands();
    return true;
}

bool GlazeManager::registerModel(GlazeModel* model) {
    auto it = models.find(model->name);
    if (it == models.end()) {
        models[model->name] = model;
        modelNames.push_back(model->name);
        return true;
    }
    // Replacing: the old model may be composing or running an effect, so it
    // leaves every list before it is deleted, and its sub-models are built
    // again on the new one (they pointed into the old).
    GlazeModel* old = it->second;
    std::vector<Json::Value> subConfigs;
    for (const auto& n : modelNames) {
        GlazeModel* m = models[n];
        if (m->type == "Sub" && textOf(m->getConfig(), "Parent") == old->name) {
            subConfigs.push_back(m->getConfig());
        }
    }
    for (const auto& c : subConfigs) {
        GlazeModel* sub = models[c["Name"].asString()];
        deleteModel(sub);
        models.erase(sub->name);
        modelNames.erase(std::remove(modelNames.begin(), modelNames.end(), sub->name), modelNames.end());
        delete sub;
    }
    deleteModel(old);
    delete old;
    it->second = model;
    for (const auto& c : subConfigs) addModel(c);
    return true;
}

bool GlazeManager::addAutoOverlayModel(const std::string& name, uint32_t startChannel, uint32_t channelCount,
                                       uint32_t channelCountPerNode, const std::string& orientation,
                                       const std::string& startCorner, uint32_t stringCount,
                                       uint32_t strandsPerString) {
    Json::Value v(Json::objectValue);
    v["Name"] = name;
    v["Type"] = "Channel";
    v["StartChannel"] = Json::UInt64(startChannel) + 1;
    v["ChannelCount"] = channelCount;
    v["StringCount"] = stringCount;
    v["StrandsPerString"] = strandsPerString;
    v["Orientation"] = orientation;
    v["StartCorner"] = startCorner;
    v["ChannelCountPerNode"] = channelCountPerNode;
    v["autoCreated"] = true;
    return addModel(v);
}

GlazeModel* GlazeManager::getModel(const std::string& name) {
    auto it = models.find(name);
    return it == models.end() ? nullptr : it->second;
}

std::vector<std::string> GlazeManager::getModelNames() {
    return modelNames;
}

void GlazeManager::removeFromActive(GlazeModel* model) {
    std::lock_guard<std::mutex> l(activeModelsLock);
    auto it = std::find(activeModels.begin(), activeModels.end(), model);
    if (it != activeModels.end()) {
        activeModels.erase(it);
        numActive--;
    }
}

// Takes a model out of composition and the update queues and waits for an
// update call running on another thread, so it can be deleted.
void GlazeManager::deleteModel(GlazeModel* model) {
    removeFromActive(model);
    std::unique_lock<std::mutex> l(threadLock);
    updateDoneCV.wait(l, [&] { return modelsInUpdate.count(model) == 0; });
    for (auto& p : periodicUpdates) p.second.remove(model);
    frameUpdateModels.remove(model);
    l.unlock();
    model->stopRunningEffect();
    removeFromActive(model);  // the effect's end may have disabled it again
}

void GlazeManager::deleteAllModels() {
    {
        std::lock_guard<std::mutex> l(activeModelsLock);
        numActive -= activeModels.size();
        activeModels.clear();
    }
    // Sub-models first: they compose through their parents.
    for (int pass = 0; pass < 2; pass++) {
        for (auto& n : modelNames) {
            auto it = models.find(n);
            if (it == models.end()) continue;
            if ((it->second->type == "Sub") == (pass == 0)) {
                deleteModel(it->second);
                delete it->second;
                models.erase(it);
            }
        }
    }
    models.clear();
    modelNames.clear();
}

// ---- composition ----

void GlazeManager::modelStateChanged(GlazeModel* model, const GlazeState& oldState,
                                     const GlazeState& newState) {
    if (oldState.isActive() && newState.isActive()) return;
    if (oldState.isActive()) {
        removeFromActive(model);
    } else if (newState.isActive()) {
        std::lock_guard<std::mutex> l(activeModelsLock);
        // A model is listed once however its state calls overlap.
        if (std::find(activeModels.begin(), activeModels.end(), model) == activeModels.end()) {
            activeModels.push_back(model);
            numActive++;
        }
    }
    if (numActive > 0) StartChannelOutputThread();
}

void GlazeManager::doOverlays(uint8_t* channels) {
    if (numActive.load() == 0) return;
    {
        std::lock_guard<std::mutex> l(activeModelsLock);
        for (GlazeModel* m : activeModels) {
            if (m->overlayBufferIsDirty()) m->flushOverlayBuffer();
        }
        for (GlazeModel* m : activeModels) {
            if (m->type == "Sub") m->doOverlay(channels);
        }
        for (GlazeModel* m : activeModels) {
            if (m->type != "Sub") m->doOverlay(channels);
        }
        for (const auto& r : channelRanges) {
            std::fill(channels + r.start, channels + r.end + 1, (uint8_t)r.value);
        }
    }
    std::unique_lock<std::mutex> l(threadLock);
    while (!frameUpdateModels.empty()) {
        GlazeModel* m = frameUpdateModels.front();
        frameUpdateModels.pop_front();
        runModelUpdate(m, l);
    }
}

// ---- channel ranges ----

bool GlazeManager::setChannelRange(int start, int end, int value) {
    if (start < 0 || end < start || start >= GlazeMaxChannels()) return false;
    end = std::min(end, GlazeMaxChannels() - 1);
    value = std::max(0, std::min(255, value));
    std::lock_guard<std::mutex> l(activeModelsLock);
    bool found = false;
    for (auto& r : channelRanges) {
        if (r.start == start && r.end == end) {
            r.value = value;
            found = true;
        }
    }
    if (!found) {
        channelRanges.push_back({start, end, value});
        numActive++;
    }
    if (numActive > 0) StartChannelOutputThread();
    return true;
}

bool GlazeManager::removeChannelRange(int start, int end) {
    if (start < 0 || end < start) return false;
    end = std::min(end, GlazeMaxChannels() - 1);
    bool wentIdle = false;
    {
        std::lock_guard<std::mutex> l(activeModelsLock);
        int before = numActive;
        for (auto it = channelRanges.begin(); it != channelRanges.end();) {
            if (it->start == start && it->end == end) {
                it = channelRanges.erase(it);
                numActive--;
            } else {
                ++it;
            }
        }
        wentIdle = before > 0 && numActive == 0;
    }
    if (wentIdle) keepComposingBriefly();
    return true;
}

void GlazeManager::removeAllChannelRanges() {
    {
        std::lock_guard<std::mutex> l(activeModelsLock);
        numActive -= channelRanges.size();
        channelRanges.clear();
    }
    if (numActive == 0) keepComposingBriefly();
}

// The output thread stops itself once nothing is active; keeping one more
// active count for a moment lets it send the frames without the range.
void GlazeManager::keepComposingBriefly() {
    numActive++;
    std::this_thread::sleep_for(std::chrono::milliseconds(125));
    numActive--;
}

std::vector<GlazeChannelRange> GlazeManager::getChannelRanges() {
    std::lock_guard<std::mutex> l(activeModelsLock);
    return std::vector<GlazeChannelRange>(channelRanges.begin(), channelRanges.end());
}

// ---- effect update thread ----

void GlazeManager::addPeriodicUpdate(int ms, GlazeModel* model) {
    {
        std::lock_guard<std::mutex> l(threadLock);
        if (!updateThread) {
            threadKeepRunning = true;
            updateThread = new std::thread([this] { updateThreadLoop(); });
        }
        // One pending update per model: a model runs one effect, and a
        // second entry would step it twice as often.
        for (auto& p : periodicUpdates) p.second.remove(model);
        frameUpdateModels.remove(model);
        if (ms < 1) {
            frameUpdateModels.push_back(model);
        } else {
            periodicUpdates[(uint64_t)GetTimeMS() + ms].push_back(model);
        }
    }
    threadCV.notify_all();
}

void GlazeManager::removePeriodicUpdate(GlazeModel* model) {
    std::lock_guard<std::mutex> l(threadLock);
    for (auto& p : periodicUpdates) p.second.remove(model);
    frameUpdateModels.remove(model);
}

int GlazeManager::runModelUpdate(GlazeModel* model, std::unique_lock<std::mutex>& held) {
    modelsInUpdate.insert(model);
    held.unlock();
    int r = model->updateRunningEffects();
    held.lock();
    modelsInUpdate.erase(modelsInUpdate.find(model));
    updateDoneCV.notify_all();
    return r;
}

static bool isQueued(const std::map<uint64_t, std::list<GlazeModel*>>& periodic,
                     const std::list<GlazeModel*>& frame, GlazeModel* m) {
    if (std::find(frame.begin(), frame.end(), m) != frame.end()) return true;
    for (const auto& p : periodic) {
        if (std::find(p.second.begin(), p.second.end(), m) != p.second.end()) return true;
    }
    return false;
}

void GlazeManager::updateThreadLoop() {
    std::unique_lock<std::mutex> l(threadLock);
    while (threadKeepRunning) {
        uint64_t now = GetTimeMS();
        uint64_t wait = 1000;
        while (threadKeepRunning && !periodicUpdates.empty() && periodicUpdates.begin()->first <= now) {
            uint64_t due = periodicUpdates.begin()->first;
            std::list<GlazeModel*> due_models = std::move(periodicUpdates.begin()->second);
            periodicUpdates.erase(periodicUpdates.begin());
            for (GlazeModel* m : due_models) {
                int r = runModelUpdate(m, l);
                // Someone asked for a fresh schedule meanwhile: that one holds.
                if (r == 0 || isQueued(periodicUpdates, frameUpdateModels, m)) continue;
                if (r < 0) {
                    frameUpdateModels.push_back(m);
                } else {
                    periodicUpdates[due + r].push_back(m);
                }
            }
            now = GetTimeMS();
        }
        if (!periodicUpdates.empty()) {
            uint64_t first = periodicUpdates.begin()->first;
            wait = first > now ? first - now : 0;
        }
        if (!threadKeepRunning) break;
        threadCV.wait_until(l, std::chrono::steady_clock::now() + std::chrono::milliseconds(wait));
    }
}

void GlazeManager::stopUpdateThread() {
    std::thread* t = nullptr;
    {
        std::lock_guard<std::mutex> l(threadLock);
        threadKeepRunning = false;
        periodicUpdates.clear();
        t = updateThread;
        updateThread = nullptr;
    }
    threadCV.notify_all();
    if (t) {
        if (t->joinable()) t->join();
        delete t;
    }
    std::lock_guard<std::mutex> l(threadLock);
    threadKeepRunning = true;
}

// ---- commands ----

void GlazeManager::RegisterCommands() {
    if (models.empty() || commandsRegistered) return;
    // The commands keep no model state, so one registration serves every
    // later model map; re-adding would replace commands that may be running.
    commandsRegistered = true;
    CommandManager::INSTANCE.addCommand(new EnableOverlayCommand(this));
    CommandManager::INSTANCE.addCommand(new FillOverlayCommand(this));
    CommandManager::INSTANCE.addCommand(new TextOverlayCommand(this));
    CommandManager::INSTANCE.addCommand(new ClearOverlayCommand(this));
    CommandManager::INSTANCE.addCommand(new ApplyEffectOverlayCommand(this));
}

// ---- fonts ----

void GlazeManager::loadFonts() {
    if (fontsLoaded) return;
    addMagickFonts(fonts);
    for (const auto& d : fontDirs) findFonts(d, fonts);
    fontsLoaded = true;
}

std::string GlazeManager::mapFont(const std::string& name) {
    // find, not [], so a lookup never adds an entry: the map is read from
    // several threads without a lock.
    auto it = fonts.find(name);
    if (it != fonts.end() && !it->second.empty()) return it->second;
    return name;
}

// ---- older model file ----

void GlazeManager::ConvertCMMFileToJSON() {
    std::string path = getLyrMediaDir("/channelmemorymaps");
    if (!FileExists(path)) return;
    LogDebug(VB_CHANNELOUT, "Loading Channel Memory Map data.\n");
    FILE* f = fopen(path.c_str(), "r");
    if (!f) {
        LogErr(VB_CHANNELOUT, "Could not open Channel Memory Map config file %s\n", path.c_str());
        return;
    }
    Json::Value doc(Json::objectValue);
    doc["models"] = Json::Value(Json::arrayValue);
    // Whole lines: a long name must not spill into a second, bogus line.
    char* line = nullptr;
    size_t cap = 0;
    while (getline(&line, &cap, f) != -1) {
        Json::Value model;
        if (parseCMMLine(line, model)) doc["models"].append(model);
    }
    free(line);
    fclose(f);
    // The old file goes only once its models are safely in the new one.
    std::string target = getLyrMediaDir("/config") + "/model-overlays.json";
    mkdir(getLyrMediaDir("/config").c_str(), 0777);
    if (!SaveJsonToFile(doc, target, "\t")) {
        LogErr(VB_CHANNELOUT, "Could not write %s; %s kept\n", target.c_str(), path.c_str());
        return;
    }
    unlink(path.c_str());
}

// ---- HTTP ----

std::shared_ptr<httpserver::http_response> GlazeManager::render_GET(const httpserver::http_request& req) {
    return GlazeHttp::get(*this, req);
}

std::shared_ptr<httpserver::http_response> GlazeManager::render_POST(const httpserver::http_request& req) {
    return GlazeHttp::post(*this, req);
}

std::shared_ptr<httpserver::http_response> GlazeManager::render_PUT(const httpserver::http_request& req) {
    return GlazeHttp::put(*this, req);
}

// ---- the overlay commands ----

namespace {

const char* kModelsUrl = "api/models?simple=true";

std::unique_ptr<Command::Result> error(const std::string& text) {
    return std::make_unique<Command::ErrorResult>(text);
}

std::unique_ptr<Command::Result> countError(const std::string& message, size_t count) {
    return error(message + std::to_string(count));
}

// All listed models, or the first missing name.
bool findModels(GlazeManager* manager, const std::string& list, std::vector<GlazeModel*>& found,
                std::string& missing) {
    for (const auto& n : split(list, ',')) {
        GlazeModel* m = manager->getModel(n);
        if (!m) {
            missing = n;
            return false;
        }
        found.push_back(m);
    }
    if (found.empty()) {
        missing = list;
        return false;
    }
    return true;
}

Command::CommandArg arg(const std::string& name, const std::string& type, const std::string& description,
                        const std::vector<std::string>& choices = {}, const std::string& def = "") {
    Command::CommandArg a(name, type, description);
    a.allowableValues = choices;
    a.defaultValue = def;
    return a;
}

}  // namespace

const std::vector<std::string>& OverlayCommand::names() {
    static const std::vector<std::string> n{"Overlay Model State", "Overlay Model Fill", "Overlay Model Text",
                                            "Overlay Model Clear", "Overlay Model Effect"};
    return n;
}

void OverlayCommand::addModelArg(const std::string& argName, const std::string& type) {
    CommandArg a(argName, type, argName);
    a.contentListUrl = kModelsUrl;
    args.push_back(a);
}

EnableOverlayCommand::EnableOverlayCommand(GlazeManager* m) : OverlayCommand("Overlay Model State", m) {
    addModelArg("Model", "multistring");
    args.push_back(arg("State", "string", "State", {"Disabled", "Enabled", "Transparent", "TransparentRGB"}));
}

std::unique_ptr<Command::Result> EnableOverlayCommand::run(const std::vector<std::string>& a) {
    if (a.size() != 2) return countError("Command needs 2 arguments, found ", a.size());
    std::lock_guard<std::mutex> l(manager->modelsLock);
    std::vector<GlazeModel*> models;
    std::string missing;
    if (!findModels(manager, a[0], models, missing)) return error("No model found: " + missing);
    for (GlazeModel* m : models) m->setState(GlazeState(a[1]));
    return std::make_unique<Result>("Model State Set");
}

FillOverlayCommand::FillOverlayCommand(GlazeManager* m) : OverlayCommand("Overlay Model Fill", m) {
    addModelArg("Model", "multistring");
    args.push_back(
        arg("State", "string", "State", {"Don't Set", "Enabled", "Transparent", "TransparentRGB"}));
    args.push_back(arg("Color", "color", "Color", {}, "#FF0000"));
}

std::unique_ptr<Command::Result> FillOverlayCommand::run(const std::vector<std::string>& a) {
    if (a.size() != 2 && a.size() != 3) return countError("Command needs 2 or 3 arguments, found ", a.size());
    std::string state = a.size() == 3 ? a[1] : "Don't Set";
    const std::string& color = a.size() == 3 ? a[2] : a[1];
    // The colour is read before any model changes, so a bad one leaves the
    // models as they were.
    unsigned c;
    if (!tryMapColor(color, c)) return error("Invalid color: " + color);
    std::lock_guard<std::mutex> l(manager->modelsLock);
    std::vector<GlazeModel*> models;
    std::string missing;
    if (!findModels(manager, a[0], models, missing)) return error("No model found: " + missing);
    for (GlazeModel* m : models) {
        if (state != "Don't Set") m->setState(GlazeState(state));
        m->fillOverlayBuffer((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF);
        m->flushOverlayBuffer();
    }
    return std::make_unique<Result>("Models Filled");
}

TextOverlayCommand::TextOverlayCommand(GlazeManager* m) : OverlayCommand("Overlay Model Text", m) {
    addModelArg("Model", "string");
    args.push_back(arg("Color", "color", "Color", {}, "#FF0000"));
    CommandArg font("Font", "string", "Font");
    font.contentListUrl = "api/overlays/fonts";
    args.push_back(font);
    CommandArg size = arg("FontSize", "int", "FontSize", {}, "18");
    size.min = 4;
    size.max = 100;
    args.push_back(size);
    args.push_back(arg("FontAntiAlias", "bool", "Anti-Aliased", {}, "false"));
    args.push_back(arg("Position", "string", "Position",
                       {"Center", "Right to Left", "Left to Right", "Bottom to Top", "Top to Bottom"}));
    CommandArg speed = arg("Speed", "int", "Scroll Speed", {}, "10");
    speed.min = 0;
    speed.max = 200;
    args.push_back(speed);
    args.push_back(arg("AutoEnable", "bool", "Auto Enable/Disable Model", {}, "false"));
    args.push_back(arg("Text", "string", "Text"));
}

std::unique_ptr<Command::Result> TextOverlayCommand::run(const std::vector<std::string>& a) {
    if (a.size() < 8) return countError("Command needs 9 arguments, found ", a.size());
    bool nine = a.size() == 9;
    std::vector<std::string> effectArgs{a[0], nine ? a[7] : "true", "Text"};
    for (size_t i = 1; i <= 6; i++) effectArgs.push_back(a[i]);
    effectArgs.push_back("0");
    effectArgs.push_back(nine ? a[8] : a[7]);
    return CommandManager::INSTANCE.run("Overlay Model Effect", effectArgs);
}

ClearOverlayCommand::ClearOverlayCommand(GlazeManager* m) : OverlayCommand("Overlay Model Clear", m) {
    addModelArg("Model", "multistring");
}

std::unique_ptr<Command::Result> ClearOverlayCommand::run(const std::vector<std::string>& a) {
    if (a.size() != 1) return countError("Command needs 1 argument, found ", a.size());
    std::lock_guard<std::mutex> l(manager->modelsLock);
    std::vector<GlazeModel*> models;
    std::string missing;
    if (!findModels(manager, a[0], models, missing)) return error("No model found: " + missing);
    for (GlazeModel* m : models) m->clear();
    return std::make_unique<Result>("Models Cleared");
}

ApplyEffectOverlayCommand::ApplyEffectOverlayCommand(GlazeManager* m)
    : OverlayCommand("Overlay Model Effect", m) {
    addModelArg("Models", "multistring");
    args.push_back(arg("AutoEnable", "string", "Auto Enable/Disable",
                       {"False", "Enabled", "Transparent", "Transparent RGB"}, "Enabled"));
    CommandArg effect("Effect", "subcommand", "Effect");
    effect.contentListUrl = "api/overlays/effects/";
    args.push_back(effect);
}

std::unique_ptr<Command::Result> ApplyEffectOverlayCommand::run(const std::vector<std::string>& a) {
    if (a.size() < 3) return countError("Command needs at least 3 arguments, found ", a.size());
    std::lock_guard<std::mutex> l(manager->modelsLock);
    std::vector<GlazeModel*> models;
    std::string missing;
    if (!findModels(manager, a[0], models, missing)) return error("No model found: " + missing);
    std::vector<std::string> effectArgs(a.begin() + 3, a.end());
    for (GlazeModel* m : models) {
        if (!m->applyEffect(a[1], a[2], effectArgs)) return error("Could not start effect: " + a[2]);
    }
    return std::make_unique<Result>("Model Effect Started");
}
