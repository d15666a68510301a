/**
 * @file vasq.h
 * @brief libvasq: drives the Vasq9 blood-pressure simulator and analyser.
 *
 * The C interface of the library: the life cycle, identity, unit, sampling,
 * air-port, test and envelope functions, the records they exchange and the
 * callback types. Read @ref threading before writing a callback.
 *
 * Every function returns a success flag (1 or true) or a value; a failure is
 * 0, false or an empty text, without message or error code. The library never
 * retries a failed exchange and never converts units.
 */
#ifndef VASQ_H
#define VASQ_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** Marks a function that the shared library exports. */
#define VASQ_API __attribute__((visibility("default")))

/** Model identity of the device, copied whole; field order and widths are fixed. */
typedef struct MODEL_INFORMATION {
    char chSignature[2];   /**< "QX"; 0xFF 0xFF while the identity is unwritten */
    uint8_t byModelCode;   /**< 0x70 */
    uint8_t byVariantCode; /**< the model's variant */
    int32_t nSerialGroup;  /**< first part of the serial number */
    int32_t nSerialIndex;  /**< second part of the serial number, 0 to 9999 */
} MODEL_INFORMATION;

/** Firmware and hardware versions of the device, copied whole. */
typedef struct HW_INFORMATION {
    int32_t nFWVersion1; /**< firmware version, first number */
    int32_t nFWVersion2; /**< firmware version, second number */
    int32_t nFWVersion3; /**< firmware version, third number */
    int32_t nHWVersion1; /**< hardware version, first number */
    int32_t nHWVersion2; /**< hardware version, second number */
} HW_INFORMATION;

/** Boot loader version of the device, copied whole. */
typedef struct BOOTLOADER_INFORMATION {
    int32_t nBootVersion1; /**< first number */
    int32_t nBootVersion2; /**< second number */
    int32_t nBootVersion3; /**< third number */
} BOOTLOADER_INFORMATION;

/** Simulation method: selects an envelope parameter set of the device; only the low byte travels. */
typedef enum BPMethodType {
    BP_METHOD_DEFAULT = 0,   /**< the device's default envelope (record BPCommon) */
    BP_METHOD_CUSTOMIZED = 1 /**< a customised envelope (record BPEnvelopeCustomized) */
} BPMethodType;

/**
 * Common BP simulation parameters. Pressures are in the current unit. The
 * library clamps the values to their limits and writes them back.
 */
typedef struct BPCommon {
    int32_t eMethod;         /**< BPMethodType: 0 for this record */
    double dSystolic;        /**< systolic pressure */
    double dDiastolic;       /**< diastolic pressure */
    uint32_t nHeartRate;     /**< beats per minute, 30 to 300 */
    double dPulseVolume;     /**< 0.1 to 2.0 */
    double dSystolicOffset;  /**< offset added to the systolic pressure */
    double dDiastolicOffset; /**< offset added to the diastolic pressure */
} BPCommon;

/**
 * A customised envelope: the BPCommon fields, then the envelope's points
 * (pressures in the current unit, amplitudes in the device's scale).
 */
typedef struct BPEnvelopeCustomized {
    int32_t eMethod;              /**< BPMethodType: 1 for this record */
    double dSystolic;             /**< systolic pressure */
    double dDiastolic;            /**< diastolic pressure */
    uint32_t nHeartRate;          /**< beats per minute, 30 to 300 */
    double dPulseVolume;          /**< 0.1 to 2.0 */
    double dSystolicOffset;       /**< offset added to the systolic pressure */
    double dDiastolicOffset;      /**< offset added to the diastolic pressure */
    double dTopPressure;          /**< where the envelope ends (amplitude 0 from here) */
    double dUpperBasePressure;    /**< upper end of the base amplitude */
    double dUpperPeakPressure;    /**< the upper peak */
    double dLowerPeakPressure;    /**< the lower peak */
    double dLowerBasePressure;    /**< lower end of the base amplitude */
    double dBottomPressure;       /**< where the envelope starts (amplitude 0 below) */
    int32_t nSystolicAmplitude;   /**< amplitude at the systolic pressure */
    int32_t nLowerPeakAmplitude;  /**< amplitude at the lower peak */
    int32_t nUpperPeakAmplitude;  /**< amplitude at the upper peak */
    int32_t nDiastolicAmplitude;  /**< amplitude at the diastolic pressure */
    int32_t nBaseAmplitude;       /**< amplitude between the base pressures and the peaks' outer sides */
} BPEnvelopeCustomized;

/** Limit kinds: each selects an (upper, lower) pair of the limit table of a unit. */
typedef enum VasqLimitKind {
    LIMIT_STATIC_PRESSURE = 0,      /**< static pressure, leakage pressure, first overpressure */
    LIMIT_SYSTOLIC = 2,             /**< systolic pressure */
    LIMIT_DIASTOLIC = 4,            /**< diastolic pressure */
    LIMIT_POINT_OFFSET = 6,         /**< systolic and diastolic offsets */
    LIMIT_OVERPRESSURE_SECOND = 8,  /**< second overpressure */
    LIMIT_OVERPRESSURE_THIRD = 10,  /**< third overpressure */
    LIMIT_ENVELOPE_PRESSURE = 12,   /**< envelope pressures */
    LIMIT_HEART_RATE = 14,          /**< heart rate */
    LIMIT_PULSE_VOLUME = 16         /**< pulse volume */
} VasqLimitKind;

