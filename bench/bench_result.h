// One machine-readable line per figure, collected by scripts/run-bench into
// the table `make bench` prints at the end:
//   BENCH_RESULT <tab> figure <tab> value with unit <tab> target <tab> floor or peer
// Keep the human-readable lines as they are; these come in addition.
#pragma once

#include <cstdarg>
#include <cstdio>

namespace benchres {

inline void result(const char* figure, const char* target, const char* compared, const char* valueFormat, ...)
    __attribute__((format(printf, 4, 5)));

inline void result(const char* figure, const char* target, const char* compared, const char* valueFormat,
                   ...) {
    char value[128];
    va_list ap;
    va_start(ap, valueFormat);
    vsnprintf(value, sizeof(value), valueFormat, ap);
    va_end(ap);
    printf("BENCH_RESULT\t%s\t%s\t%s\t%s\n", figure, value, target, compared);
    fflush(stdout);
}

}  // namespace benchres
