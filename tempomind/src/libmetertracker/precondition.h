// Precondition checks whose texts are part of the library's interface.
//
// A failed check stops the program exactly as a failed assert() does
// ("file:line: function: Assertion `text' failed."), but the text is given
// explicitly so that formatting tools cannot change it, and the check stays
// active in optimised builds: callers rely on these stops.
#ifndef KADENZO_PRECONDITION_H
#define KADENZO_PRECONDITION_H

// glibc's reporter behind assert(); declared here because <assert.h> omits it
// when NDEBUG is defined.
extern "C" void __assert_fail(const char* assertion, const char* file, unsigned int line,
                              const char* function) noexcept __attribute__((__noreturn__));

#define TM_PRECONDITION(cond, text) \
    ((cond) ? static_cast<void>(0)  \
            : __assert_fail(text, __FILE__, __LINE__, __extension__ __PRETTY_FUNCTION__))

#endif
