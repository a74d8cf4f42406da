// The whole program of quillbank-service, for its two mains: the operators' build, with no
// more options and no faults, and the test build, which adds its fault options and plan.
#pragma once

#include <functional>
#include <memory>

#include "service/options.h"

class FaultPlan;

// Runs the command of argv and returns the exit code. `faults`, when given, makes the plan of
// the options `extension` has read.
int ServiceMain(int argc, char** argv, const ServeOptionExtension* extension,
                const std::function<std::shared_ptr<FaultPlan>()>& faults);
