// The smallest Windows program: scripts/test runs the i686 build of it under Wine to find out
// whether this machine can run the 32-bit build's tests at all.
int main() { return 0; }
