#pragma once

#include <functional>
#include <map>

// Descriptor callbacks of the main loop: called with the ready descriptor,
// they return true when channel data changed and must be output now.
using CallbackMap = std::map<int, std::function<bool(int)>>;
