// Homes of the small platform singletons.
#include <memory>

#include "platform/ChannelTester.h"
#include "platform/GPIO.h"
#include "platform/NetworkMonitor.h"
#include "platform/PluginManager.h"
#include "platform/Sensors.h"

PluginManager PluginManager::INSTANCE;
Sensors Sensors::INSTANCE;
GPIOManager GPIOManager::INSTANCE;
ChannelTester ChannelTester::INSTANCE;
NetworkMonitor NetworkMonitor::INSTANCE;

static std::unique_ptr<PinCapabilitiesProvider> pinProvider;

void PinCapabilities::InitGPIO(const std::string& owner, PinCapabilitiesProvider* provider) {
    pinProvider.reset(provider);
}

void Sensors::addSensors(const Json::Value& sensors) {
    std::lock_guard<std::mutex> l(lock);
    if (!sensors.isArray()) return;
    for (const auto& s : sensors) descriptions.append(s);
}

Json::Value Sensors::getSensors() {
    std::lock_guard<std::mutex> l(lock);
    return descriptions;
}

void Sensors::reportSensors(Json::Value& status) {
    std::lock_guard<std::mutex> l(lock);
    if (!descriptions.empty()) status["sensors"] = descriptions;
}

void Sensors::Close() {
    std::lock_guard<std::mutex> l(lock);
    descriptions = Json::Value(Json::arrayValue);
}

int DetectTamrinHardware(bool configure) { return 0; }

#include "platform/MosquittoClient.h"
MosquittoClient* mqtt = nullptr;

int SetupExtGPIO(int pin, const char* mode) { return 0; }
int ExtGPIO(int pin, const char* mode, int value) { return -1; }