/** Operating function selected on the device before a test starts. */
typedef enum FUNCTION_ENUM {
    FUNCTION_STATIC_PRESSURE = 0,     /**< static pressure */
    FUNCTION_BP_TEST = 2,             /**< BP simulation */
    FUNCTION_LEAKAGE_TEST = 3,        /**< leakage test */
    FUNCTION_LEAKAGE_CALIBRATION = 4, /**< leakage calibration */
    FUNCTION_OVERPRESSURE_TEST = 5,   /**< overpressure test */
    FUNCTION_CALIBRATION_OFF = 8      /**< leaves calibration mode */
} FUNCTION_ENUM;

/**
 * Status of a running test, the first argument of every test callback.
 * Device codes 2 and 10 read as RUNNING, 12 as HOLDING, 13 as WAIT_STABLE,
 * 14 as COMPLETED, every other code as NONE. Passed as a 32-bit integer.
 */
typedef enum VasqStatus {
    STATUS_NONE = 0,        /**< no test, or a device code without meaning here */
    STATUS_WAIT_STABLE = 1, /**< waiting for a stable pressure (device code 13) */
    STATUS_RUNNING = 2,     /**< running (device codes 2 and 10; also the first report after a start) */
    STATUS_HOLDING = 3,     /**< holding the pressure (device code 12) */
    STATUS_COMPLETED = 4    /**< completed; the results are in the report (device code 14) */
} VasqStatus;

/**
 * @page threading Threads and callbacks
 *
 * Every function of the library may be called from any thread. One lock (the
 * <b>API lock</b>) serialises all traffic with the device: a call that talks
 * to the device waits until the exchange of any other thread has ended. The
 * lock is re-entrant.
 *
 * - ::ConnectedCallback runs on the library's connection thread, without the
 *   API lock. It may call any function; VasqFree() from it releases the
 *   device without waiting for the thread it runs on.
 * - The test callbacks (::BPTestCallback, ::LeakageTestCallback,
 *   ::OverpressureTestCallback, ::StaticPressureCallback) run on the test's
 *   worker thread. The first report after a start is made without the API
 *   lock; every later report is made while the worker holds it, so the device
 *   is not polled by anyone else until the callback returns: return promptly.
 *   From a test callback you may call the functions that only talk to the
 *   device (VasqStopTest(), VasqGetWaitStableTime(), ...). VasqStopSampling()
 *   there stops sampling without waiting for the sampling thread, and while
 *   sampling runs VasqSetPressureUnit() returns 0 and changes nothing.
 *   VasqFree() there releases the device without waiting for the library's
 *   threads: they end by themselves once the callback has returned.
 * - ::SamplingCallback runs on the library's sampling thread, ten times in a
 *   row every 50 ms, without the API lock; it may call functions that talk to
 *   the device. VasqStopSampling() there stops sampling without waiting for
 *   the thread it runs on; VasqSetPressureUnit() there returns 0 and changes
 *   nothing.
 *
 * <b>No callback after its stop.</b> Once VasqStopSampling(), VasqStopTest()
 * or VasqFree() has returned on a thread that is not one of the library's
 * callback threads, no callback of the kinds it stopped runs or will run.
 * Called from inside a callback (any kind), a stop does not wait: the
 * callbacks it stopped that are running at that moment finish, and no further
 * one starts; the rest of a ten-sample burst is not delivered. A start right
 * after such a stop starts anew: it never reports success without running.
 * A callback that waits for another thread which calls one of these stops
 * deadlocks: return promptly instead.
 *
 * <b>One worker per kind.</b> A start of a test kind (BP, leakage test or
 * calibration, overpressure, static pressure) ends the workers of that kind
 * still running: they make no further report. Each worker reports only to the
 * callback given to the start that made it.
 * - ::UpdateProgressCallback runs on the thread that called
 *   VasqUpdateFwBurnBinFile().
 *
 * A start stores its callback only once the device has accepted the start. A
 * null callback is accepted: the worker then ends at once (sampling still
 * fetches samples and drops them).
 *
 * Worker threads and the sampling thread are always joined (by the next start,
 * a stop, VasqFree() or the unload of the library), never left running library
 * code. Periodic timers run on a thread of the library: the library installs
 * no signal handlers and interrupts no system call of the application.
 */

/**
 * Reports a connection change.
 * @param connected true once a device is connected and identified, false once it is lost.
 * @par Thread and lock
 * The library's connection thread, without the API lock (see @ref threading).
 */
typedef void (*ConnectedCallback)(bool connected);
/**
 * Reports a BP test's status and results.
 * @param status the test's status.
 * @param result1 systolic pressure in the current unit; 0.0 until the device has reported it.
 * @param result2 second result, in tenths as the device gives it; 0.0 until reported.
 * @param result3 third result, in tenths; 0.0 until reported.
 * @param result4 fourth result, in tenths; 0.0 until reported.
 * @par Thread and lock
 * The test's worker thread; the first report without the API lock, every later one holding it.
 */
typedef void (*BPTestCallback)(VasqStatus status, double result1, double result2, double result3,
                               double result4);
/**
 * Reports a leakage test's or a leakage calibration's status and result.
 * @param status the test's status.
 * @param waitStableSeconds the device's wait-stable time in seconds.
 * @param leakValue the leak value (the calibration value for a calibration).
 * @param resultCode the device's result code, 0 to 255.
 * @par Thread and lock
 * The test's worker thread; the first report without the API lock, every later one holding it.
 */
typedef void (*LeakageTestCallback)(VasqStatus status, double waitStableSeconds, double leakValue,
                                    int resultCode);
/**
 * Reports an overpressure test's status and results.
 * @param status the test's status.
 * @param waitStableSeconds the device's wait-stable time in seconds.
 * @param result1 first result, a pressure in the current unit.
 * @param result2 second result, in tenths as the device gives it.
 * @param result3 third result, in tenths.
 * @param result4 fourth result, in tenths.
 * @param result5 fifth result, in tenths.
 * @param result6 sixth result, in tenths.
 * @par Thread and lock
 * The test's worker thread; the first report without the API lock, every later one holding it.
 */
