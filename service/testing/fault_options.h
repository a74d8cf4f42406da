// The fault options of the test build of quillbank-service.
#pragma once

#include "service/options.h"
#include "service/testing/faults.h"

// The serve options that fill `config` (which must outlive the parse), with their help.
ServeOptionExtension FaultOptions(FaultConfig* config);
