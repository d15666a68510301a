// Starting a test, and following its reports to its end (--wait) or leaving it running.
#pragma once

#include <functional>
#include <string>

#include "Output.h"
#include "vasq.h"

namespace vasqctl {

// One report of the test's callback: `text` labels every value it shows
// (after the status), `fields` hold every value the callback gave.
void Report(VasqStatus status, const std::string& text, Json fields);

// Seconds since the test was started, for the reports.
double SecondsSinceStart();

// Starts the test with `start` (which calls the library's start and says
// whether it started). Without `wait` leaves it running; with it follows the
// reports to COMPLETED and stops it, also on a signal or a lost instrument.
// `settings` describe the test in the JSON lines. Returns the exit code and
// releases the instrument unless the test is left running.
int StartTest(const char* what, const Json& settings, bool wait, const std::function<bool()>& start);

}  // namespace vasqctl
