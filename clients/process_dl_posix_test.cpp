// The download client's base archive decision through the system stand-ins: never on Windows 10,
// and before 10 only while the dependency folder is missing from the installer's Path.
#include <gtest/gtest.h>

#include <string>

#include "clients/process_dl.h"
#include "clients/testing/client_harness.h"
#include "core/window_messages.h"
#include "install/testing/system_stand_in.h"
#include "wire/message.h"

namespace {

class BaseZipDecisionTest : public ClientTest {
 protected:
  ~BaseZipDecisionTest() override {
    SetWindowsMajorVersionForTest(10);
    SetProcessPathForTest("");
    SetStoredUserPathForTest(false, "");
  }

  ServiceSide service_;
  // The decision the program makes (through the native stand-in of the system).
  StagedPackage decided_{staging_, depend_, nullptr};
  ProcessDL client_{&window_, staging_, &modules_, &decided_};
};

TEST_F(BaseZipDecisionTest, WindowsTenNeverAsksForTheBaseArchive) {
  SetWindowsMajorVersionForTest(10);
  ASSERT_TRUE(service_.Open(&client_, /*authent_error=*/3));
  ASSERT_TRUE(window_.WaitFor(UM_BASE_DONE));
  EXPECT_EQ(window_.Entries()[0].l_param, 3);
  EXPECT_TRUE(service_.Quiet());
  EXPECT_FALSE(StoredUserPathExistsForTest());
}

TEST_F(BaseZipDecisionTest, OlderWindowsAsksOnceTheFolderIsMissingFromPath) {
  SetWindowsMajorVersionForTest(6);
  SetProcessPathForTest("C:\\Windows;" + depend_);
  ASSERT_TRUE(service_.Open(&client_));
  ASSERT_TRUE(window_.WaitFor(UM_BASE_DONE));
  EXPECT_TRUE(service_.Quiet());

  SetProcessPathForTest("C:\\Windows");
  // The decision holds for the whole install: a connection of the same client made after a
  // loss does not decide again.
  ServiceSide again;
  ASSERT_TRUE(again.Open(&client_));
  ASSERT_TRUE(window_.WaitFor(UM_BASE_DONE, 2));
  EXPECT_TRUE(again.Quiet());

  ProcessDL other(&window_, staging_, &modules_, &decided_);
  ServiceSide second;
  ASSERT_TRUE(second.Open(&other));
  std::string request;
  ASSERT_TRUE(second.Read(&request));
  EXPECT_EQ(MessageCode(request), kMsgDownloadBaseZip);
  EXPECT_EQ(window_.Count(UM_BASE_DONE), 2u);
  // The folder joins the user's stored Path as well.
  EXPECT_NE(StoredUserPathForTest().find(depend_), std::string::npos);
}

}  // namespace
