// Engine logging: every engine module reports through tm_logmsg, which hands
// the message to an installable handler. With no handler, messages are dropped.
#ifndef KADENZO_COMMON_H
#define KADENZO_COMMON_H

#include <cstdarg>

typedef void (*tm_logmsg_handler_t)(int level, void* udata, const char* format, va_list args);

// Set these before the engine starts; the handler must be safe to call from
// several threads at once.
extern tm_logmsg_handler_t tm_logmsg_handler;
extern void* tm_logmsg_handler_udata;

// Levels: 0 trace, 1 notice, 2 warning, 3 error.
void tm_logmsg(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Ready-made handler: "Tempomind: ", "Tempomind Warning: " or "Tempomind Error: ",
// the message, then a newline, on standard error.
void tm_logmsg_stderr(int level, void* udata, const char* format, va_list args);

#endif
