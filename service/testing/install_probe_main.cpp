// qb_install_probe: one whole install against a running service, as an installer's exchange
// goes (update check, module check, download from the server the reply names), with the files
// compared to the tree they were packed from. For checks of an installed service.
//   qb_install_probe UPDATE_ADDR:PORT PACKAGE_NUMBER TREE
#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include "service/testing/test_client.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: qb_install_probe UPDATE_ADDR:PORT PACKAGE_NUMBER TREE\n");
    return 2;
  }
  ListenAddress update;
  if (!ParseListenAddress(argv[1], 0, &update)) {
    fprintf(stderr, "bad address %s\n", argv[1]);
    return 2;
  }
  UpdateReply reply;
  std::vector<ModuleRecord> records;
  if (!CheckExchange(update, argv[2], &reply, &records) || !reply.proceed) {
    fprintf(stderr, "the update exchange failed\n");
    return 1;
  }
  ListenAddress download{reply.download_host, static_cast<uint16_t>(reply.download_port)};
  TestClient client;
  std::map<std::string, std::string> files;
  if (!client.Link(download) || !client.DownloadModules(records, &files)) {
    fprintf(stderr, "the download from %s failed\n", download.ToString().c_str());
    return 1;
  }
  uint64_t bytes = 0;
  for (const auto& [path, data] : files) {
    std::string local = std::string(argv[3]) + "/" + path;
    for (char& c : local) c = c == '\\' ? '/' : c;
    std::ifstream in(local, std::ios::binary);
    std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) expected = "(unreadable)";
    if (expected != data) {
      fprintf(stderr, "%s differs from %s\n", path.c_str(), local.c_str());
      return 1;
    }
    bytes += data.size();
  }
  printf("installed version %d.%d: %zu files, %llu bytes from %s, equal to %s\n", reply.part3,
         reply.part4, files.size(), static_cast<unsigned long long>(bytes),
         download.ToString().c_str(), argv[3]);
  return 0;
}
