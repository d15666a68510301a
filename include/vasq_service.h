/**
 * @file vasq_service.h
 * @brief Service functions of the Linux library, exported under their C++ names.
 *
 * Service and production functions beside the C interface of vasq.h: the
 * boot loader record, the port handle, the manufacturing record, the identity,
 * the firmware update, further device controls and the test runners with a
 * chosen operating function. Each returns 1 (or true) on success and 0 (or
 * false) on failure unless it says otherwise; the thread and lock rules of
 * @ref threading hold for them too.
 */
#pragma once

#include <stdint.h>

#include "vasq.h"

/**
 * Reads the device's boot loader version.
 * @param info receives the record; null fails.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchange.
 */
VASQ_API int VasqGetBootloaderInformation(BOOTLOADER_INFORMATION* info);
/**
 * The descriptor of the port the library uses.
 * @return the descriptor, or -1 when no port is open.
 * @par Thread and lock
 * Any thread; holds the API lock briefly.
 */
VASQ_API long VasqGetDeviceHandle();
/**
 * Adopts a port the application opened itself: no configuration, no lock
 * file. The port the library had open is released first, with its lock file;
 * VasqFree() later closes the adopted port as it closes its own.
 * @param handle the port's descriptor; a handle other than 0 and -1 is probed
 *        to refresh the identity records (the probe's result is ignored).
 * @par Thread and lock
 * Any thread; holds the API lock for the whole call.
 */
VASQ_API void VasqSetDeviceHandle(long handle);
/**
 * Reads the 16-byte manufacturing information.
 * @param buffer receives min(length, 16) bytes; null fails.
 * @param length the buffer's size.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchange.
 */
VASQ_API int VasqReadMfgInfo(unsigned char* buffer, unsigned long length);
/**
 * Writes the manufacturing information: reads the device's record and
 * replaces its first min(length, 16) bytes.
 * @param data the bytes to write; null fails.
 * @param length the number of bytes.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchanges.
 */
VASQ_API int VasqWriteMfgInfo(const unsigned char* data, unsigned long length);
/**
 * Writes the device's identity.
 * @param model the model record to write; null fails.
 * @param hardware the versions to write; null fails.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchanges.
 */
VASQ_API int VasqSetDeviceInformation(MODEL_INFORMATION* model, HW_INFORMATION* hardware);
/**
 * Loads a firmware image for VasqUpdateFwBurnBinFile(). No firmware image
 * format exists, so nothing is loaded.
 * @param path the image file (not read).
 * @param first not written.
 * @param second not written.
 * @param third not written.
 * @return always -1.
 * @par Thread and lock
 * Any thread; holds the API lock briefly.
 */
VASQ_API int VasqUpdateFwLoadBinFile(const char* path, int* first, int* second, int* third);
/**
 * Runs the whole firmware update with the loaded image: connects, writes the
 * image, checks its size, applies it, reconnects and writes the new versions.
 * Returns at once when no image is loaded.
 * @param callback receives the stages and the write's progress; may be null.
 * @par Thread and lock
 * Any thread but a callback's; blocks until the update has ended. Holds the
 * API lock for each step's exchanges; the callback runs on this thread.
 */
VASQ_API void VasqUpdateFwBurnBinFile(UpdateProgressCallback callback);

/**
 * Reads the state of the device's two air-port status bits.
 * @param bit1Set receives bit 1 when not null.
 * @param bit0Set receives bit 0 when not null: a caller may read one bit alone.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchange.
 */
VASQ_API int VasqGetAirPortStatus(bool* bit1Set, bool* bit0Set);
/**
 * Sounds the device's buzzer.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchange.
 */
VASQ_API int VasqEnableBuzzer();
/**
 * Runs the device's SD card test.
 * @return 1 when the device reports success, 0 otherwise.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchange.
 */
VASQ_API int VasqSDCardTest();
/**
 * Sets the device's standard (reference) pressure, sent as a hundredth, whatever the unit.
 * @param value the pressure; truncated to hundredths.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchange.
 */
VASQ_API int VasqSetStandPressure(double value);
/**
 * Whether the device's calibration passed.
 * @return true only when the device reports that its calibration passed
 *         (status 7); false also when the query fails.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchange.
 */
