// Natively there are no resources: the package number is compiled in.
#include "base/resources.h"

std::string LoadPackageNumberString() { return "100201"; }
