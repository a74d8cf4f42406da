#include "app/swap_steps.h"

#include "app/wait_painting.h"

SwapSteps InstallerSwapSteps() {
  SwapSteps steps;
  steps.wait = WaitPainting;
  return steps;
}
