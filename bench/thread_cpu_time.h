// The processor time the calling thread has used, in seconds: benchmarks on a shared machine
// time by it, so that other people's work does not count as ours.
#pragma once

double ThreadCpuSeconds();
