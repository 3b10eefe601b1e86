// System type codes, the local board model and their display texts.
//
// Threading: pure functions except the file reads; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

enum LockstepSystemType : uint8_t {
    kSysTypeUnknown = 0,
    kSysTypeLYR = 1,
    kSysTypeLYRRaspberryPiA = 2,
    kSysTypeLYRRaspberryPiB = 3,
    kSysTypeLYRRaspberryPiAPlus = 4,
    kSysTypeLYRRaspberryPiBPlus = 5,
    kSysTypeLYRRaspberryPi2B = 6,
    kSysTypeLYRRaspberryPi2BNew = 7,
    kSysTypeLYRRaspberryPi3B = 8,
    kSysTypeLYRRaspberryPi3BPlus = 9,
    kSysTypeLYRRaspberryPiZero = 10,
    kSysTypeLYRRaspberryPiZeroW = 11,
    kSysTypeLYRRaspberryPi3APlus = 12,
    kSysTypeLYRRaspberryPi4 = 13,
    kSysTypeLYRBeagleBoneBlack = 65,
    kSysTypeLYRBeagleBoneBlackWireless = 66,
    kSysTypeLYRBeagleBoneGreen = 67,
    kSysTypeLYRBeagleBoneGreenWireless = 68,
    kSysTypeLYRPocketBeagle = 69,
    kSysTypeLYRSanCloudBeagleBoneEnhanced = 70,
    kSysTypeLYRArmbian = 96,
    kSysTypeMacOS = 112,
    kSysTypeTamrinController = 128,
    kSysTypeTamrinModel1 = 129,
    kSysTypeTamrinModel9 = 137,
    kSysTypeOtherSystem = 192,
    kSysTypeScheduler = 193,
    kSysTypeESP8266Firmware = 194,
    kSysTypeESP32Firmware = 195,
    kSysTypeWLED = 251,
    kSysTypeDIYLEDExpress = 252,
    kSysTypeHinksPix = 253,
    kSysTypeAlphaPix = 254,
    kSysTypeSanDevices = 255,
};

// The board's model text, from the device tree or DMI; "Unknown Hardware
// Platform" when neither can be read.
std::string GetHardwareModel();
// The same from explicit files (a missing path is skipped).
std::string ReadHardwareModel(const std::string& deviceTreeModel, const std::string& dmiProductName);

LockstepSystemType ModelStringToType(std::string model);

// Display text of a type code.  Code 1 of the local system names the
// operating system from "/etc/os-release".
std::string GetTypeString(LockstepSystemType type, bool local = false);
// The local code-1 text from an explicit os-release file.
std::string LocalLYRTypeString(const std::string& osReleasePath);