typedef void (*OverpressureTestCallback)(VasqStatus status, double waitStableSeconds, double result1,
                                         double result2, double result3, double result4, double result5,
                                         double result6);
/**
 * Reports a static-pressure run's status and result.
 * @param status the run's status.
 * @param waitStableSeconds the device's wait-stable time in seconds.
 * @param testResult the device's test result.
 * @par Thread and lock
 * The run's worker thread; the first report without the API lock, every later one holding it.
 */
typedef void (*StaticPressureCallback)(VasqStatus status, double waitStableSeconds, int testResult);
/**
 * Delivers one cuff-pressure sample.
 * @param pressure the sample in the current unit.
 * @par Thread and lock
 * The library's sampling thread, ten calls in a row every 50 ms, without the API lock.
 */
typedef void (*SamplingCallback)(double pressure);
/**
 * Reports the progress of a firmware update.
 * @param stage the update's stage.
 * @param progress progress within the stage.
 * @param total the value progress reaches at the end of the stage.
 * @par Thread and lock
 * The thread that called VasqUpdateFwBurnBinFile().
 */
typedef void (*UpdateProgressCallback)(int stage, unsigned int progress, unsigned int total);

/* Life cycle. */

/**
 * Starts the connection thread, which searches every port (ttyACM0 to
 * ttyACM127), connects to the first Vasq9 and reconnects after a loss.
 * @param callback called on each connection change; may be null. Replaces the
 *        callback of a connection thread that already runs.
 * @return true when the connection thread runs (also when it already ran).
 * @par Thread and lock
 * Any thread; takes the API lock briefly. Returns at once: the search goes on
 * in the background.
 */
VASQ_API bool VasqInit(ConnectedCallback callback);
/**
 * Waits for a device on a port.
 * @param portNumber the port to use: -1 searches ttyACM0 to ttyACM127; 0 or
 *        more tries that port as given (ttyACM200 too); below -1 fails at once.
 * @param timeoutMs the longest wait in milliseconds; 0xFFFFFFFF waits without limit.
 * @return true at once when a device is already connected on such a port;
 *         true when one connects within the wait, also through another
 *         thread's VasqConnect() (then nothing is released); false when
 *         another thread's VasqFree() ends the wait; false otherwise, after
 *         VasqFree() has released everything.
 * @par Thread and lock
 * Any thread but a callback's; takes the API lock briefly and waits without
 * it. Starts the connection thread as VasqInit() does, without an
 * application callback: a ::ConnectedCallback given to VasqInit() is not
 * called after VasqConnect().
 */
VASQ_API bool VasqConnect(int portNumber, uint32_t timeoutMs);
/**
 * Stops sampling and any test, tells the device to stop, releases the device
 * and its lock file and ends the connection thread.
 * @par Thread and lock
 * Any thread. Takes the API lock for each step; waits for the library's
 * threads to end (within a search period plus about a second), except when
 * called from a callback: then the threads end by themselves once the
 * callback has returned, and a later call or the unload joins them.
 */
VASQ_API void VasqFree(void);

/* Identity. */

/**
 * Copies the model identity read when the device was identified; asks the
 * device nothing.
 * @param info receives the record; null fails.
 * @return 1 whenever the record was copied: without a device (none identified
 *         yet, or lost or released since) the record is all zero.
 * @par Thread and lock
 * Any thread; holds the API lock while it copies.
 */
VASQ_API int VasqGetDeviceInformation(MODEL_INFORMATION* info);
/**
 * Copies the firmware and hardware versions read when the device was
 * identified; asks the device nothing.
 * @param info receives the record; null fails.
 * @return 1 whenever the record was copied: without a device (none identified
 *         yet, or lost or released since) the record is all zero.
 * @par Thread and lock
 * Any thread; holds the API lock while it copies.
 */
VASQ_API int VasqGetHWInformation(HW_INFORMATION* info);
/**
 * The serial number of the connected device.
 * @return the serial number, or "" when there is none; the text lives in
 *         static storage that the next call overwrites.
 * @par Thread and lock
 * Any thread; holds the API lock while it formats the text.
 */
VASQ_API const char* VasqGetSerialNumber(void);

/* Pressure unit: 0 = mmHg, 1 = kPa. The library never converts values: every
   pressure argument and result is in the current unit. */

/**
 * Switches the device's pressure unit; every later pressure is in it.
 * @param unit 0 for mmHg, 1 for kPa; any other code fails at once and sends nothing.
 * @return 1 on success; 0 when the switch failed or was refused: while a test
 *         runs (device status other than 0, 3 or 14), and from a test or
 *         sampling callback while sampling runs. A status query that fails
 *         reads as 0: the switch goes on (the log gets a warning).
 * @par Thread and lock
 * Any thread; holds the API lock for each exchange. When sampling runs it is
 * stopped (waiting for the sampling thread) and restarted around the switch.
 */
VASQ_API int VasqSetPressureUnit(int unit);
/**
 * Reads the unit from the device and makes it the library's, together with
 * the resolution that samples and leak values are divided by (10 in mmHg,
 * 100 in kPa).
 * @return 0 (mmHg) or 1 (kPa). When the read fails, or the device answers a
 *         code other than 0 and 1, the result is 0 and the library keeps the
 *         unit it held.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchange.
 */
VASQ_API int VasqGetPressureUnit(void);
/**
 * Sets the device's zeroing (rebase-zero) state, sending it only when it differs.
 * @param on the state wanted.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchanges.
 */
VASQ_API int VasqRebaseZero(bool on);

/* Sampling. */

