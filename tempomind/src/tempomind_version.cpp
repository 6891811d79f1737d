#include "tempomind_version.h"

const char* tm_version_str = "Tempomind 0.1.0 (Kadenzo)";
