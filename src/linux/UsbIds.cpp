// The USB ids of a node: another instrument behind a USB serial port is never written to.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include "linux/PortState.h"

namespace {

constexpr const char* kVendorId = "04d8";
constexpr const char* kProductId = "0000";

bool ReadIdText(const std::string& path, const char* expected, bool& known)
{
    char text[16] = {};
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        known = false;
        return false;
    }
    const ssize_t got = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (got <= 0) {
        known = false;
        return false;
    }
    StringTrim(text);
    known = true;
    return strcasecmp(text, expected) == 0;
}

}  // namespace

bool IsForeignPort(int portNumber)
{
    const std::string usbDevice = SysfsRoot() + "/class/tty/ttyACM" + std::to_string(portNumber) + "/device/../";
    bool vendorKnown = false;
    bool productKnown = false;
    const bool vendor = ReadIdText(usbDevice + "idVendor", kVendorId, vendorKnown);
    const bool product = ReadIdText(usbDevice + "idProduct", kProductId, productKnown);
    return vendorKnown && productKnown && !(vendor && product);
}
