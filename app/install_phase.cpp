// The (phase, message) table of one installation.
#include "app/install_phase.h"

#include "core/window_messages.h"

Reaction ReactionFor(InstallPhase phase, unsigned message) {
  switch (phase) {
    case InstallPhase::Checking:
      switch (message) {
        case UM_CHECK_AUTH_FAIL: return Reaction::Fail;
        case UM_LOGIN_FAIL: return Reaction::Fail;
        case UM_UPDATE_REFUSED: return Reaction::FailWithCode;
        case UM_CHECK_DISCONNECT: return Reaction::CheckDropBeforeList;
        case UM_MODULE_CHECK_DONE: return Reaction::StartDownload;
        case UM_PACKAGE_REFUSED: return Reaction::FailPackageCheck;
        default: return Reaction::Ignore;
      }
    case InstallPhase::Downloading:
      switch (message) {
        case UM_LOGIN_FAIL: return Reaction::Fail;  // the download login refused
        case UM_WRITE_FAIL: return Reaction::Fail;
        case UM_PACKAGE_REFUSED: return Reaction::FailPackageCheck;  // a path refused
        case UM_DOWNLOAD_REFUSED: return Reaction::FailWithCode;
        case UM_DL_DISCONNECT: return Reaction::DownloadLost;
        case UM_CHECK_DISCONNECT: return Reaction::CountCheckDrop;
        case UM_BASE_DONE: return Reaction::BaseDone;
        case UM_FILE_DONE: return Reaction::StepProgress;
        case UM_DOWNLOAD_DONE: return Reaction::Install;
        case UM_DL_RECEIVING: return Reaction::DataFlows;
        case UM_MANIFEST_DONE: return Reaction::ManifestIn;
        case UM_REUSE_DONE: return Reaction::ReuseDone;
        default: return Reaction::Ignore;
      }
    case InstallPhase::Reconnecting:
      // What the lost connection posted before it went still arrives: finished files count;
      // the end of its base stage and its first chunk are for a connection that is gone (the
      // next one reports its own).
      switch (message) {
        case UM_LOGIN_FAIL: return Reaction::Fail;
        case UM_WRITE_FAIL: return Reaction::Fail;
        case UM_PACKAGE_REFUSED: return Reaction::FailPackageCheck;
        // The resumed connection's refusal comes before any of its data.
        case UM_DOWNLOAD_REFUSED: return Reaction::FailWithCode;
        case UM_CHECK_DISCONNECT: return Reaction::CountCheckDrop;
        case UM_FILE_DONE: return Reaction::StepProgress;
        // Neither needs the connection: the next one asks for what they leave.
        case UM_MANIFEST_DONE: return Reaction::ManifestIn;
        case UM_REUSE_DONE: return Reaction::ReuseDone;
        default: return Reaction::Ignore;
      }
    case InstallPhase::Downloaded:
      switch (message) {
        case UM_FILE_DONE: return Reaction::StepProgress;
        case UM_DOWNLOAD_DONE: return Reaction::Install;
        default: return Reaction::Ignore;
      }
    case InstallPhase::Ready:       // nothing is connected yet
    case InstallPhase::Finishing:   // the connections were stopped on purpose
    case InstallPhase::Installed:   // final
    case InstallPhase::Failed:      // final
      return Reaction::Ignore;
  }
  return Reaction::Ignore;
}

InstallPhase PhaseWith(InstallPhase phase, const InstallFacts& facts) {
  const bool downloading = phase == InstallPhase::Downloading || phase == InstallPhase::Reconnecting;
  return downloading && facts.download_complete ? InstallPhase::Downloaded : phase;
}

Reaction ReactionFor(InstallPhase phase, unsigned message, const InstallFacts& facts) {
  const Reaction reaction = ReactionFor(PhaseWith(phase, facts), message);
  if (reaction == Reaction::ManifestIn && facts.manifest != ManifestStage::Waiting) {
    return Reaction::Ignore;
  }
  if (reaction == Reaction::ReuseDone && facts.manifest != ManifestStage::Reusing) {
    return Reaction::Ignore;
  }
  return reaction;
}

CloseAction CloseActionFor(InstallPhase phase) {
  switch (phase) {
    case InstallPhase::Checking:
    case InstallPhase::Downloading:
    case InstallPhase::Reconnecting:
    case InstallPhase::Downloaded:
      return CloseAction::FailThenClose;
    case InstallPhase::Finishing:
      return CloseAction::NotOffered;
    case InstallPhase::Ready:
    case InstallPhase::Installed:
    case InstallPhase::Failed:
      return CloseAction::Close;
  }
  return CloseAction::Close;
}

const char* PhaseName(InstallPhase phase) {
  switch (phase) {
    case InstallPhase::Ready: return "Ready";
    case InstallPhase::Checking: return "Checking";
    case InstallPhase::Downloading: return "Downloading";
    case InstallPhase::Reconnecting: return "Reconnecting";
    case InstallPhase::Downloaded: return "Downloaded";
    case InstallPhase::Finishing: return "Finishing";
    case InstallPhase::Installed: return "Installed";
    case InstallPhase::Failed: return "Failed";
  }
  return "?";
}

const char* ReactionName(Reaction reaction) {
  switch (reaction) {
    case Reaction::Ignore: return "Ignore";
    case Reaction::Fail: return "Fail";
    case Reaction::FailPackageCheck: return "FailPackageCheck";
    case Reaction::FailWithCode: return "FailWithCode";
    case Reaction::CheckDropBeforeList: return "CheckDropBeforeList";
    case Reaction::CountCheckDrop: return "CountCheckDrop";
    case Reaction::StartDownload: return "StartDownload";
    case Reaction::BaseDone: return "BaseDone";
    case Reaction::StepProgress: return "StepProgress";
    case Reaction::DownloadLost: return "DownloadLost";
    case Reaction::DataFlows: return "DataFlows";
    case Reaction::Install: return "Install";
    case Reaction::ManifestIn: return "ManifestIn";
    case Reaction::ReuseDone: return "ReuseDone";
  }
  return "?";
}
