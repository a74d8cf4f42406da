// quillbank-service, as operators run it.
#include "service/service_main.h"

int main(int argc, char** argv) { return ServiceMain(argc, argv, nullptr, nullptr); }