/**
 * Starts sampling: 200 cuff-pressure samples per second, delivered to the
 * callback on the sampling thread. A second start only replaces the callback.
 * @param callback receives each sample; null fetches samples and drops them.
 * @return 1 when the sampling thread runs, 0 when it could not be started.
 * @par Thread and lock
 * Any thread; holds the API lock briefly. Joins a sampling thread that ended
 * by itself.
 */
VASQ_API int VasqStartSampling(SamplingCallback callback);
/**
 * Stops sampling and waits for the sampling thread: once it has returned no
 * sample is delivered.
 * @par Thread and lock
 * Any thread; holds the API lock briefly and waits without it. On the
 * sampling thread or a test's worker thread (from a callback) it stops
 * sampling without waiting: no further sample is delivered after the
 * callback running now, the thread ends at its next tick and is joined later,
 * and a start right after it starts a new thread.
 */
VASQ_API void VasqStopSampling(void);
/**
 * The sampling rate.
 * @return always 200 (samples per second), with or without a device.
 * @par Thread and lock
 * Any thread; no lock.
 */
VASQ_API int VasqGetSampleRate(void);

/* Air ports: bit n of the library's mask set = port n disabled. The mask
   reaches the device with VasqUpdateAirPort and with every test start. */

/**
 * Enables or disables an air port in the library's mask (nothing is sent).
 * @param port the port, 0 to 4; below 0 acts on port 0, above 4 on port 4.
 * @param enable true clears the port's bit, false sets it.
 * @return always 1.
 * @par Thread and lock
 * Any thread; holds the API lock briefly.
 */
VASQ_API int VasqEnableAirPort(int port, bool enable);
/**
 * Enables every air port in the library's mask (nothing is sent).
 * @return always 1.
 * @par Thread and lock
 * Any thread; holds the API lock briefly.
 */
VASQ_API int VasqResetAirPort(void);
/**
 * Sends the library's air-port mask to the device's relays.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchange.
 */
VASQ_API int VasqUpdateAirPort(void);
/**
 * Pauses the device's pump.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchange.
 */
VASQ_API int VasqPausePump(void);

/* Tests. A start sends the air-port mask, selects the operating function,
   writes the settings and starts the test, holding the API lock throughout;
   then a worker thread polls the device every 200 ms and reports changes.

   A device may go on with a test it runs when a start comes. So a start
   first ends a test that this process started and that may still run (one
   not stopped, or not yet seen complete), as VasqStopTest() does; nothing is
   added when none may run. The worker reads and reports a result only once
   the device has shown the started test in progress (device code 10 for a
   BP simulation; 2, 10 or 13 for a leakage or overpressure test; 2, 10, 12
   or 13 for a static pressure): a completion shown before that is another
   test's, and a first report never says COMPLETED. When the device
   completes another test instead, or shows none of the kind within 5 s, it
   has not taken the start: the worker logs why, makes a last report of
   STATUS_NONE and ends. */

/**
 * Tells the device to stop any test and ends every test worker at its next poll.
 * @return always 1, also when the device could not be told.
 * @par Thread and lock
 * Any thread, also from a test callback; holds the API lock for the
 * exchanges. Once it has returned on a thread other than a callback's, no
 * report of the stopped workers runs or will run; from a callback, no further
 * report starts. It joins the workers that have already ended and does not
 * wait for the others: they end at their next poll (within 200 ms) and are
 * joined by the next start, stop, VasqFree() or the unload.
 */
VASQ_API int VasqStopTest(void);
/**
 * Starts a BP simulation.
 * @param parameters a BPCommon (eMethod 0) or a BPEnvelopeCustomized
 *        (eMethod 1; its 360-point table in mmHg or 479-point table in kPa is
 *        sent too), clamped to the limits in place; null fails before
 *        anything is sent.
 * @param callback receives the reports; stored once the device runs the test.
 * @return 1 once the device runs the test and its worker reports to the
 *         callback; 0 when a step failed (nothing stored).
 * @par Thread and lock
 * Any thread; holds the API lock for the whole start. The callback runs on
 * the test's worker thread (see @ref threading).
 */
VASQ_API int VasqRunBPTest(void* parameters, BPTestCallback callback);
/**
 * Starts a leakage test.
 * @param dPressure test pressure in the current unit, clamped to LIMIT_STATIC_PRESSURE.
 * @param nLeakParam leakage parameter, passed to the device unscaled.
 * @param dLeakRate leak rate, passed to the device.
 * @param callback receives the reports; stored once the device runs the test.
 * @return 1 once the device runs the test and its worker reports; 0 when a step failed.
 * @par Thread and lock
 * Any thread; holds the API lock for the whole start. The callback runs on
 * the test's worker thread.
 */
VASQ_API int VasqRunLeakageTest(double dPressure, int nLeakParam, double dLeakRate,
                                LeakageTestCallback callback);
/**
 * Starts a leakage calibration.
 * @param dPressure calibration pressure in the current unit, clamped to LIMIT_STATIC_PRESSURE.
 * @param callback receives the reports, the calibration value in place of the leak value.
 * @return 1 once the device runs the calibration and its worker reports; 0 when a step failed.
 * @par Thread and lock
 * Any thread; holds the API lock for the whole start. The callback runs on
 * the worker thread.
 */
VASQ_API int VasqRunLeakageCalibration(double dPressure, LeakageTestCallback callback);
/**
 * Reads the leakage calibration rate.
 * @param rate receives the rate in the library's unit; null reads it without storing it.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchange.
 */
