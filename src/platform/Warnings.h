// User-visible warnings, listed by the HTTP API and the web front end.
// Threading: every call takes the registry's lock; safe from any thread.
#pragma once

#include <list>
#include <string>

class WarningHolder {
public:
    static void AddWarning(const std::string& warning);
    // The warning disappears after `seconds`.
    static void AddWarningTimeout(const std::string& warning, int seconds);
    static void RemoveWarning(const std::string& warning);
    static std::list<std::string> GetWarnings();
    static void ClearWarnings();

    // A thread that drops expired warnings; started once, stopped at tear-down.
    static void StartNotifyThread();
    static void StopNotifyThread();
};
