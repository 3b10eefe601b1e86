#include "platform/MediaDetails.h"

MediaDetails MediaDetails::INSTANCE;
bool MediaDetails::ParseMedia(const std::string& mediaFilename) { return false; }
void MediaDetails::Clear() {}
std::string ResolveMediaPath(const std::string& mediaFilename) { return mediaFilename; }
