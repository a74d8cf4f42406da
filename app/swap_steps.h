// The system steps of the program's replace. The program users get waits between attempts with
// its window painting; a test build of the program (app/testing/swap_steps_pause.cpp) stops right
// after the old install is moved aside, so that the end-to-end tests can cut the replace short
// there as a power cut would. Each program links one definition.
#pragma once

#include "install/folder_swap.h"

SwapSteps InstallerSwapSteps();
