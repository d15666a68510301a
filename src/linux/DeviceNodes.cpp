// Where the device nodes and lock files are, and which nodes exist now.
#include <ctype.h>
#include <glob.h>
#include <string.h>

#include <mutex>

#include "device/Device.h"
#include "linux/PortState.h"
#include "platform/InitOrder.h"

namespace {

std::mutex s_folderMutex;
std::string s_nodeFolder VASQ_INIT_DEVICE = "/dev";
std::string s_lockFolder VASQ_INIT_DEVICE = "/var/lock";
std::string s_sysfsRoot VASQ_INIT_DEVICE = "/sys";

}  // namespace

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder)
{
    std::lock_guard<std::mutex> lock(s_folderMutex);
    s_nodeFolder = nodeFolder == nullptr || *nodeFolder == '\0' ? "/dev" : nodeFolder;
    s_lockFolder = lockFolder == nullptr || *lockFolder == '\0' ? "/var/lock" : lockFolder;
}

void SetSysfsRootForTesting(const char* root)
{
    std::lock_guard<std::mutex> lock(s_folderMutex);
    s_sysfsRoot = root == nullptr || *root == '\0' ? "/sys" : root;
}

std::string NodeFolder()
{
    std::lock_guard<std::mutex> lock(s_folderMutex);
    return s_nodeFolder;
}

std::string SysfsRoot()
{
    std::lock_guard<std::mutex> lock(s_folderMutex);
    return s_sysfsRoot;
}

std::string DeviceNodePath(int portNumber)
{
    std::lock_guard<std::mutex> lock(s_folderMutex);
    return s_nodeFolder + "/ttyACM" + std::to_string(portNumber);
}

std::string DeviceOpenPortName(Device& device)
{
    return DeviceNodePath(DeviceOpenPortNumber(device));
}

std::string DeviceLockPath(int portNumber)
{
    std::lock_guard<std::mutex> lock(s_folderMutex);
    return s_lockFolder + "/kestrova.ACM" + std::to_string(portNumber) + ".lock";
}

bool ListDeviceNodes(std::vector<std::string>& paths)
{
    std::string pattern;
    {
        std::lock_guard<std::mutex> lock(s_folderMutex);
        pattern = s_nodeFolder + "/ttyACM*";
    }
    glob_t found;
    const int result = glob(pattern.c_str(), 0, nullptr, &found);
    if (result != 0 && result != GLOB_NOMATCH)
        return false;
    paths.clear();
    for (size_t i = 0; result == 0 && i < found.gl_pathc; ++i)
        paths.emplace_back(found.gl_pathv[i]);
    globfree(&found);
    return true;
}

Listing ListOpenPort(Device& device)
{
    std::vector<std::string> paths;
    if (!ListDeviceNodes(paths))
        return Listing::Failed;
    return FindOpenPort(device, paths);
}

Listing FindOpenPort(Device& device, const std::vector<std::string>& paths)
{
    for (std::string path : paths) {
        StringTrim(&path[0]);
        if (DeviceCheckPath(device, path.c_str()))
            return Listing::WithPort;
    }
    return Listing::WithoutPort;
}

bool DeviceIsAlive(Device& device)
{
    return ListOpenPort(device) == Listing::WithPort;
}

void StringTrimRight(char* text)
{
    char* runStart = nullptr;
    for (char* p = text; *p != '\0'; ++p) {
        if (isspace(static_cast<unsigned char>(*p))) {
            if (runStart == nullptr)
                runStart = p;
        } else {
            runStart = nullptr;
        }
    }
    if (runStart != nullptr)
        *runStart = '\0';
}

void StringTrimLeft(char* text)
{
    char* p = text;
    while (*p != '\0' && isspace(static_cast<unsigned char>(*p)))
        ++p;
    if (p != text)
        memmove(text, p, strlen(p) + 1);
}

void StringTrim(char* text)
{
    StringTrimRight(text);
    StringTrimLeft(text);
}
