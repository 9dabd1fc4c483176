// The inspector's report, as text for people or as one JSON object for tools.
#pragma once

#include <string>

#include "sdk/inspect/probe.h"
#include "sdk/inspect/verdict.h"

std::string TextReport(const std::string& fileName, const Findings& findings,
                       const Verdict& verdict);
std::string JsonReport(const std::string& fileName, const Findings& findings,
                       const Verdict& verdict);
