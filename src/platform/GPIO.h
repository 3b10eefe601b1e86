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

// Extension GPIO pins: none are present on this board, so both report failure.
// SetupExtGPIO returns 1 on success; ExtGPIO the pin's value, or -1.
int SetupExtGPIO(int pin, const char* mode);
int ExtGPIO(int pin, const char* mode, int value);

class GPIOManager {
public:
    static GPIOManager INSTANCE;
    void Initialize(CallbackMap& callbacks) {}
    void CheckGPIOInputs() {}
    void Cleanup() {}
};
