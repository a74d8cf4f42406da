// What the (phase, message) table promises, as properties over every phase and every message
// number around the client range: the idle and final phases react to nothing, unknown numbers are
// ignored, each connection's messages act only while that connection is awaited, nothing fails
// once every file is in, and a close fails exactly the phases that still await a message.
#include "app/install_phase.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "core/window_messages.h"

namespace {

constexpr InstallPhase kPhases[] = {InstallPhase::Ready,        InstallPhase::Checking,
                                    InstallPhase::Downloading,  InstallPhase::Reconnecting,
                                    InstallPhase::Downloaded,   InstallPhase::Finishing,
                                    InstallPhase::Installed,    InstallPhase::Failed};

// Every client message and a margin of numbers on both sides of the range, plus a few far away.
std::vector<unsigned> MessageNumbers() {
  std::vector<unsigned> numbers = {0, 0x400, 0x401, 0xFFFF, 0xFFFFFFFFu};
  for (unsigned m = UM_CHECK_AUTH_FAIL - 8; m <= kLastClientMessage + 8; ++m) numbers.push_back(m);
  return numbers;
}

bool IsClientMessage(unsigned m) { return m >= UM_CHECK_AUTH_FAIL && m <= kLastClientMessage; }

// The phases in which `message` causes anything.
std::set<InstallPhase> ActsIn(unsigned message) {
  std::set<InstallPhase> phases;
  for (InstallPhase p : kPhases) {
    if (ReactionFor(p, message) != Reaction::Ignore) phases.insert(p);
  }
  return phases;
}

bool AwaitsAnything(InstallPhase phase) {
  for (unsigned m : MessageNumbers()) {
    if (ReactionFor(phase, m) != Reaction::Ignore) return true;
  }
  return false;
}

bool IsFailure(Reaction r) {
  return r == Reaction::Fail || r == Reaction::FailPackageCheck || r == Reaction::FailWithCode;
}

std::string Names(const std::set<InstallPhase>& phases) {
  std::string text;
  for (InstallPhase p : phases) text += std::string(text.empty() ? "" : ", ") + PhaseName(p);
  return text.empty() ? "none" : text;
}

// Before the click nothing is connected, during the install steps both connections were stopped
// on purpose, and Installed and Failed are final: whatever a client still posts changes nothing.
TEST(InstallPhaseTest, IdleAndFinalPhasesReactToNothing) {
  for (InstallPhase p : {InstallPhase::Ready, InstallPhase::Finishing, InstallPhase::Installed,
                         InstallPhase::Failed}) {
    for (unsigned m : MessageNumbers()) {
      EXPECT_EQ(ReactionFor(p, m), Reaction::Ignore)
          << m << " in " << PhaseName(p) << ": " << ReactionName(ReactionFor(p, m));
    }
  }
}

// Numbers outside the client range are not the clients' and mean nothing in any phase; every
// number inside it (one is unused) is a message that acts in some phase, so none is dead.
TEST(InstallPhaseTest, OnlyClientMessagesActAndEachOneActsSomewhere) {
  constexpr unsigned kUnused = UM_LOGIN_FAIL + 1;
  for (unsigned m : MessageNumbers()) {
    if (!IsClientMessage(m) || m == kUnused) {
      EXPECT_TRUE(ActsIn(m).empty()) << m << " acts in " << Names(ActsIn(m));
    } else {
      EXPECT_FALSE(ActsIn(m).empty()) << m << " acts in no phase";
    }
  }
}

// Each connection's messages act only while that connection is the one awaited: the check
// connection's replies during the check, the download connection's own state (its base stage,
// its chunks, its loss) only while it is up; in Reconnecting they come from a connection that is
// gone, and the next one reports its own.
TEST(InstallPhaseTest, EachConnectionsMessagesActOnlyWhileItIsAwaited) {
  const std::set<InstallPhase> checking = {InstallPhase::Checking};
  const std::set<InstallPhase> downloading = {InstallPhase::Downloading};
  for (unsigned m : {UM_CHECK_AUTH_FAIL, UM_UPDATE_REFUSED, UM_MODULE_CHECK_DONE}) {
    EXPECT_EQ(ActsIn(m), checking) << m << " acts in " << Names(ActsIn(m));
  }
  // A refused package: the module list from the check, a path from the download (a refusal on
  // the connection that was lost still counts, as a failed write does).
  const std::set<InstallPhase> refusing = {InstallPhase::Checking, InstallPhase::Downloading,
                                           InstallPhase::Reconnecting};
  EXPECT_EQ(ActsIn(UM_PACKAGE_REFUSED), refusing) << Names(ActsIn(UM_PACKAGE_REFUSED));
  for (InstallPhase p : refusing) {
    EXPECT_EQ(ReactionFor(p, UM_PACKAGE_REFUSED), Reaction::FailPackageCheck) << PhaseName(p);
  }
  // A download refused by the service (the version started with is gone) ends the install with
  // the service's code, on the first connection or on a resumed one before its data.
  const std::set<InstallPhase> download_links = {InstallPhase::Downloading,
                                                 InstallPhase::Reconnecting};
  EXPECT_EQ(ActsIn(UM_DOWNLOAD_REFUSED), download_links) << Names(ActsIn(UM_DOWNLOAD_REFUSED));
  for (InstallPhase p : download_links) {
    EXPECT_EQ(ReactionFor(p, UM_DOWNLOAD_REFUSED), Reaction::FailWithCode) << PhaseName(p);
  }
  for (unsigned m : {UM_BASE_DONE, UM_DL_RECEIVING, UM_DL_DISCONNECT}) {
    EXPECT_EQ(ActsIn(m), downloading) << m << " acts in " << Names(ActsIn(m));
  }
  // The module list starts the download, and only the check can deliver it.
  EXPECT_EQ(ReactionFor(InstallPhase::Checking, UM_MODULE_CHECK_DONE), Reaction::StartDownload);
  // A lost check link: before the list it ends the install, after it only counts.
  EXPECT_EQ(ReactionFor(InstallPhase::Checking, UM_CHECK_DISCONNECT),
            Reaction::CheckDropBeforeList);
  for (InstallPhase p : {InstallPhase::Downloading, InstallPhase::Reconnecting}) {
    EXPECT_EQ(ReactionFor(p, UM_CHECK_DISCONNECT), Reaction::CountCheckDrop) << PhaseName(p);
  }
}

// A finished file counts in every phase between the list and the install steps, also when its
// connection was lost since; the end of the download is taken only from a live connection or
// once every file is in; and the lost connection's stored files (the manifest, reused modules)
// are kept through a reconnection.
TEST(InstallPhaseTest, FinishedWorkIsNeverLostWhileTheDownloadGoesOn) {
  const std::set<InstallPhase> download_phases = {
      InstallPhase::Downloading, InstallPhase::Reconnecting, InstallPhase::Downloaded};
  EXPECT_EQ(ActsIn(UM_FILE_DONE), download_phases) << Names(ActsIn(UM_FILE_DONE));
  for (InstallPhase p : download_phases) {
    EXPECT_EQ(ReactionFor(p, UM_FILE_DONE), Reaction::StepProgress) << PhaseName(p);
  }
  EXPECT_EQ(ActsIn(UM_DOWNLOAD_DONE),
            (std::set<InstallPhase>{InstallPhase::Downloading, InstallPhase::Downloaded}));
  for (InstallPhase p : {InstallPhase::Downloading, InstallPhase::Downloaded}) {
    EXPECT_EQ(ReactionFor(p, UM_DOWNLOAD_DONE), Reaction::Install) << PhaseName(p);
  }
  for (InstallPhase p : {InstallPhase::Downloading, InstallPhase::Reconnecting}) {
    EXPECT_EQ(ReactionFor(p, UM_MANIFEST_DONE), Reaction::ManifestIn) << PhaseName(p);
    EXPECT_EQ(ReactionFor(p, UM_REUSE_DONE), Reaction::ReuseDone) << PhaseName(p);
  }
}

// Once every file is in, drops lose nothing: no message fails the install or starts a
// reconnection there; only the last files and the end of the download are taken.
TEST(InstallPhaseTest, NothingFailsOnceEveryFileIsIn) {
  for (unsigned m : MessageNumbers()) {
    Reaction r = ReactionFor(InstallPhase::Downloaded, m);
    EXPECT_TRUE(r == Reaction::Ignore || r == Reaction::StepProgress || r == Reaction::Install)
        << m << ": " << ReactionName(r);
  }
}

// A failure can only come in a phase where an install is under way, and the close box ends
// exactly those phases as a failure: a phase that awaits any message is one that a close must
// fail, one that awaits none closes at once, and the install steps offer no close at all.
TEST(InstallPhaseTest, CloseFailsExactlyThePhasesThatAwaitMessages) {
  for (InstallPhase p : kPhases) {
    SCOPED_TRACE(PhaseName(p));
    if (p == InstallPhase::Finishing) {
      EXPECT_EQ(CloseActionFor(p), CloseAction::NotOffered);
      EXPECT_FALSE(AwaitsAnything(p));
      continue;
    }
    EXPECT_EQ(CloseActionFor(p),
              AwaitsAnything(p) ? CloseAction::FailThenClose : CloseAction::Close);
    for (unsigned m : MessageNumbers()) {
      if (IsFailure(ReactionFor(p, m))) {
        EXPECT_EQ(CloseActionFor(p), CloseAction::FailThenClose) << m;
      }
    }
  }
  // Installed and Failed are final: the window closes as it would before any click.
  EXPECT_EQ(CloseActionFor(InstallPhase::Installed), CloseAction::Close);
  EXPECT_EQ(CloseActionFor(InstallPhase::Failed), CloseAction::Close);
}

// What the clients know beside the phase: once every file is in, a drop while downloading or
// reconnecting loses nothing (the phase is Downloaded then); the manifest's arrival counts only
// while it is awaited and the reuse's end only while it runs, in whatever download phase.
TEST(InstallPhaseTest, FactsBesideThePhaseDecideWithIt) {
  InstallFacts complete;
  complete.download_complete = true;
  for (InstallPhase p : kPhases) {
    const bool downloading = p == InstallPhase::Downloading || p == InstallPhase::Reconnecting;
    EXPECT_EQ(PhaseWith(p, complete), downloading ? InstallPhase::Downloaded : p) << PhaseName(p);
    EXPECT_EQ(PhaseWith(p, InstallFacts()), p) << PhaseName(p);
    for (unsigned m : MessageNumbers()) {
      EXPECT_EQ(ReactionFor(p, m, complete), ReactionFor(PhaseWith(p, complete), m))
          << PhaseName(p) << " " << m;
    }
  }
  const ManifestStage stages[] = {ManifestStage::None, ManifestStage::Waiting,
                                  ManifestStage::Reusing, ManifestStage::Done};
  for (InstallPhase p : {InstallPhase::Downloading, InstallPhase::Reconnecting}) {
    for (ManifestStage stage : stages) {
      InstallFacts facts;
      facts.manifest = stage;
      EXPECT_EQ(ReactionFor(p, UM_MANIFEST_DONE, facts),
                stage == ManifestStage::Waiting ? Reaction::ManifestIn : Reaction::Ignore);
      EXPECT_EQ(ReactionFor(p, UM_REUSE_DONE, facts),
                stage == ManifestStage::Reusing ? Reaction::ReuseDone : Reaction::Ignore);
      // Everything else is the phase's own answer.
      EXPECT_EQ(ReactionFor(p, UM_FILE_DONE, facts), Reaction::StepProgress);
      EXPECT_EQ(ReactionFor(p, UM_DL_DISCONNECT, facts), ReactionFor(p, UM_DL_DISCONNECT));
    }
  }
}

}  // namespace
