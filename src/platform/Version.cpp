#include "platform/Version.h"

#include <cctype>
#include <cstdio>

#include "platform/Logging.h"

// Both come from the source tree at configure time; a build from a plain
// source archive (no git) still gets a usable version.
#ifndef LYRD_GIT_VERSION
#define LYRD_GIT_VERSION ""
#endif
#ifndef LYRD_GIT_BRANCH
#define LYRD_GIT_BRANCH ""
#endif

namespace {

const char* const FALLBACK_TRIPLET = "0.1.0";

}  // namespace

std::string getLyrVersion() {
    std::string described = LYRD_GIT_VERSION;
    if (described.empty()) return FALLBACK_TRIPLET;
    // Tags may be written "v1.2.3".
    if (described.size() > 1 && (described[0] == 'v' || described[0] == 'V') &&
        isdigit(static_cast<unsigned char>(described[1]))) {
        described.erase(0, 1);
    }
    return described;
}

std::string getLyrVersionTriplet() {
    std::string v = getLyrVersion();
    size_t end = 0;
    int dots = 0;
    while (end < v.size()) {
        char c = v[end];
        if (c == '.' && dots < 2 && end + 1 < v.size() && isdigit(static_cast<unsigned char>(v[end + 1]))) {
            dots++;
        } else if (!isdigit(static_cast<unsigned char>(c))) {
            break;
        }
        end++;
    }
    return end == 0 ? FALLBACK_TRIPLET : v.substr(0, end);
}

std::string getLyrBranch() {
    std::string b = LYRD_GIT_BRANCH;
    return b.empty() ? "unknown" : b;
}

void printVersionInfo() {
    printf("=================================\n");
    printf("lyrd %s\n", getLyrVersion().c_str());
    printf("Branch: %s\n", getLyrBranch().c_str());
    printf("=================================\n");
}

void logVersionInfo() {
    LogInfo(VB_GENERAL, "=========================================\n");
    LogInfo(VB_GENERAL, "lyrd %s (version %s, branch %s)\n", getLyrVersion().c_str(),
            getLyrVersionTriplet().c_str(), getLyrBranch().c_str());
    LogInfo(VB_GENERAL, "=========================================\n");
}
