// Natively there is no shell: no special folder is available. What the folders derive from is
// tested through SetUpPathsBelow, which takes the application-data folder as a value.
#include "base/special_folder.h"

void GetSpecialFolder(int, std::string&) {}
