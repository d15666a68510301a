/* A typical bench session with a Vasq9, written against <vasq.h> alone:
   connect, identify the instrument, check the unit, then a static pressure,
   a default and a customised BP simulation, a leakage and an overpressure
   test, a few seconds of live pressure, and the release of the instrument.

   usage: vasq-session [PORT]     (PORT: the N of /dev/ttyACM<N>; default: scan)

   The test callbacks run on the library's worker threads; main waits for the
   report it needs under a mutex, with a deadline, so a device that never
   completes cannot hang the session. */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <vasq.h>

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;
static int g_completed; /* reports of STATUS_COMPLETED since the last start */
static struct timespec g_start;
static const char* g_unit = "mmHg";

/* Sampling statistics, kept by the sampling thread. */
static long g_samples;
static double g_minimum, g_maximum, g_last;

static const char* StatusName(VasqStatus status)
{
    switch (status) {
    case STATUS_WAIT_STABLE: return "WAIT_STABLE";
    case STATUS_RUNNING: return "RUNNING";
    case STATUS_HOLDING: return "HOLDING";
    case STATUS_COMPLETED: return "COMPLETED";
    default: return "NONE";
    }
}

/* One line of the session log: wall-clock time, seconds since the start, text. */
static void Log(const char* format, ...)
{
    struct timespec now, wall;
    struct tm local;
    char stamp[16];
    char text[256];
    va_list args;
    double elapsed;

    clock_gettime(CLOCK_MONOTONIC, &now);
    clock_gettime(CLOCK_REALTIME, &wall);
    localtime_r(&wall.tv_sec, &local);
    strftime(stamp, sizeof(stamp), "%H:%M:%S", &local);
    elapsed = (double)(now.tv_sec - g_start.tv_sec) + (now.tv_nsec - g_start.tv_nsec) / 1e9;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    printf("%s.%03ld  +%7.3f s  %s\n", stamp, wall.tv_nsec / 1000000L, elapsed, text);
    fflush(stdout);
}

static void NoteCompleted(VasqStatus status)
{
    if (status != STATUS_COMPLETED)
        return;
    pthread_mutex_lock(&g_lock);
    ++g_completed;
    pthread_cond_broadcast(&g_changed);
    pthread_mutex_unlock(&g_lock);
}

static void ResetCompleted(void)
{
    pthread_mutex_lock(&g_lock);
    g_completed = 0;
    pthread_mutex_unlock(&g_lock);
}

/* Waits for a COMPLETED report; 0 when none came within the seconds given. */
static int WaitCompleted(int seconds)
{
    struct timespec deadline;
    int done;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += seconds;
    pthread_mutex_lock(&g_lock);
    while (g_completed == 0) {
        if (pthread_cond_timedwait(&g_changed, &g_lock, &deadline) != 0)
            break;
    }
    done = g_completed > 0;
    pthread_mutex_unlock(&g_lock);
    if (!done)
        Log("  no completion within %d s", seconds);
    return done;
}

static void OnConnection(bool connected)
{
    Log("connection: %s", connected ? "instrument connected" : "instrument lost");
}

static void OnStatic(VasqStatus status, double waitStableSeconds, int testResult)
{
    Log("  static   %-11s wait-stable %4.1f s   test result %d", StatusName(status), waitStableSeconds, testResult);
    NoteCompleted(status);
}

static void OnBP(VasqStatus status, double r1, double r2, double r3, double r4)
{
    if (status == STATUS_COMPLETED)
        Log("  BP       %-11s systolic %.1f %s   results 2-4: %.1f  %.1f  %.1f", StatusName(status), r1, g_unit, r2,
            r3, r4);
    else
        Log("  BP       %-11s", StatusName(status));
    NoteCompleted(status);
}

static void OnLeak(VasqStatus status, double waitStableSeconds, double leakValue, int resultCode)
{
    Log("  leakage  %-11s wait-stable %4.1f s   leak %.2f %s   result code %d", StatusName(status),
        waitStableSeconds, leakValue, g_unit, resultCode);
    NoteCompleted(status);
}

static void OnOverpressure(VasqStatus status, double waitStableSeconds, double r1, double r2, double r3, double r4,
                           double r5, double r6)
{
    if (status == STATUS_COMPLETED)
        Log("  overpr.  %-11s wait-stable %4.1f s   peak %.1f %s   results 2-6: %.1f %.1f %.1f %.1f %.1f",
            StatusName(status), waitStableSeconds, r1, g_unit, r2, r3, r4, r5, r6);
    else
        Log("  overpr.  %-11s wait-stable %4.1f s", StatusName(status), waitStableSeconds);
    NoteCompleted(status);
}

static void OnSample(double pressure)
{
    pthread_mutex_lock(&g_lock);
    if (g_samples == 0 || pressure < g_minimum)
        g_minimum = pressure;
    if (g_samples == 0 || pressure > g_maximum)
        g_maximum = pressure;
    g_last = pressure;
    ++g_samples;
    pthread_mutex_unlock(&g_lock);
}

static void Pause(double seconds)
{
    struct timespec t;
    t.tv_sec = (time_t)seconds;
    t.tv_nsec = (long)((seconds - (double)t.tv_sec) * 1e9);
    while (nanosleep(&t, &t) != 0) {
    }
}

/* Runs one test to completion: the start, the wait for its COMPLETED report, the stop. */
static int Finish(const char* name, int started)
{
    int ok;
    if (!started) {
        Log("%s: the instrument refused the start", name);
        return 0;
    }
    ok = WaitCompleted(30);
    VasqStopTest();
    Log("%s: %s, test stopped", name, ok ? "done" : "FAILED");
    return ok;
}

