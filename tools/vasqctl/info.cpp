// info, unit and airport: what the instrument is and how it is set.
#include <stdio.h>

#include <algorithm>
#include <vector>

#include "Commands.h"
#include "Instrument.h"
#include "Output.h"
#include "vasq_service.h"

namespace vasqctl {

namespace {

int RunInfo(std::vector<std::string>& args)
{
    TakeJson(args);
    if (!NoneLeft(args))
        return kExitUsage;
    if (int rc = Connect())
        return rc;
    MODEL_INFORMATION model{};
    HW_INFORMATION hw{};
    BOOTLOADER_INFORMATION boot{};
    if (!VasqGetDeviceInformation(&model) || !VasqGetHWInformation(&hw)) {
        Failure("reading the instrument's identity");
        VasqFree();
        return kExitFailure;
    }
    const bool haveBoot = VasqGetBootloaderInformation(&boot) != 0;
    const std::string firmware = Printf("%d.%d.%d", hw.nFWVersion1, hw.nFWVersion2, hw.nFWVersion3);
    const std::string hardware = Printf("%d.%d", hw.nHWVersion1, hw.nHWVersion2);
    const std::string bootLoader =
        haveBoot ? Printf("%d.%d.%d", boot.nBootVersion1, boot.nBootVersion2, boot.nBootVersion3) : std::string();
    if (g_json) {
        Json info;
        info["serial_number"] = VasqGetSerialNumber();
        info["model_code"] = model.byModelCode;
        info["variant_code"] = model.byVariantCode;
        info["firmware_version"] = firmware;
        info["hardware_version"] = hardware;
        info["boot_loader_version"] = haveBoot ? Json(bootLoader) : Json(nullptr);
        info["pressure_unit"] = UnitName(g_unit);
        info["library_version"] = VasqGetReleaseVersion();
        info["interface_version"] = VasqGetVersion();
        PrintJson(info);
    } else {
        printf("serial number:        %s\n", VasqGetSerialNumber());
        printf("model code:           0x%02X\n", model.byModelCode);
        printf("variant code:         %u\n", model.byVariantCode);
        printf("firmware version:     %s\n", firmware.c_str());
        printf("hardware version:     %s\n", hardware.c_str());
        if (haveBoot)
            printf("boot loader version:  %s\n", bootLoader.c_str());
        printf("pressure unit:        %s\n", UnitName(g_unit));
        printf("library version:      %s\n", VasqGetReleaseVersion());
        printf("interface version:    %s\n", VasqGetVersion());
    }
    VasqFree();
    return kExitSuccess;
}

int RunUnit(std::vector<std::string>& args)
{
    TakeJson(args);
    int wanted = -1;
    if (args.size() > 1 || (args.size() == 1 && !ParseUnit(args[0], wanted))) {
        Error("unit takes mmHg or kPa, or nothing");
        return kExitUsage;
    }
    if (int rc = Connect())
        return rc;
    if (wanted >= 0 && !VasqSetPressureUnit(wanted)) {
        Failure("switching to %s", UnitName(wanted));
        VasqFree();
        return kExitFailure;
    }
    const int unit = VasqGetPressureUnit();
    if (VasqGetLastError() != VASQ_ERROR_NONE) {
        Failure("reading the unit");
        VasqFree();
        return kExitFailure;
    }
    if (g_json) {
        Json result;
        result["pressure_unit"] = UnitName(unit);
        PrintJson(result);
    } else {
        printf("pressure unit: %s\n", UnitName(unit));
    }
    VasqFree();
    return wanted >= 0 && unit != wanted ? kExitFailure : kExitSuccess;
}

bool TakePorts(std::vector<std::string>& args, const char* name, std::vector<int>& ports)
{
    std::string list;
    bool given = false;
    if (!TakeOption(args, name, list, given))
        return false;
    size_t start = 0;
    while (given && start <= list.size()) {
        const size_t comma = list.find(',', start);
        int port = 0;
        if (!ParseInt(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start), 0, 4,
                      port)) {
            Error("%s takes air port numbers 0 to 4, comma separated", name);
            return false;
        }
        ports.push_back(port);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

int RunAirPort(std::vector<std::string>& args)
{
    TakeJson(args);
    std::vector<int> enable;
    std::vector<int> disable;
    const bool reset = TakeFlag(args, "--reset");
    if (!TakePorts(args, "--enable", enable) || !TakePorts(args, "--disable", disable) || !NoneLeft(args))
        return kExitUsage;
    if (int rc = Connect())
        return rc;
    Json result;
    if (reset || !enable.empty() || !disable.empty()) {
        if (reset)
            VasqResetAirPort();
        for (int port : enable)
            VasqEnableAirPort(port, true);
        for (int port : disable)
            VasqEnableAirPort(port, false);
        if (!VasqUpdateAirPort()) {
            Failure("sending the air-port setting");
            VasqFree();
            return kExitFailure;
        }
        std::string text = "air ports sent:";
        Json ports = Json::array();
        for (int port = 0; port <= 4; ++port) {
            const bool enabled = std::find(disable.begin(), disable.end(), port) == disable.end();
            text += Printf("%s port %d %s", port == 0 ? "" : ",", port, enabled ? "enabled" : "disabled");
            ports.push_back({{"port", port}, {"enabled", enabled}});
        }
        result["air_ports_sent"] = ports;
        if (!g_json)
            printf("%s\n", text.c_str());
    }
    bool bit1 = false;
    bool bit0 = false;
    if (!VasqGetAirPortStatus(&bit1, &bit0)) {
        Failure("reading the air-port status");
        VasqFree();
        return kExitFailure;
    }
    if (g_json) {
        result["air_port_status"] = {{"bit_1_set", bit1}, {"bit_0_set", bit0}};
        PrintJson(result);
    } else {
        printf("air-port status: bit 1 %s, bit 0 %s\n", bit1 ? "set" : "clear", bit0 ? "set" : "clear");
    }
    VasqFree();
    return kExitSuccess;
}

}  // namespace

const Command kInfoCommand = {
    "info",
    "usage: vasqctl [--port N] info [--json]\n"
    "  Prints the instrument's serial number, model and variant codes, firmware,\n"
    "  hardware and boot-loader versions, its pressure unit, the library's release and\n"
    "  the version of the library's interface.\n"
    "  --json     the same as one JSON object\n",
    RunInfo, "json"};

const Command kUnitCommand = {
    "unit",
    "usage: vasqctl [--port N] unit [mmHg|kPa] [--json]\n"
    "  Prints the instrument's pressure unit, or switches it (refused while a test runs).\n"
    "  --json     {\"pressure_unit\": \"mmHg\"}\n",
    RunUnit, "json"};

const Command kAirPortCommand = {
    "airport",
    "usage: vasqctl [--port N] airport [--reset] [--enable LIST] [--disable LIST] [--json]\n"
    "  Sends the air-port setting (ports 0 to 4, e.g. --disable 1,3; all others enabled)\n"
    "  and prints the air-port status. Every test start sends the setting of the program\n"
    "  that starts it, so a later 'vasqctl static' enables all ports again.\n"
    "  --json     the setting sent and the status as one JSON object\n",
    RunAirPort, "reset enable: disable: json"};

}  // namespace vasqctl
