// Service functions of the Linux library, exported under their C++ names.
#pragma once

#include <stdint.h>

#include "vasq.h"

VASQ_API int VasqGetBootloaderInformation(BOOTLOADER_INFORMATION* info);
VASQ_API long VasqGetDeviceHandle();
// Adopts a port the application opened itself: no configuration, no lock file;
// a non-zero handle is probed to refresh the identity records.
VASQ_API void VasqSetDeviceHandle(long handle);
VASQ_API int VasqReadMfgInfo(unsigned char* buffer, unsigned long length);
VASQ_API int VasqWriteMfgInfo(const unsigned char* data, unsigned long length);
VASQ_API int VasqSetDeviceInformation(MODEL_INFORMATION* model, HW_INFORMATION* hardware);
// No firmware image format exists: loads nothing and returns -1.
VASQ_API int VasqUpdateFwLoadBinFile(const char* path, int* first, int* second, int* third);
// Runs the whole update with the loaded image; returns at once when none is loaded.
VASQ_API void VasqUpdateFwBurnBinFile(UpdateProgressCallback callback);

// Both outputs are required.
VASQ_API int VasqGetAirPortStatus(bool* bit1Set, bool* bit0Set);
VASQ_API int VasqEnableBuzzer();
VASQ_API int VasqSDCardTest();
VASQ_API int VasqSetStandPressure(double value);
// True only when the device reports that its calibration passed (status 7).
VASQ_API bool VasqGetCalibrationResult();
VASQ_API int VasqTurnOffCalibrationMode();
VASQ_API int VasqRestart();
VASQ_API int VasqOnlyUseLowerSensor(bool only);
// Reads the parameter set the device stores for a method (method 0 reads method 1's).
VASQ_API int VasqGetEnvelopeParam(BPMethodType method, BPEnvelopeCustomized* out);

// The test starts with a chosen operating function.
VASQ_API bool RunBPTest(FUNCTION_ENUM function, void* parameters, BPTestCallback callback);
VASQ_API bool RunLeakageTest(FUNCTION_ENUM function, double dPressure, int nLeakParam, double dLeakRate,
                             LeakageTestCallback callback);
VASQ_API bool RunOverpressureTest(FUNCTION_ENUM function, bool bOverpressureFlag, double dPressure1,
                                  double dPressure2, double dPressure3, OverpressureTestCallback callback);
// Fills the envelope table entries of the segment [x1, x2) on the scaled axis;
// false only for a null array. Entries beyond the largest table (480) are skipped.
VASQ_API bool CalculateLineFunction(double x1, double y1, double x2, double y2, double* pressures,
                                    double* amplitudes);
