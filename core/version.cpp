#include "core/dvrcore.h"

const char* GetVersion() { return "19.12.6.0"; }
