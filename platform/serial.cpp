#include "platform/serial.h"

namespace platform {

std::string serialPortName(unsigned number) {
    // Only COM1 to COM9 are reserved device names; higher numbers need the device namespace.
    std::string name = "COM" + std::to_string(number);
    return number < 10 ? name : "\\\\.\\" + name;
}

}  // namespace platform
