// What the demo package holds: its identity, its data files with their sizes, and the files of
// its base dependency archive. The generator and its test read this one table.
#pragma once

#include <cstdint>

struct DemoFile {
  const char* folder_part;  // as the installer joins it: "Data\Quotes\" or ""
  const char* file_part;
  uint32_t size;            // bytes
  char kind;                // 'D' modules are listed but never downloaded
};

constexpr const char* kDemoPackageNumber = "100201";
// "羽笔 ix 交易终端" (quill pen ix trading terminal), UTF-8 as it goes on the wire.
constexpr const char* kDemoProductName = "\xE7\xBE\xBD\xE7\xAC\x94 ix \xE4\xBA\xA4\xE6\x98\x93"
                                         "\xE7\xBB\x88\xE7\xAB\xAF";
constexpr int32_t kDemoVersionPart3 = 5;
constexpr int32_t kDemoVersionPart4 = 17;
// The stand-in terminal comes from the windows build; it is installed at the top.
constexpr const char* kDemoTerminalFile = "quillbank ix.exe";

constexpr DemoFile kDemoDataFiles[] = {
    {"Data\\Quotes\\", "SH600000.day", 7u << 20, 'F'},
    {"Data\\Quotes\\", "SZ000001.day", 6u << 20, 'F'},
    {"Data\\Quotes\\", "HK00700.day", 4u << 20, 'F'},
    {"Data\\History\\", "ticks_2026.bin", 11u << 20, 'F'},
    {"Data\\Charts\\", "layouts.bin", 3u << 20, 'F'},
    {"Skins\\Default\\", "skin.pak", (2u << 20) + 12345, 'F'},
    {"Config\\", "terminal.cfg", 2817, 'F'},
    {"Docs\\", "release-notes.txt", 1900, 'D'},
};

// The base dependency archive "SystemDepend.zip" holds these (paths inside the archive).
constexpr DemoFile kDemoDependFiles[] = {
    {"", "qbruntime.ini", 311, 'F'},
    {"fonts/", "qbsymbols.dat", 48000, 'F'},
};