static void ShowSampling(double seconds)
{
    long count;
    double minimum, maximum, last;
    pthread_mutex_lock(&g_lock);
    g_samples = 0;
    pthread_mutex_unlock(&g_lock);
    if (!VasqStartSampling(OnSample)) {
        Log("sampling: refused");
        return;
    }
    Log("sampling: live cuff pressure at %d samples/s for %.0f s", VasqGetSampleRate(), seconds);
    Pause(seconds);
    VasqStopSampling();
    pthread_mutex_lock(&g_lock);
    count = g_samples;
    minimum = g_minimum;
    maximum = g_maximum;
    last = g_last;
    pthread_mutex_unlock(&g_lock);
    Log("  %ld samples, %.1f to %.1f %s, last %.1f %s", count, minimum, maximum, g_unit, last, g_unit);
}

int main(int argc, char** argv)
{
    int port = -1;
    int ok = 1;
    MODEL_INFORMATION model;
    HW_INFORMATION hardware;
    BPCommon bp;
    BPEnvelopeCustomized custom;

    if (argc > 2 || (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0))) {
        printf("usage: %s [PORT]\n  Walks through a bench session with the Vasq9 on /dev/ttyACM<PORT> "
               "(default: the first one found).\n", argv[0]);
        return argc == 2 ? 0 : 2;
    }
    if (argc == 2)
        port = atoi(argv[1]);
    clock_gettime(CLOCK_MONOTONIC, &g_start);

    Log("libvasq %s (interface %s), looking for a Vasq9 %s", VasqGetReleaseVersion(), VasqGetVersion(),
        port < 0 ? "on any port" : "on the given port");
    if (!VasqConnect(port, 5000)) {
        Log("no Vasq9 found within 5 s");
        return 1;
    }
    Log("connected");
    /* From here on the library's connection thread reports a loss (and a return). */
    VasqInit(OnConnection);

    /* Identity */
    if (!VasqGetDeviceInformation(&model) || !VasqGetHWInformation(&hardware)) {
        Log("identity: cannot be read");
        VasqFree();
        return 1;
    }
    Log("identity: serial number %s, model 0x%02X variant %u", VasqGetSerialNumber(), model.byModelCode,
        model.byVariantCode);
    Log("identity: firmware %d.%d.%d, hardware %d.%d", hardware.nFWVersion1, hardware.nFWVersion2,
        hardware.nFWVersion3, hardware.nHWVersion1, hardware.nHWVersion2);

    /* Unit: this session works in mmHg. */
    if (VasqGetPressureUnit() == 1) {
        Log("unit: the instrument works in kPa; switching to mmHg");
        if (!VasqSetPressureUnit(0)) {
            Log("unit: the instrument refused mmHg");
            VasqFree();
            return 1;
        }
    }
    Log("unit: mmHg");

    /* Static pressure */
    Log("static pressure: 150 mmHg");
    ResetCompleted();
    ok &= Finish("static pressure", VasqRunStaticPressure(150.0, -1, OnStatic, false));

    /* BP simulation with the instrument's default envelope */
    memset(&bp, 0, sizeof(bp));
    bp.eMethod = BP_METHOD_DEFAULT;
    bp.dSystolic = 120.0;
    bp.dDiastolic = 80.0;
    bp.nHeartRate = 72;
    bp.dPulseVolume = 1.0;
    Log("BP simulation, default envelope: 120/80 mmHg, 72 bpm, pulse volume 1.0");
    ResetCompleted();
    ok &= Finish("BP simulation (default)", VasqRunBPTest(&bp, OnBP));

    /* BP simulation with a customised envelope: ten control points over pressure */
    memset(&custom, 0, sizeof(custom));
    custom.eMethod = BP_METHOD_CUSTOMIZED;
    custom.dSystolic = 140.0;
    custom.dDiastolic = 90.0;
    custom.nHeartRate = 80;
    custom.dPulseVolume = 1.2;
    custom.dTopPressure = 300.0;
    custom.dUpperBasePressure = 200.0;
    custom.dUpperPeakPressure = 125.0;
    custom.dLowerPeakPressure = 100.0;
    custom.dLowerBasePressure = 50.0;
    custom.dBottomPressure = 20.0;
    custom.nSystolicAmplitude = 70;
    custom.nLowerPeakAmplitude = 110;
    custom.nUpperPeakAmplitude = 120;
    custom.nDiastolicAmplitude = 80;
    custom.nBaseAmplitude = 30;
    Log("BP simulation, customised envelope: 140/90 mmHg, 80 bpm, peak amplitude 120 at 125 mmHg");
    ResetCompleted();
    ok &= Finish("BP simulation (customised)", VasqRunBPTest(&custom, OnBP));

    /* Leakage test */
    Log("leakage test: 200 mmHg, allowed leak 5.0 mmHg");
    ResetCompleted();
    ok &= Finish("leakage test", VasqRunLeakageTest(200.0, 60, 5.0, OnLeak));

    /* Overpressure test */
    Log("overpressure test: 300, 280 and 250 mmHg");
    ResetCompleted();
    ok &= Finish("overpressure test", VasqRunOverpressureTest(true, 300.0, 280.0, 250.0, OnOverpressure));

    /* Live pressure while the instrument holds a static pressure */
    Log("static pressure: 100 mmHg for the live pressure");
    ResetCompleted();
    if (VasqRunStaticPressure(100.0, -1, NULL, false)) {
        ShowSampling(2.0);
        VasqStopTest();
        Log("static pressure: stopped");
    } else {
        Log("static pressure: the instrument refused the start");
        ok = 0;
    }

    VasqFree();
    Log("session %s; instrument released", ok ? "complete" : "ended with failures");
    return ok ? 0 : 1;
}
