#include "platform/Warnings.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/Logging.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Registry {
    std::mutex lock;
    std::condition_variable changed;
    std::list<std::string> warnings;
    std::map<std::string, Clock::time_point> expiry;
    std::thread notifier;
    // Bumped by every stop, so a thread only runs for the start that made it.
    unsigned generation = 0;
};

// Built on first use and never destroyed: a warning added from another static
// object's destructor, or a notify thread still running when exit() is
// called, must not meet a destroyed registry.
Registry& registry() {
    static Registry* r = new Registry();
    return *r;
}

// Caller holds the lock.
void dropExpired(Registry& r, Clock::time_point now) {
    for (auto it = r.expiry.begin(); it != r.expiry.end();) {
        if (it->second <= now) {
            LogDebug(VB_GENERAL, "Warning expired: %s\n", it->first.c_str());
            r.warnings.remove(it->first);
            it = r.expiry.erase(it);
        } else {
            ++it;
        }
    }
}

void add(const std::string& warning, int seconds) {
    Registry& r = registry();
    bool added = false;
    {
        std::lock_guard<std::mutex> l(r.lock);
        dropExpired(r, Clock::now());
        bool present = false;
        for (const auto& w : r.warnings) {
            if (w == warning) present = true;
        }
        if (!present) {
            r.warnings.push_back(warning);
            added = true;
        }
        if (seconds > 0) {
            r.expiry[warning] = Clock::now() + std::chrono::seconds(seconds);
        } else {
            r.expiry.erase(warning);
        }
    }
    r.changed.notify_all();
    if (added) LogInfo(VB_GENERAL, "Warning added: %s\n", warning.c_str());
}

void notifyLoop(unsigned generation) {
    Registry& r = registry();
    std::unique_lock<std::mutex> l(r.lock);
    while (r.generation == generation) {
        dropExpired(r, Clock::now());
        if (r.expiry.empty()) {
            r.changed.wait(l);
            continue;
        }
        Clock::time_point next = Clock::time_point::max();
        for (const auto& e : r.expiry) next = std::min(next, e.second);
        r.changed.wait_until(l, next);
    }
}

}  // namespace

void WarningHolder::AddWarning(const std::string& warning) {
    add(warning, 0);
}

void WarningHolder::AddWarningTimeout(const std::string& warning, int seconds) {
    add(warning, seconds);
}

void WarningHolder::RemoveWarning(const std::string& warning) {
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> l(r.lock);
        r.warnings.remove(warning);
        r.expiry.erase(warning);
    }
    r.changed.notify_all();
}

std::list<std::string> WarningHolder::GetWarnings() {
    Registry& r = registry();
    std::lock_guard<std::mutex> l(r.lock);
    dropExpired(r, Clock::now());
    return r.warnings;
}

void WarningHolder::ClearWarnings() {
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> l(r.lock);
        r.warnings.clear();
        r.expiry.clear();
    }
    r.changed.notify_all();
}

void WarningHolder::StartNotifyThread() {
    Registry& r = registry();
    std::lock_guard<std::mutex> l(r.lock);
    if (r.notifier.joinable()) return;
    r.notifier = std::thread(notifyLoop, r.generation);
}

void WarningHolder::StopNotifyThread() {
    Registry& r = registry();
    std::thread t;
    {
        std::lock_guard<std::mutex> l(r.lock);
        if (!r.notifier.joinable()) return;
        r.generation++;
        t = std::move(r.notifier);
    }
    r.changed.notify_all();
    t.join();
}
