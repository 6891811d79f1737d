#include "common.h"

#include <cstdio>

tm_logmsg_handler_t tm_logmsg_handler = nullptr;
void* tm_logmsg_handler_udata = nullptr;

void tm_logmsg(int level, const char* format, ...) {
    tm_logmsg_handler_t handler = tm_logmsg_handler;
    if (!handler) return;
    va_list args;
    va_start(args, format);
    handler(level, tm_logmsg_handler_udata, format, args);
    va_end(args);
}

void tm_logmsg_stderr(int level, void* /*udata*/, const char* format, va_list args) {
    const char* kind = level == 2 ? " Warning" : level == 3 ? " Error" : "";
    va_list again;
    va_copy(again, args);
    // Written as one piece where it fits, so that lines from several threads
    // do not interleave; longer messages are written in parts, never cut.
    char line[1024];
    const int prefix = std::snprintf(line, sizeof line, "Tempomind%s: ", kind);
    const int body = std::vsnprintf(line + prefix, sizeof line - prefix, format, args);
    if (body >= 0 && prefix + body + 1 < static_cast<int>(sizeof line)) {
        line[prefix + body] = '\n';
        line[prefix + body + 1] = '\0';
        std::fputs(line, stderr);
    } else {
        std::fprintf(stderr, "Tempomind%s: ", kind);
        std::vfprintf(stderr, format, again);
        std::fputc('\n', stderr);
    }
    va_end(again);
}
