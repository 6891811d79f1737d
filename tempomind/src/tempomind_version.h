#ifndef KADENZO_TEMPOMIND_VERSION_H
#define KADENZO_TEMPOMIND_VERSION_H

// The engine's version text, logged when the engine starts.
extern const char* tm_version_str;

#endif
