// The whole (phase, message) table, cell by cell: what each client message does in each phase of
// an installation. A change of the sequence shows up here as one changed cell.
#include "app/install_phase.h"

#include <gtest/gtest.h>

#include "core/window_messages.h"

namespace {

using R = Reaction;
constexpr R I = R::Ignore;

constexpr InstallPhase kPhases[] = {InstallPhase::Ready,        InstallPhase::Checking,
                                    InstallPhase::Downloading,  InstallPhase::Reconnecting,
                                    InstallPhase::Downloaded,   InstallPhase::Finishing,
                                    InstallPhase::Installed,    InstallPhase::Failed};
constexpr int kPhaseCount = 8;

struct Row {
  unsigned message;
  const char* name;
  // Ready, Checking, Downloading, Reconnecting, Downloaded, Finishing, Installed, Failed
  R in[kPhaseCount];
};

const Row kTable[] = {
    {UM_CHECK_AUTH_FAIL, "UM_CHECK_AUTH_FAIL", {I, R::Fail, I, I, I, I, I, I}},
    {UM_LOGIN_FAIL, "UM_LOGIN_FAIL", {I, R::Fail, R::Fail, R::Fail, I, I, I, I}},
    {UM_MODULE_CHECK_DONE, "UM_MODULE_CHECK_DONE", {I, R::StartDownload, I, I, I, I, I, I}},
    {UM_FILE_DONE, "UM_FILE_DONE",
     {I, I, R::StepProgress, R::StepProgress, R::StepProgress, I, I, I}},
    {UM_DOWNLOAD_DONE, "UM_DOWNLOAD_DONE", {I, I, R::Install, I, R::Install, I, I, I}},
    {UM_BASE_DONE, "UM_BASE_DONE", {I, I, R::BaseStageOver, I, I, I, I, I}},
    {UM_UPDATE_REFUSED, "UM_UPDATE_REFUSED", {I, R::FailWithCode, I, I, I, I, I, I}},
    {UM_DL_DISCONNECT, "UM_DL_DISCONNECT", {I, I, R::DownloadLost, I, I, I, I, I}},
    {UM_CHECK_DISCONNECT, "UM_CHECK_DISCONNECT",
     {I, R::CheckDropBeforeList, R::CountCheckDrop, R::CountCheckDrop, I, I, I, I}},
    {UM_WRITE_FAIL, "UM_WRITE_FAIL", {I, I, R::Fail, R::Fail, I, I, I, I}},
    {UM_DL_RECEIVING, "UM_DL_RECEIVING", {I, I, R::DataFlows, I, I, I, I, I}},
    {1129, "1129 (not used)", {I, I, I, I, I, I, I, I}},
    {0x401, "WM_USER + 1", {I, I, I, I, I, I, I, I}},
};

TEST(InstallPhaseTest, EveryMessageInEveryPhase) {
  for (const Row& row : kTable) {
    for (int p = 0; p < kPhaseCount; ++p) {
      EXPECT_EQ(ReactionFor(kPhases[p], row.message), row.in[p])
          << row.name << " in " << PhaseName(kPhases[p]) << ": got "
          << ReactionName(ReactionFor(kPhases[p], row.message)) << ", want "
          << ReactionName(row.in[p]);
    }
  }
}

// Every message a client sends is in the table above; none is numbered past the last.
TEST(InstallPhaseTest, TheTableCoversEveryClientMessage) {
  for (unsigned m = UM_CHECK_AUTH_FAIL; m <= kLastClientMessage + 8; ++m) {
    bool listed = false;
    for (const Row& row : kTable) listed = listed || row.message == m;
    if (m > kLastClientMessage) {
      for (InstallPhase phase : kPhases) EXPECT_EQ(ReactionFor(phase, m), I) << m;
    } else {
      EXPECT_TRUE(listed) << m;
    }
  }
}

}  // namespace
