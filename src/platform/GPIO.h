// GPIO inputs: pin providers and the input manager polled by the main loop.
#pragma once

#include <string>

#include "platform/Callbacks.h"

class PinCapabilitiesProvider {
public:
    virtual ~PinCapabilitiesProvider() {}
};

class BBBPinProvider : public PinCapabilitiesProvider {};

class PinCapabilities {
public:
    static void InitGPIO(const std::string& owner, PinCapabilitiesProvider* provider);
};

class GPIOManager {
public:
    static GPIOManager INSTANCE;
    void Initialize(CallbackMap& callbacks) {}
    void CheckGPIOInputs() {}
    void Cleanup() {}
};