VASQ_API int VasqGetLeakageCalibrationRate(double* rate);
/**
 * Starts an overpressure test.
 * @param bOverpressureFlag passed to the device as 0 or 1.
 * @param dPressure1 first pressure in the current unit, clamped to LIMIT_STATIC_PRESSURE.
 * @param dPressure2 second pressure, clamped to LIMIT_OVERPRESSURE_SECOND.
 * @param dPressure3 third pressure, clamped to LIMIT_OVERPRESSURE_THIRD.
 * @param callback receives the reports; stored once the device runs the test.
 * @return 1 once the device runs the test and its worker reports; 0 when a step failed.
 * @par Thread and lock
 * Any thread; holds the API lock for the whole start. The callback runs on
 * the test's worker thread.
 */
VASQ_API int VasqRunOverpressureTest(bool bOverpressureFlag, double dPressure1, double dPressure2,
                                     double dPressure3, OverpressureTestCallback callback);
/**
 * Starts a static-pressure run.
 * @param dPressure the pressure in the current unit, clamped to LIMIT_STATIC_PRESSURE.
 * @param nStaticParam passed to the device unscaled; a negative value keeps the device's value.
 * @param callback receives the reports; stored once the device runs the test.
 * @param bStaticFlag passed to the device as 0 or 1.
 * @return 1 once the device runs and its worker reports; 0 when a step failed.
 * @par Thread and lock
 * Any thread; holds the API lock for the whole start. The callback runs on
 * the run's worker thread.
 */
VASQ_API int VasqRunStaticPressure(double dPressure, int nStaticParam, StaticPressureCallback callback,
                                   bool bStaticFlag);
/**
 * Reads the device's wait-stable time.
 * @return the time in whole seconds; 0 when the query fails.
 * @par Thread and lock
 * Any thread, also from a test callback; holds the API lock for the exchange.
 */
VASQ_API int VasqGetWaitStableTime(void);

/* Envelope tables: 360 points in mmHg (0 to 359 mmHg), 479 in kPa (0.0 to
   47.8 kPa). */

/**
 * Computes the raw envelope table of a customised record; no device exchange.
 * @param record the envelope's points, read only; null fails.
 * @param pressures receives count pressures; null fails.
 * @param amplitudes receives count amplitudes; null fails.
 * @param count 360 for mmHg, 479 for kPa; any other count for those units fails.
 * @param unit 0 (mmHg), 1 (kPa) or -1 for the current unit.
 * @return 1 when the table is filled, 0 otherwise.
 * @par Thread and lock
 * Any thread; no lock.
 */
VASQ_API int VasqGetEnvelopeRawData(BPEnvelopeCustomized* record, double* pressures, double* amplitudes,
                                    int count, int unit);
/**
 * Sends a customised record and its raw table (in the current unit) to the device.
 * @param record the record, clamped to the limits in place; null fails.
 * @param pressures count pressures; null fails.
 * @param amplitudes count amplitudes; null fails.
 * @param count 360 in mmHg, 479 in kPa; any other count fails.
 * @return 1 once the device has taken the record and the whole table; 0 when
 *         either was refused or not acknowledged, or an argument is wrong.
 * @par Thread and lock
 * Any thread; holds the API lock for the whole transfer.
 */
VASQ_API int VasqSetEnvelopeRawData(BPEnvelopeCustomized* record, double* pressures, double* amplitudes,
                                    int count);

/**
 * Turns the device's adult cuff mode on or off.
 * @param adult true for adult mode.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchanges.
 */
VASQ_API int VasqSwitchToAdultMode(bool adult);
/**
 * Turns the 500 ml volume mode on or off.
 * @param on true for 500 ml mode.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchanges.
 */
VASQ_API int VasqSwitchTo500mlMode(bool on);
/**
 * Reads the volume mode.
 * @return 1 when the device is in 500 ml mode; 0 when it is not or the read failed.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchange.
 */
VASQ_API int VasqIs500mlMode(void);
/**
 * Names the picture that VasqWritePNG() uploads next.
 * @param name the file name; null, or one longer than a frame holds (255 bytes), fails.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchange.
 */
VASQ_API int VasqWritePNGFileName(const char* name);
/**
 * Uploads a picture to the device in acknowledged blocks.
 * @param data the picture's bytes; null fails.
 * @param length the number of bytes; 0 or less fails at once and sends nothing.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the whole transfer.
 */
VASQ_API int VasqWritePNG(char* data, int length);
/**
 * The version of the interface this library implements.
 * @return the constant text "1.0.3.1", whatever the release and with or
 *         without a device, in static storage. VasqGetReleaseVersion() gives
 *         the release.
 * @par Thread and lock
 * Any thread; no lock.
 */
VASQ_API const char* VasqGetVersion(void);

/* The release. This function comes in addition to the interface above and
   changes nothing that its functions do or return. */

/**
 * The release of this library: the number of its packages, its pkg-config
 * and CMake package, its shared library's file name and the programs'
 * --version.
 * @return three numbers, "MAJOR.MINOR.PATCH" (for example "1.2.0"), in static
 *         storage.
 * @par Thread and lock
 * Any thread; no lock.
 */
VASQ_API const char* VasqGetReleaseVersion(void);

/* Failure reasons and the log. These functions come in addition to the
   interface above and change nothing that its functions do or return. */

/**
 * Why the calling thread's last call into the library failed.
 * Every exported function sets it before it returns: ::VASQ_ERROR_NONE when
 * it succeeded, otherwise the code that fits, also when its result cannot show
 * the failure (VasqGetSerialNumber() without a device gives
 * ::VASQ_ERROR_NOT_CONNECTED; a failed VasqGetPressureUnit() the exchange's
 * code). Each thread has its own; another thread's calls never change it.
 */
