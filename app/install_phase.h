// Where one installation stands, and what each client message means there. The controller asks
// this table for every message and acts only on its answer, so the whole sequence can be read in
// one place: a message that means nothing in the current phase is ignored, and Failed and
// Installed are final for the run.
#pragma once

enum class InstallPhase {
  Ready,        // before the click on "Install"
  Checking,     // update and module check on the check connection, until the list is complete
  Downloading,  // base archive stage and module files on the download connection
  Reconnecting, // the download connection was lost; a new one is made after a pause
  Downloaded,   // every file is in and UM_DOWNLOAD_DONE is on its way: drops lose nothing now
  Finishing,    // the install steps after the last file; both connections stopped
  Installed,    // final: "Open" shown
  Failed,       // final: the failure text shown
};

enum class Reaction {
  Ignore,
  Fail,                 // failure text: "Install Fail"
  FailPackageCheck,     // failure text: "Package check failed"
  FailWithCode,         // failure text with the update check's error code
  CheckDropBeforeList,  // a refused connect attempt is counted; a drop of the link fails
  CountCheckDrop,       // counted; the third fails with the connection text
  StartDownload,        // stop the terminal, connect the download client
  BaseDone,        // code 0: request the modules; otherwise fail
  StepProgress,         // one more module file
  DownloadLost,         // reconnect after a pause, or fail once the reconnections are used up
  DataFlows,            // chunks arrive on the download connection: the percentage again
  Install,              // stop both connections, then the install steps
  ManifestIn,           // the manifest alone is in: check it, then reuse or ask for the rest
  ReuseDone,            // the earlier install's unchanged modules are copied: ask for the rest
};

// A program with keys checks the manifest before anything else is downloaded, and then takes
// what an earlier install holds unchanged: where that stands.
enum class ManifestStage {
  None,     // not asked for yet (or the program installs unchecked)
  Waiting,  // asked for alone; UM_MANIFEST_DONE is awaited
  Reusing,  // checked; the earlier install's unchanged files are being copied (UM_REUSE_DONE)
  Done,     // the rest of the modules is asked for
};

// What the clients and the reuse know that the phase alone does not say; the table reads it
// beside the phase.
struct InstallFacts {
  // The download client has every file and has posted UM_DOWNLOAD_DONE: a drop sent meanwhile
  // (sent messages overtake posted ones) must not undo the download.
  bool download_complete = false;
  ManifestStage manifest = ManifestStage::None;
};

// The phase once `facts` are counted: Downloading and Reconnecting are Downloaded as soon as the
// download is complete; any other phase stays as it is.
InstallPhase PhaseWith(InstallPhase phase, const InstallFacts& facts);

// What a close of the window (close box, system close command) does in each phase.
enum class CloseAction {
  Close,             // nothing under way: the window closes
  FailThenClose,     // an install under way ends as with a lost connection, then the window closes
  NotOffered,        // the install steps are running: no close box
};
CloseAction CloseActionFor(InstallPhase phase);

// The reaction to client message `message` (a UM_* number) in `phase`, from the phase alone.
// Unknown messages: Ignore.
Reaction ReactionFor(InstallPhase phase, unsigned message);
// The same in PhaseWith(phase, facts), where the manifest's arrival counts only while it is
// awaited and the reuse's end only while it runs.
Reaction ReactionFor(InstallPhase phase, unsigned message, const InstallFacts& facts);

// Short names for debug output and test messages.
const char* PhaseName(InstallPhase phase);
const char* ReactionName(Reaction reaction);
