// Sensor registry: holds sensor descriptions for status reports.
#pragma once

#include <json/json.h>
#include <mutex>

class Sensors {
public:
    static Sensors INSTANCE;
    void Init() {}
    void addSensors(const Json::Value& sensors);
    Json::Value getSensors();
    // Adds "sensors" (the registered descriptions) to a status document
    // when any sensor is registered.
    void reportSensors(Json::Value& status);
    void Close();

private:
    std::mutex lock;
    Json::Value descriptions{Json::arrayValue};
};
