// The commands, each defined in the file named after it (main.cpp lists them).
#pragma once

#include "Cli.h"

namespace vasqctl {

extern const Command kInfoCommand;          // info.cpp
extern const Command kListCommand;          // list.cpp
extern const Command kUnitCommand;          // info.cpp
extern const Command kAirPortCommand;       // info.cpp
extern const Command kSampleCommand;        // sample.cpp
extern const Command kStaticCommand;        // static.cpp
extern const Command kStopCommand;          // static.cpp
extern const Command kBPCommand;            // bp.cpp
extern const Command kLeakCommand;          // leak_overpressure.cpp
extern const Command kOverpressureCommand;  // leak_overpressure.cpp
extern const Command kEnvelopeCommand;      // envelope.cpp

}  // namespace vasqctl