typedef enum VasqError {
    VASQ_ERROR_NONE = 0,             /**< the call succeeded */
    VASQ_ERROR_NOT_CONNECTED = 1,    /**< no instrument is connected */
    VASQ_ERROR_NOT_FOUND = 2,        /**< the search ended without a Vasq9 (the port named does not exist, or
                                          nothing that answered was one) */
    VASQ_ERROR_PORT_BUSY = 3,        /**< the port is held: by another device of this process, or by another
                                          process (its lock file); the text says which */
    VASQ_ERROR_ACCESS = 4,           /**< the port or the lock folder may not be opened by this user */
    VASQ_ERROR_TIMEOUT = 5,          /**< no answer within the read timeout */
    VASQ_ERROR_PROTOCOL = 6,         /**< a malformed frame, a bad checksum, an answer of the wrong size */
    VASQ_ERROR_REFUSED = 7,          /**< the instrument answered with a failure status */
    VASQ_ERROR_INVALID_ARGUMENT = 8, /**< a null record, an out-of-range number or code the call cannot use */
    VASQ_ERROR_BUSY = 9,             /**< refused in the library's present state (a unit switch from a callback,
                                          a test that is running, a call from inside the log callback, ...) */
    VASQ_ERROR_DEVICE_LOST = 10,     /**< the port hung up or disappeared during the call */
    VASQ_ERROR_FILE = 11,            /**< a file argument (picture, firmware, JSON) is missing or malformed */
    VASQ_ERROR_SYSTEM = 12           /**< any other failure of the system (thread, memory, I/O) */
} VasqError;

/**
 * The calling thread's code for its last call into the library.
 * @return a ::VasqError value.
 * @par Thread and lock
 * Any thread; no lock. Changes nothing, the last error included.
 */
VASQ_API int VasqGetLastError(void);
/**
 * Why the calling thread's last call failed, for people: one line (no
 * newline, at most 255 bytes) naming what helps to act, such as the port's
 * path, the command (category and code), the time waited, the system's error
 * text, the process holding a lock file or the status the instrument
 * answered; for a search over all ports, why each port was not taken.
 * @return "" after a success; the text stays valid until the thread's next
 *         call into the library.
 * @par Thread and lock
 * Any thread; no lock. Changes nothing, the last error included.
 */
VASQ_API const char* VasqGetLastErrorText(void);

/** Log levels: the first argument of ::VasqLogCallback. */
enum {
    VASQ_LOG_ERROR = 1,   /**< every failure that sets a code */
    VASQ_LOG_WARNING = 2, /**< late answers dropped, stream packets dropped, a stale lock taken over, a loss noticed */
    VASQ_LOG_INFO = 3,    /**< searches and each port's fate, connections and losses, test starts, status changes
                               and ends, sampling start and stop */
    VASQ_LOG_DEBUG = 4    /**< every frame sent and received, decoded and in hex, with the exchange's time */
};

/**
 * Receives one line of the log.
 * @param level 1 error, 2 warning, 3 info, 4 debug.
 * @param message one line without a newline, valid during the call.
 * @param context the pointer given to VasqSetLogCallback().
 *
 * Runs on the thread where the event happens, possibly while the library
 * holds its API lock: it must return promptly. The library's functions that
 * take a lock or talk to a device, VasqSetLogCallback() included, fail there
 * at once with ::VASQ_ERROR_BUSY and do nothing; VasqGetLastError(),
 * VasqGetLastErrorText(), VasqGetVersion(), VasqGetSampleRate() and
 * VasqGetEnvelopeRawData() work.
 */
typedef void (*VasqLogCallback)(int level, const char* message, void* context);
/**
 * Sets the process-wide log callback (off by default).
 * @param callback receives every line up to maxLevel; null turns logging off.
 * @param maxLevel the most detailed level wanted, 1 (errors) to 4 (frames).
 * @param context handed to every call of the callback.
 * @par Thread and lock
 * Any thread; from inside the log callback it fails with
 * ::VASQ_ERROR_BUSY and changes nothing. Once it has returned, the previous
 * callback is not called any more. With no callback the library formats
 * nothing.
 */
VASQ_API void VasqSetLogCallback(VasqLogCallback callback, int maxLevel, void* context);

/* Several instruments. These functions come in addition to the interface
   above and change nothing that its functions do or return: those work on the
   default device, which is none of the devices opened here.

   Each open device has its own port, lock file, unit, threads and lock; a
   slow or failing exchange on one never delays another. VasqDeviceX(device,
   ...) does what VasqX(...) does, for that device, with the same results,
   threads and locks, and sets the calling thread's last error the same way. A
   callback of a device runs on that device's threads and receives the
   context given with it. A null device fails with
   ::VASQ_ERROR_INVALID_ARGUMENT, as does a device that is closed already:
   no handle is given twice while the library is loaded, so a closed one never
   names a later device. Using a device while another thread closes it is the
   application's fault. */

/** One Vasq9 opened with VasqOpenDevice(). */
typedef struct VasqDevice VasqDevice;

/** Reports a device's connection change (see ::ConnectedCallback); context as registered. */
typedef void (*VasqDeviceConnectedCallback)(bool connected, void* context);
/** Delivers one sample of a device (see ::SamplingCallback); context as registered. */
typedef void (*VasqDeviceSamplingCallback)(double pressure, void* context);
/** Reports a device's BP test (see ::BPTestCallback); context as registered. */
typedef void (*VasqDeviceBPTestCallback)(VasqStatus status, double result1, double result2, double result3,
                                         double result4, void* context);
/** Reports a device's leakage test or calibration (see ::LeakageTestCallback); context as registered. */
typedef void (*VasqDeviceLeakageTestCallback)(VasqStatus status, double waitStableSeconds, double leakValue,
                                              int resultCode, void* context);
/** Reports a device's overpressure test (see ::OverpressureTestCallback); context as registered. */
typedef void (*VasqDeviceOverpressureTestCallback)(VasqStatus status, double waitStableSeconds, double result1,
                                                   double result2, double result3, double result4,
                                                   double result5, double result6, void* context);
