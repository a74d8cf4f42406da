// A pause on the window thread that keeps the window painted.
#pragma once

// Lets `ms` pass while the window still paints: no other message is handled meanwhile, so no
// click or client message can act in the middle of the install steps.
void WaitPainting(unsigned ms);
