// Hot kernels compiled twice, for AVX2 and for the plain x86-64 instruction
// set, the loader picking the one the processor runs. The AVX2 build does
// not enable FMA, so both round every operation alike.
// Not under ThreadSanitizer: the loader runs the choosing function before
// the sanitizer's runtime is ready, and the instrumented function crashes.
#ifndef METERTRACKER_VECTORCLONES_H
#define METERTRACKER_VECTORCLONES_H

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define METERTRACKER_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define METERTRACKER_VECTOR_CLONES
#endif

#endif