VASQ_API bool VasqGetCalibrationResult();
/**
 * Takes the device out of calibration mode (operating function 8).
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchange.
 */
VASQ_API int VasqTurnOffCalibrationMode();
/**
 * Tells the device to restart; the connection thread then notices the loss
 * and reconnects once the device is back.
 * @return 1 when the request was sent, 0 otherwise.
 * @par Thread and lock
 * Any thread; holds the API lock for the request.
 */
VASQ_API int VasqRestart();
/**
 * Makes the device measure with its lower sensor only, or with both.
 * @param only true for the lower sensor only.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchange.
 */
VASQ_API int VasqOnlyUseLowerSensor(bool only);
/**
 * Reads the parameter set the device stores for a method, in the current unit.
 * @param method the method; method 0 reads method 1's set.
 * @param out receives the parameter set; null reads it without storing it.
 * @return 1 on success, 0 on failure.
 * @par Thread and lock
 * Any thread; holds the API lock for the exchange.
 */
VASQ_API int VasqGetEnvelopeParam(BPMethodType method, BPEnvelopeCustomized* out);

/**
 * Starts a BP simulation as VasqRunBPTest() does, with a chosen operating function.
 * @param function the operating function selected before the start.
 * @param parameters a BPCommon or a BPEnvelopeCustomized, as for VasqRunBPTest().
 * @param callback receives the reports.
 * @return true once the device runs the test and its worker reports.
 * @par Thread and lock
 * As VasqRunBPTest().
 */
VASQ_API bool RunBPTest(FUNCTION_ENUM function, void* parameters, BPTestCallback callback);
/**
 * Starts a leakage test or calibration as VasqRunLeakageTest() does, with a
 * chosen operating function.
 * @param function the operating function selected before the start.
 * @param dPressure test pressure in the current unit, clamped to LIMIT_STATIC_PRESSURE.
 * @param nLeakParam leakage parameter, passed to the device unscaled.
 * @param dLeakRate leak rate, passed to the device.
 * @param callback receives the reports.
 * @return true once the device runs the test and its worker reports.
 * @par Thread and lock
 * As VasqRunLeakageTest().
 */
VASQ_API bool RunLeakageTest(FUNCTION_ENUM function, double dPressure, int nLeakParam, double dLeakRate,
                             LeakageTestCallback callback);
/**
 * Starts an overpressure test as VasqRunOverpressureTest() does, with a chosen
 * operating function.
 * @param function the operating function selected before the start.
 * @param bOverpressureFlag passed to the device as 0 or 1.
 * @param dPressure1 first pressure, clamped to LIMIT_STATIC_PRESSURE.
 * @param dPressure2 second pressure, clamped to LIMIT_OVERPRESSURE_SECOND.
 * @param dPressure3 third pressure, clamped to LIMIT_OVERPRESSURE_THIRD.
 * @param callback receives the reports.
 * @return true once the device runs the test and its worker reports.
 * @par Thread and lock
 * As VasqRunOverpressureTest().
 */
VASQ_API bool RunOverpressureTest(FUNCTION_ENUM function, bool bOverpressureFlag, double dPressure1,
                                  double dPressure2, double dPressure3, OverpressureTestCallback callback);
/**
 * Fills the envelope table entries of the segment [x1, x2) on the scaled
 * axis (the pressure times 10 in kPa) with the straight line through (x1, y1)
 * and (x2, y2), one entry per whole step from x1.
 * @param x1 start of the segment.
 * @param y1 amplitude at x1.
 * @param x2 end of the segment (not filled).
 * @param y2 amplitude at x2.
 * @param pressures receives the x of each filled entry; holds 480 entries.
 * @param amplitudes receives the amplitude of each filled entry; holds 480 entries.
 * @return false only for a null array. Entries beyond the largest table
 *         (480) are skipped.
 * @par Thread and lock
 * Any thread; no lock: touches only the caller's arrays.
 */
VASQ_API bool CalculateLineFunction(double x1, double y1, double x2, double y2, double* pressures,
                                    double* amplitudes);
