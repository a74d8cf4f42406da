// libgcrypt, which the native builds hash and check signatures with, must be set up once per
// process before its first use. Native builds only.
#pragma once

// Safe to call from any thread, any number of times.
void SetUpGcrypt();
