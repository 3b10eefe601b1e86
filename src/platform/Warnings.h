// User-visible warnings, listed by the HTTP API and the web front end.
//
// A warning is a text shown once however often it is added.  A warning added
// with a timeout disappears when the timeout has passed: GetWarnings never
// lists an expired one, and the notify thread drops expired ones promptly.
// Adding a text again replaces its timeout (AddWarning makes it permanent).
//
// Threading: every call takes the registry's lock; safe from any thread.
// The registry is never destroyed, so warnings may be added during exit.
#pragma once

#include <list>
#include <string>

class WarningHolder {
public:
    static void AddWarning(const std::string& warning);
    // The warning disappears after `seconds`; seconds <= 0 adds it permanently.
    static void AddWarningTimeout(const std::string& warning, int seconds);
    static void RemoveWarning(const std::string& warning);
    // In the order first added.
    static std::list<std::string> GetWarnings();
    static void ClearWarnings();

    // A thread that drops expired warnings; started once (a second start is
    // ignored), stopped and joined at tear-down.
    static void StartNotifyThread();
    static void StopNotifyThread();
};
