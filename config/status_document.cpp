#include "core/dvrcore.h"

// Placeholder body until the status document lands.
void dvrcore::WriteStatusDocument() {}
