#pragma once

// A KvUsbEnumerator that lists one scripted key and lets the script decide how
// opening it ends: the key (zero, the healthy choice), a failure with no
// device, a failure that still hands a device out, or success without one.

#include <cstddef>

#include "device/usb/kv_usb_enumerator.h"
#include "fuzz/fuzz_script.h"
#include "fuzz/scripted_key_device.h"

namespace korvene::testing {

class ScriptedKeyEnumerator final : public KvUsbEnumerator {
public:
    ScriptedKeyEnumerator(FuzzScript& script, const ScriptedKeyIdentity& identity)
        : script(script), identity(identity) {}

    // The key handed out with Ok, owned by its caller; null otherwise.
    ScriptedKeyDevice* opened = nullptr;

    bool scan() override { return true; }
    bool isEmpty() const override { return false; }
    size_t count() const override { return 1; }
    KvUsbDevice* openDevice(size_t index) override {
        KvUsbDevice* device = nullptr;
        if (openDeviceWithStatus(index, &device) == UsbOpenResult::Ok) return device;
        delete device;
        return nullptr;
    }
    UsbOpenResult openDeviceWithStatus(size_t, KvUsbDevice** out) override {
        opened = nullptr;
        *out = nullptr;
        switch (script.byte() % 8) {
            case 1:  // any failure, named or not
                return static_cast<UsbOpenResult>(1 + script.byte() % 7);
            case 2:  // a failure with a device handed out all the same
                *out = new ScriptedKeyDevice(script, identity);
                return UsbOpenResult::NoDevice;
            case 3:
                return UsbOpenResult::Ok;
            default:
                *out = opened = new ScriptedKeyDevice(script, identity);
                return UsbOpenResult::Ok;
        }
    }

private:
    FuzzScript& script;
    const ScriptedKeyIdentity& identity;
};

}  // namespace korvene::testing
