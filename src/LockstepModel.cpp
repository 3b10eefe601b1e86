#include "LockstepModel.h"

#include <algorithm>
#include <fstream>

#include "common.h"

std::string ReadHardwareModel(const std::string& deviceTreeModel, const std::string& dmiProductName) {
    const std::string unknown = "Unknown Hardware Platform";
    std::string path;
    if (FileExists(deviceTreeModel)) {
        path = deviceTreeModel;
    } else if (FileExists(dmiProductName)) {
        path = dmiProductName;
    } else {
        return unknown;
    }
    std::ifstream in(path);
    if (!in) return unknown;
    std::string line;
    if (!std::getline(in, line) && line.empty()) return unknown;
    // The device-tree text ends in a NUL rather than a line feed.
    std::string model(line.substr(0, 126).c_str());
    TrimWhiteSpace(model);
    if (model.empty()) return unknown;
    return model;
}

std::string GetHardwareModel() {
    return ReadHardwareModel("/sys/firmware/devicetree/base/model", "/sys/class/dmi/id/product_name");
}

static bool startsOrIs(const std::string& m, const char* prefix, const char* exact) {
    return startsWith(m, prefix) || (exact && m == exact);
}

LockstepSystemType ModelStringToType(std::string m) {
    struct Rule {
        const char* prefix;
        const char* exact;
        LockstepSystemType type;
    };
    static const Rule piRules[] = {
        {"Raspberry Pi Model A Rev", "Raspberry Pi Model A", kSysTypeLYRRaspberryPiA},
        {"Raspberry Pi Model B Rev", "Raspberry Pi Model B", kSysTypeLYRRaspberryPiB},
        {"Raspberry Pi Model A Plus", "Raspberry Pi Model A+", kSysTypeLYRRaspberryPiAPlus},
        {"Raspberry Pi Model B Plus", "Raspberry Pi Model B+", kSysTypeLYRRaspberryPiBPlus},
        {"Raspberry Pi 2 Model B 1.1", nullptr, kSysTypeLYRRaspberryPi2B},
        {"Raspberry Pi 2 Model B 1.0", nullptr, kSysTypeLYRRaspberryPi2B},
        {"Raspberry Pi 2 Model B", nullptr, kSysTypeLYRRaspberryPi2BNew},
        {"Raspberry Pi 3 Model B Rev", "Raspberry Pi 3 Model B", kSysTypeLYRRaspberryPi3B},
        {"Raspberry Pi 3 Model B Plus", "Raspberry Pi 3 Model B+", kSysTypeLYRRaspberryPi3BPlus},
        {"Raspberry Pi Zero Rev", nullptr, kSysTypeLYRRaspberryPiZero},
        {"Raspberry Pi Zero W", nullptr, kSysTypeLYRRaspberryPiZeroW},
        {"Raspberry Pi 3 Model A Plus", "Raspberry Pi 3 Model A+", kSysTypeLYRRaspberryPi3APlus},
        {"Raspberry Pi 4", nullptr, kSysTypeLYRRaspberryPi4},
        {"Raspberry Pi Compute Module 4", nullptr, kSysTypeLYRRaspberryPi4},
        {"SanCloud BeagleBone Enhanced", nullptr, kSysTypeLYRSanCloudBeagleBoneEnhanced},
    };
    for (const auto& r : piRules) {
        if (startsOrIs(m, r.prefix, r.exact)) return r.type;
    }
    bool wireless = contains(m, "Wireless");
    if (contains(m, "BeagleBone Black"))
        return wireless ? kSysTypeLYRBeagleBoneBlackWireless : kSysTypeLYRBeagleBoneBlack;
    if (contains(m, "BeagleBone Green"))
        return wireless ? kSysTypeLYRBeagleBoneGreenWireless : kSysTypeLYRBeagleBoneGreen;
    if (contains(m, "PocketBeagle")) return kSysTypeLYRPocketBeagle;
    if (m == "MacOS") return kSysTypeMacOS;
    if (m == "Armbian") return kSysTypeLYRArmbian;
    return kSysTypeLYR;
}

