// Contents of one demo file: text for .txt/.ini/.cfg files, otherwise binary records that look
// like a terminal's quote data (time stamps, prices, volumes), seeded by the file name.
#pragma once

#include <string>

#include "demo/demo_content.h"

std::string DemoFileBytes(const DemoFile& file);
