// The public headers as a C++ application sees them: both compile as pedantic
// C++11, the records keep the layouts of layouts.h and stay plain C records,
// every declared function links against the shared library (the C header's
// under plain names, the service header's under C++ names, so a parameter list
// that differs from the definition fails to link), and each callback type
// takes the arguments its callers pass.
#include <cstddef>
#include <cstdio>
#include <string>
#include <type_traits>

#include "vasq.h"
#include "vasq_service.h"

#include "public_declarations.h"
#include "service_declarations.h"
#include "layouts.h"
#include "public_unchecked.h"
#include "service_unchecked.h"

namespace {

using AnyFunction = void (*)();

#define VASQ_ADDRESS(function) reinterpret_cast<AnyFunction>(&function),
const AnyFunction kFunctions[] = {VASQ_PUBLIC_FUNCTIONS(VASQ_ADDRESS) VASQ_SERVICE_FUNCTIONS(VASQ_ADDRESS)};

template <typename T>
struct SizeOf {
    static constexpr std::size_t value = sizeof(T);
};
template <>
struct SizeOf<void> {
    static constexpr std::size_t value = 0;
};

// How the calling convention passes a value: what matters is double against
// float against a 32-bit integer (an enum passes like one), not the C type.
template <typename T>
constexpr char PassedAs()
{
    return std::is_same<T, void>::value                                                          ? 'v'
           : std::is_same<T, bool>::value                                                        ? 'b'
           : std::is_same<T, double>::value                                                      ? 'd'
           : std::is_same<T, float>::value                                                       ? 'f'
           : (std::is_integral<T>::value || std::is_enum<T>::value) && SizeOf<T>::value == 4 ? 'i'
           : std::is_pointer<T>::value                                                           ? 'p'
                                                                                                 : '?';
}

template <typename F>
struct Signature;
template <typename R, typename... Args>
struct Signature<R (*)(Args...)> {
    // Result, colon, one letter for each argument.
    static std::string Text() { return std::string(1, PassedAs<R>()) + ":" + std::string{PassedAs<Args>()...}; }
};

int g_failures = 0;

template <typename Callback>
void ExpectSignature(const char* name, const char* expected)
{
    const std::string got = Signature<Callback>::Text();
    if (got != expected) {
        std::fprintf(stderr, "%s is called as %s, expected %s\n", name, got.c_str(), expected);
        ++g_failures;
    }
}

void ReportUnchecked(const char* type)
{
    std::fprintf(stderr, "%s is declared in the public headers but has no layout checks in tests/abi/layouts.h\n",
                 type);
}

template <typename Record>
void ExpectPlainRecord(const char* name)
{
    // Applications copy and zero these records as bytes.
    if (!std::is_standard_layout<Record>::value || !std::is_trivially_copyable<Record>::value) {
        std::fprintf(stderr, "%s is not a plain C record\n", name);
        ++g_failures;
    }
}

}  // namespace

int main()
{
    for (AnyFunction function : kFunctions) {
        if (function == nullptr) {
            std::fprintf(stderr, "a declared function resolved to null\n");
            return 1;
        }
    }
    ExpectPlainRecord<MODEL_INFORMATION>("MODEL_INFORMATION");
    ExpectPlainRecord<HW_INFORMATION>("HW_INFORMATION");
    ExpectPlainRecord<BOOTLOADER_INFORMATION>("BOOTLOADER_INFORMATION");
    ExpectPlainRecord<BPCommon>("BPCommon");
    ExpectPlainRecord<BPEnvelopeCustomized>("BPEnvelopeCustomized");

    ExpectSignature<ConnectedCallback>("ConnectedCallback", "v:b");
#ifdef VASQ_HEADER_HAS_UpdateProgressCallback
    ExpectSignature<UpdateProgressCallback>("UpdateProgressCallback", "v:iii");
#endif
#ifdef VASQ_HEADER_HAS_BPTestCallback
    ExpectSignature<BPTestCallback>("BPTestCallback", "v:idddd");
#endif
#ifdef VASQ_HEADER_HAS_LeakageTestCallback
    ExpectSignature<LeakageTestCallback>("LeakageTestCallback", "v:iddi");
#endif
#ifdef VASQ_HEADER_HAS_OverpressureTestCallback
    ExpectSignature<OverpressureTestCallback>("OverpressureTestCallback", "v:iddddddd");
#endif
#ifdef VASQ_HEADER_HAS_StaticPressureCallback
    ExpectSignature<StaticPressureCallback>("StaticPressureCallback", "v:idi");
#endif
#ifdef VASQ_HEADER_HAS_SamplingCallback
    ExpectSignature<SamplingCallback>("SamplingCallback", "v:d");
#endif
#ifdef VASQ_HEADER_HAS_VasqLogCallback
    ExpectSignature<VasqLogCallback>("VasqLogCallback", "v:ipp");
#endif
#ifdef VASQ_HEADER_HAS_VasqDeviceConnectedCallback
    ExpectSignature<VasqDeviceConnectedCallback>("VasqDeviceConnectedCallback", "v:bp");
#endif
#ifdef VASQ_HEADER_HAS_VasqDeviceSamplingCallback
    ExpectSignature<VasqDeviceSamplingCallback>("VasqDeviceSamplingCallback", "v:dp");
#endif
#ifdef VASQ_HEADER_HAS_VasqDeviceBPTestCallback
    ExpectSignature<VasqDeviceBPTestCallback>("VasqDeviceBPTestCallback", "v:iddddp");
#endif
#ifdef VASQ_HEADER_HAS_VasqDeviceLeakageTestCallback
    ExpectSignature<VasqDeviceLeakageTestCallback>("VasqDeviceLeakageTestCallback", "v:iddip");
#endif
#ifdef VASQ_HEADER_HAS_VasqDeviceOverpressureTestCallback
    ExpectSignature<VasqDeviceOverpressureTestCallback>("VasqDeviceOverpressureTestCallback", "v:idddddddp");
#endif
#ifdef VASQ_HEADER_HAS_VasqDeviceStaticPressureCallback
    ExpectSignature<VasqDeviceStaticPressureCallback>("VasqDeviceStaticPressureCallback", "v:idip");
#endif

    g_failures += VASQ_PUBLIC_UNCHECKED_TYPES(ReportUnchecked) + VASQ_SERVICE_UNCHECKED_TYPES(ReportUnchecked);
    std::printf("vasq.h and vasq_service.h as C++: %zu functions linked, layouts of a %d-bit target checked\n",
                sizeof kFunctions / sizeof kFunctions[0], VASQ_ABI_POINTER * 8);
    return g_failures == 0 ? 0 : 1;
}
