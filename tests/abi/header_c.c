/* The public header as a C99 application sees it: it compiles with the
   compiler's pedantic C99, its records, enums and callback types have the
   layouts of layouts.h, and every function it declares links against the
   shared library under its plain C name. */
#include <stdio.h>

#include "vasq.h"

#include "public_declarations.h"
#include "layouts.h"
#include "public_unchecked.h"

typedef void (*AnyFunction)(void);

/* Taking each address makes the link fail for a function the library does not
   export under the header's name; external linkage keeps the table. */
#define VASQ_ADDRESS(function) (AnyFunction) function,
const AnyFunction vasq_public_functions[] = {VASQ_PUBLIC_FUNCTIONS(VASQ_ADDRESS)};

static void ReportUnchecked(const char* type)
{
    fprintf(stderr, "%s is declared in vasq.h but has no layout checks in tests/abi/layouts.h\n", type);
}

/* The callback types the header promises, as C sees them. */
static void OnConnection(bool connected)
{
    (void)connected;
}

int main(void)
{
    const size_t count = sizeof vasq_public_functions / sizeof vasq_public_functions[0];
    size_t i;
    ConnectedCallback callback = OnConnection;
    int unchecked;

    (void)callback;
    for (i = 0; i < count; ++i) {
        if (vasq_public_functions[i] == NULL) {
            fprintf(stderr, "public function %u resolved to null\n", (unsigned)i);
            return 1;
        }
    }
    unchecked = VASQ_PUBLIC_UNCHECKED_TYPES(ReportUnchecked);
    printf("vasq.h as C99: %u functions linked, record layouts of a %d-bit target checked\n", (unsigned)count,
           VASQ_ABI_POINTER * 8);
    return unchecked == 0 ? 0 : 1;
}
