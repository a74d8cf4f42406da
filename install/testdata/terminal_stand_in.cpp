// Stand-in for the terminal program in the tests that end it: waits until it is ended (or two
// minutes at most, so that nothing is left running by a failed test).
#include <windows.h>

int main() {
  Sleep(120000);
  return 0;
}
