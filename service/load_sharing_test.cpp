// Two service processes sharing the load of one publisher: each listens on its own update
// address of the host-name pattern and names its own download endpoint in its update-check
// reply, so installers that pick either update server download from the machine they asked.
#include <gtest/gtest.h>

#include <thread>

#include "service/service.h"
#include "service/service_log.h"
#include "service/testing/test_client.h"
#include "service/testing/test_service.h"

namespace {

struct Instance {
  Service service;
  std::thread loop;

  bool Start(const std::string& package, const std::string& update, const std::string& download) {
    ServiceOptions options;
    options.command = ServiceOptions::Command::kServe;
    options.packages = {package};
    options.query = {{"127.0.6.11", 0}};
    options.update = {{update, 0}};
    options.download = {download, 0};
    options.advertise = {download, 0};  // port 0: the one the download listener got
    std::string error;
    if (service.Start(options, &error) != kExitOk) {
      ADD_FAILURE() << error;
      return false;
    }
    loop = std::thread([this] { service.Run(); });
    return true;
  }
  ~Instance() {
    service.Stop();
    if (loop.joinable()) loop.join();
  }
};

}  // namespace

TEST(LoadSharing, EachInstanceSendsInstallersToItsOwnDownloadEndpoint) {
  SetServiceLogQuiet(true);
  TempDir dir;
  const std::string data = TestBytes(200000, 3);
  WriteTestPackage(dir.path(), "100201", {{"Data\\", "q.day", data}, {"", "run.exe", "exe"}});
  Instance first, second;
  ASSERT_TRUE(first.Start(dir.path(), "127.0.6.21", "127.0.6.31"));
  ASSERT_TRUE(second.Start(dir.path(), "127.0.6.22", "127.0.6.32"));

  for (Instance* instance : {&first, &second}) {
    const ListenAddress own = instance->service.download_address();
    UpdateReply reply;
    std::vector<ModuleRecord> records;
    ASSERT_TRUE(CheckExchange(instance->service.update_address(0), "100201", &reply, &records));
    EXPECT_EQ(reply.download_host, own.host);
    EXPECT_EQ(reply.download_port, own.port);
    TestClient dl;
    std::map<std::string, std::string> files;
    ASSERT_TRUE(dl.Link({reply.download_host, static_cast<uint16_t>(reply.download_port)}));
    ASSERT_TRUE(dl.DownloadModules(records, &files));
    EXPECT_TRUE(files["Data\\q.day"] == data);
  }
  SetServiceLogQuiet(false);
}