static std::string unquote(std::string v) {
    if (!v.empty() && v[0] == '"') {
        v = v.size() >= 2 ? v.substr(1, v.size() - 2) : "";
    }
    return v;
}

std::string LocalLYRTypeString(const std::string& osReleasePath) {
    const std::string unknown = "LYR (unknown hardware)";
    if (!FileExists(osReleasePath)) return unknown;
    std::ifstream in(osReleasePath);
    std::string line, name, pretty;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        std::string value = unquote(line.substr(eq + 1));
        if (key == "NAME") name = value;
        if (key == "PRETTY_NAME") pretty = value;
    }
    if (!name.empty()) return "LYR (" + name + ")";
    if (!pretty.empty()) return "LYR (" + pretty + ")";
    return unknown;
}

std::string GetTypeString(LockstepSystemType type, bool local) {
    switch (type) {
        case kSysTypeLYR:
            return local ? LocalLYRTypeString("/etc/os-release") : "LYR (unknown hardware)";
        case kSysTypeLYRRaspberryPiA: return "Raspberry Pi A";
        case kSysTypeLYRRaspberryPiB: return "Raspberry Pi B";
        case kSysTypeLYRRaspberryPiAPlus: return "Raspberry Pi A Plus";
        case kSysTypeLYRRaspberryPiBPlus: return "Raspberry Pi B+";
        case kSysTypeLYRRaspberryPi2B: return "Raspberry Pi 2 B";
        case kSysTypeLYRRaspberryPi2BNew: return "Raspberry Pi 2 B v1.2+";
        case kSysTypeLYRRaspberryPi3B: return "Raspberry Pi 3 B";
        case kSysTypeLYRRaspberryPi3BPlus: return "Raspberry Pi 3 B+";
        case kSysTypeLYRRaspberryPiZero: return "Raspberry Pi Zero";
        case kSysTypeLYRRaspberryPiZeroW: return "Raspberry Pi Zero W";
        case kSysTypeLYRRaspberryPi3APlus: return "Raspberry Pi 3 A+";
        case kSysTypeLYRRaspberryPi4: return "Raspberry Pi 4";
        case kSysTypeLYRSanCloudBeagleBoneEnhanced: return "SanCloud BeagleBone Enhanced";
        case kSysTypeLYRBeagleBoneBlack: return "BeagleBone Black";
        case kSysTypeLYRBeagleBoneBlackWireless: return "BeagleBone Black Wireless";
        case kSysTypeLYRBeagleBoneGreen: return "BeagleBone Green";
        case kSysTypeLYRBeagleBoneGreenWireless: return "BeagleBone Green Wireless";
        case kSysTypeLYRPocketBeagle: return "PocketBeagle";
        case kSysTypeMacOS: return "MacOS";
        case kSysTypeLYRArmbian: return "Armbian";
        case kSysTypeTamrinController: return "Tamrin Controller";
        case kSysTypeOtherSystem: return "Other Unknown System";
        case kSysTypeScheduler: return "Show Scheduler (Desktop)";
        case kSysTypeESP8266Firmware: return "Pixel Controller Firmware (ESP8266)";
        case kSysTypeESP32Firmware: return "Pixel Controller Firmware (ESP32)";
        case kSysTypeWLED: return "WLED";
        case kSysTypeDIYLEDExpress: return "DIYLEDExpress";
        case kSysTypeHinksPix: return "HinksPix";
        case kSysTypeAlphaPix: return "AlphaPix";
        case kSysTypeSanDevices: return "SanDevices";
        default: break;
    }
    if (type >= kSysTypeTamrinModel1 && type <= kSysTypeTamrinModel9)
        return "Tamrin Model " + std::to_string(type - kSysTypeTamrinModel1 + 1);
    return "Unknown System Type";
}