/** Reports a device's static-pressure run (see ::StaticPressureCallback); context as registered. */
typedef void (*VasqDeviceStaticPressureCallback)(VasqStatus status, double waitStableSeconds, int testResult,
                                                 void* context);

/**
 * Opens one Vasq9 and keeps it connected.
 * @param portNumber the port to open (0 for ttyACM0), or -1 for the first free
 *        Vasq9, trying the ports from the lowest number up. A port that this
 *        process (the default device or another open device) or another
 *        process holds is never taken.
 * @param timeoutMs the longest wait in milliseconds; 0xFFFFFFFF waits without limit.
 * @return the device, or NULL when none was found in time (the last error says why).
 *
 * The device is bound to the instrument found: after a loss it reconnects
 * only to the instrument with the same serial number, on whatever port it
 * comes back.
 * @par Thread and lock
 * Any thread but a callback's; waits without any lock.
 */
VASQ_API VasqDevice* VasqOpenDevice(int portNumber, uint32_t timeoutMs);
/**
 * Stops the device's test and sampling, releases its port and lock file, ends
 * its threads and frees it; the other devices carry on.
 * @param device the device; NULL, or a device closed already, fails with
 *        ::VASQ_ERROR_INVALID_ARGUMENT and closes nothing.
 * @par Thread and lock
 * Any thread. From a callback of any device the close finishes on a thread of
 * the library once the callback has returned; no callback of the device
 * starts after this call.
 */
VASQ_API void VasqCloseDevice(VasqDevice* device);
/**
 * The serial number of the device's instrument, also while it is lost: the
 * identity the device reconnects to.
 * @param device the device.
 * @return the text, valid until the device is closed; "" for an invalid device.
 */
VASQ_API const char* VasqDeviceGetSerialNumber(VasqDevice* device);
/**
 * The number of the port the device is connected on.
 * @param device the device.
 * @return the port number, or -1 while the instrument is lost (or the device is invalid).
 */
VASQ_API int VasqDeviceGetPortNumber(VasqDevice* device);
/**
 * Registers the callback for the device's losses and reconnections.
 * @param device the device.
 * @param callback called with false on a loss and true on a reconnection; NULL for none.
 * @param context handed to every call.
 * @return 1 once set. Registering calls nothing at once.
 * @par Thread and lock
 * Any thread; the callback runs on the device's connection thread without its API lock.
 */
VASQ_API int VasqDeviceSetConnectionCallback(VasqDevice* device, VasqDeviceConnectedCallback callback,
                                             void* context);

/* The per-device forms of the interface's functions. */
/**
 * VasqGetDeviceInformation() for one device.
 * @param device the device.
 * @param info as for VasqGetDeviceInformation().
 * @return 1 with the record of the device's instrument; 0 for an invalid
 *         device, and 0 with an all-zero record and ::VASQ_ERROR_NOT_CONNECTED
 *         while the device has no instrument (lost, not yet back).
 */
VASQ_API int VasqDeviceGetDeviceInformation(VasqDevice* device, MODEL_INFORMATION* info);
/**
 * VasqGetHWInformation() for one device.
 * @param device the device.
 * @param info as for VasqGetHWInformation().
 * @return 1 with the record of the device's instrument; 0 for an invalid
 *         device, and 0 with an all-zero record and ::VASQ_ERROR_NOT_CONNECTED
 *         while the device has no instrument (lost, not yet back).
 */
VASQ_API int VasqDeviceGetHWInformation(VasqDevice* device, HW_INFORMATION* info);
/**
 * VasqSetPressureUnit() for one device.
 * @param device the device.
 * @param unit as for VasqSetPressureUnit().
 * @return what VasqSetPressureUnit() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceSetPressureUnit(VasqDevice* device, int unit);
/**
 * VasqGetPressureUnit() for one device.
 * @param device the device.
 * @return what VasqGetPressureUnit() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceGetPressureUnit(VasqDevice* device);
/**
 * VasqRebaseZero() for one device.
 * @param device the device.
 * @param on as for VasqRebaseZero().
 * @return what VasqRebaseZero() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceRebaseZero(VasqDevice* device, bool on);
/**
 * VasqStartSampling() for one device.
 * @param device the device.
 * @param callback as for VasqStartSampling(), with the context after its arguments.
 * @param context handed to every call of the callback.
 * @return what VasqStartSampling() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceStartSampling(VasqDevice* device, VasqDeviceSamplingCallback callback, void* context);
/**
 * VasqStopSampling() for one device.
 * @param device the device.
 */
VASQ_API void VasqDeviceStopSampling(VasqDevice* device);
/**
 * VasqGetSampleRate() for one device.
 * @param device the device.
 * @return what VasqGetSampleRate() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceGetSampleRate(VasqDevice* device);
/**
 * VasqEnableAirPort() for one device.
 * @param device the device.
 * @param port as for VasqEnableAirPort().
 * @param enable as for VasqEnableAirPort().
 * @return what VasqEnableAirPort() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceEnableAirPort(VasqDevice* device, int port, bool enable);
/**
 * VasqResetAirPort() for one device.
 * @param device the device.
 * @return what VasqResetAirPort() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceResetAirPort(VasqDevice* device);
/**
 * VasqUpdateAirPort() for one device.
 * @param device the device.
 * @return what VasqUpdateAirPort() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceUpdateAirPort(VasqDevice* device);
/**
 * VasqPausePump() for one device.
 * @param device the device.
 * @return what VasqPausePump() returns; 0 for an invalid device.
 */
