#include "core/dvrcore.h"

// Placeholder bodies until the configuration layer lands.
void dvrcore::ReadConfiguration() {}
void dvrcore::WriteConfiguration() {}
void dvrcore::ParseConfig(const std::string&) {}
