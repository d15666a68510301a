#include "api/Instrument.h"

#include "platform/Diagnostics.h"
#include "platform/InitOrder.h"

Instrument::Instrument()
    : m_connection(NewConnectionState(), DeleteConnectionState), m_workers(NewWorkerState(), DeleteWorkerState)
{
}

Instrument::~Instrument()
{
    EndWatch();
}

namespace {

struct DefaultInstrumentHolder {
    DefaultInstrumentHolder() { SetDefaultDevice(&*instrument); }
    // The default device stays reachable while it is destroyed.
    ~DefaultInstrumentHolder() { SetDefaultLogSubject(nullptr); }
    ParentOnly<Instrument> instrument;
};
DefaultInstrumentHolder VASQ_INIT_DEVICE s_default;

}  // namespace

Instrument& DefaultInstrument()
{
    return *s_default.instrument;
}