VASQ_API int VasqDevicePausePump(VasqDevice* device);
/**
 * VasqStopTest() for one device.
 * @param device the device.
 * @return what VasqStopTest() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceStopTest(VasqDevice* device);
/**
 * VasqRunBPTest() for one device.
 * @param device the device.
 * @param parameters as for VasqRunBPTest().
 * @param callback as for VasqRunBPTest(), with the context after its arguments.
 * @param context handed to every call of the callback.
 * @return what VasqRunBPTest() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceRunBPTest(VasqDevice* device, void* parameters, VasqDeviceBPTestCallback callback,
                                 void* context);
/**
 * VasqRunLeakageTest() for one device.
 * @param device the device.
 * @param dPressure as for VasqRunLeakageTest().
 * @param nLeakParam as for VasqRunLeakageTest().
 * @param dLeakRate as for VasqRunLeakageTest().
 * @param callback as for VasqRunLeakageTest(), with the context after its arguments.
 * @param context handed to every call of the callback.
 * @return what VasqRunLeakageTest() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceRunLeakageTest(VasqDevice* device, double dPressure, int nLeakParam, double dLeakRate,
                                      VasqDeviceLeakageTestCallback callback, void* context);
/**
 * VasqRunLeakageCalibration() for one device.
 * @param device the device.
 * @param dPressure as for VasqRunLeakageCalibration().
 * @param callback as for VasqRunLeakageCalibration(), with the context after its arguments.
 * @param context handed to every call of the callback.
 * @return what VasqRunLeakageCalibration() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceRunLeakageCalibration(VasqDevice* device, double dPressure,
                                             VasqDeviceLeakageTestCallback callback, void* context);
/**
 * VasqGetLeakageCalibrationRate() for one device.
 * @param device the device.
 * @param rate as for VasqGetLeakageCalibrationRate().
 * @return what VasqGetLeakageCalibrationRate() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceGetLeakageCalibrationRate(VasqDevice* device, double* rate);
/**
 * VasqRunOverpressureTest() for one device.
 * @param device the device.
 * @param bOverpressureFlag as for VasqRunOverpressureTest().
 * @param dPressure1 as for VasqRunOverpressureTest().
 * @param dPressure2 as for VasqRunOverpressureTest().
 * @param dPressure3 as for VasqRunOverpressureTest().
 * @param callback as for VasqRunOverpressureTest(), with the context after its arguments.
 * @param context handed to every call of the callback.
 * @return what VasqRunOverpressureTest() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceRunOverpressureTest(VasqDevice* device, bool bOverpressureFlag, double dPressure1,
                                           double dPressure2, double dPressure3,
                                           VasqDeviceOverpressureTestCallback callback, void* context);
/**
 * VasqRunStaticPressure() for one device.
 * @param device the device.
 * @param dPressure as for VasqRunStaticPressure().
 * @param nStaticParam as for VasqRunStaticPressure().
 * @param callback as for VasqRunStaticPressure(), with the context after its arguments.
 * @param context handed to every call of the callback.
 * @param bStaticFlag as for VasqRunStaticPressure().
 * @return what VasqRunStaticPressure() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceRunStaticPressure(VasqDevice* device, double dPressure, int nStaticParam,
                                         VasqDeviceStaticPressureCallback callback, void* context, bool bStaticFlag);
/**
 * VasqGetWaitStableTime() for one device.
 * @param device the device.
 * @return what VasqGetWaitStableTime() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceGetWaitStableTime(VasqDevice* device);
/**
 * VasqGetEnvelopeRawData() for one device.
 * @param device the device.
 * @param record as for VasqGetEnvelopeRawData().
 * @param pressures as for VasqGetEnvelopeRawData().
 * @param amplitudes as for VasqGetEnvelopeRawData().
 * @param count as for VasqGetEnvelopeRawData().
 * @param unit as for VasqGetEnvelopeRawData().
 * @return what VasqGetEnvelopeRawData() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceGetEnvelopeRawData(VasqDevice* device, BPEnvelopeCustomized* record, double* pressures,
                                          double* amplitudes, int count, int unit);
/**
 * VasqSetEnvelopeRawData() for one device.
 * @param device the device.
 * @param record as for VasqSetEnvelopeRawData().
 * @param pressures as for VasqSetEnvelopeRawData().
 * @param amplitudes as for VasqSetEnvelopeRawData().
 * @param count as for VasqSetEnvelopeRawData().
 * @return what VasqSetEnvelopeRawData() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceSetEnvelopeRawData(VasqDevice* device, BPEnvelopeCustomized* record, double* pressures,
                                          double* amplitudes, int count);
/**
 * VasqSwitchToAdultMode() for one device.
 * @param device the device.
 * @param adult as for VasqSwitchToAdultMode().
 * @return what VasqSwitchToAdultMode() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceSwitchToAdultMode(VasqDevice* device, bool adult);
/**
 * VasqSwitchTo500mlMode() for one device.
 * @param device the device.
 * @param on as for VasqSwitchTo500mlMode().
 * @return what VasqSwitchTo500mlMode() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceSwitchTo500mlMode(VasqDevice* device, bool on);
/**
 * VasqIs500mlMode() for one device.
 * @param device the device.
 * @return what VasqIs500mlMode() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceIs500mlMode(VasqDevice* device);
/**
 * VasqWritePNGFileName() for one device.
 * @param device the device.
 * @param name as for VasqWritePNGFileName().
 * @return what VasqWritePNGFileName() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceWritePNGFileName(VasqDevice* device, const char* name);
/**
 * VasqWritePNG() for one device.
 * @param device the device.
 * @param data as for VasqWritePNG().
 * @param length as for VasqWritePNG().
 * @return what VasqWritePNG() returns; 0 for an invalid device.
 */
VASQ_API int VasqDeviceWritePNG(VasqDevice* device, char* data, int length);

#ifdef __cplusplus
}
#endif

#endif
