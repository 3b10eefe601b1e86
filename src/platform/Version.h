#pragma once

#include <string>

std::string getLyrVersion();         // full version string, e.g. "1.0.0-12-gabcdef"
std::string getLyrVersionTriplet();  // "1.0.0"
std::string getLyrBranch();
void printVersionInfo();  // to stdout
void logVersionInfo();    // to the log
