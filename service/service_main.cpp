// The program behind quillbank-service and its test build: the reference update service
// (serve), the package tool (pack) and the signing tools (keygen, sign).
#include "service/service_main.h"

#include <signal.h>

#include <cstdio>

#include "service/keygen.h"
#include "service/options.h"
#include "service/pack.h"
#include "service/package_signing.h"
#include "service/service.h"
#include "service/service_log.h"

namespace {

int Pack(const ServiceOptions& options) {
  std::string error;
  size_t count = 0;
  if (!PackTree(options.pack_tree, options.pack_out, options.pack, &error, &count)) {
    fprintf(stderr, "quillbank-service pack: %s\n", error.c_str());
    return kExitFailure;
  }
  printf("packed %zu modules of %s into %s\n", count, options.pack_tree.c_str(),
         options.pack_out.c_str());
  if (!options.pack.signing_key_file.empty()) {
    printf("signed: package.manifest verifies with the public key of %s\n",
           options.pack.signing_key_file.c_str());
  }
  return kExitOk;
}

int Sign(const ServiceOptions& options) {
  std::string error;
  ManifestOptions written = options.sign_manifest;
  written.expires = ManifestExpiry(options.sign_expires_days, options.sign_expires_at);
  if (!SignPackageFolder(options.sign_dir, options.sign_key_file, written, &error)) {
    fprintf(stderr, "quillbank-service sign: %s\n", error.c_str());
    return kExitFailure;
  }
  printf("signed %s: package.manifest verifies with the public key of %s\n",
         options.sign_dir.c_str(), options.sign_key_file.c_str());
  return kExitOk;
}

int Keygen(const ServiceOptions& options) {
  std::string error;
  KeygenResult result;
  if (!WriteNewKeyPair(options.keygen_dir, &result, &error)) {
    fprintf(stderr, "quillbank-service keygen: %s\n", error.c_str());
    return kExitFailure;
  }
  printf("private key: %s (keep it off the servers)\npublic key:  %s\n%s\n",
         result.key_path.c_str(), result.public_path.c_str(), result.public_text.c_str());
  return kExitOk;
}

int Serve(const ServiceOptions& options) {
  // SIGHUP, SIGINT and SIGTERM are read by the event loop itself (a signal descriptor), so a
  // reload or a stop happens between two events, never in the middle of one.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  FILE* log_file = nullptr;
  if (!options.log_file.empty()) {
    log_file = fopen(options.log_file.c_str(), "a");
    if (!log_file) {
      fprintf(stderr, "quillbank-service: cannot open log file %s\n", options.log_file.c_str());
      return kExitFailure;
    }
    SetServiceLogFile(log_file);
  }
  SetServiceLogQuiet(options.quiet);

  Service service;
  std::string error;
  int code = service.Start(options, &error);
  if (code == kExitOk && !service.HandleSignals(&error)) code = kExitFailure;
  if (code != kExitOk) {
    if (log_file) ServiceLogF("cannot serve: %s", error.c_str());
    fprintf(stderr, "quillbank-service: %s\n", error.c_str());
    return code;
  }
  ServiceLog("serving");
  service.Run();
  ServiceLog("stopped");
  if (log_file) {
    SetServiceLogFile(nullptr);
    fclose(log_file);
  }
  return kExitOk;
}

}  // namespace

int ServiceMain(int argc, char** argv, const ServeOptionExtension* extension,
                const std::function<std::shared_ptr<FaultPlan>()>& faults) {
  ServiceOptions options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error, extension)) {
    fprintf(stderr, "quillbank-service: %s\n\n%s", error.c_str(), UsageText(extension).c_str());
    return kExitUsage;
  }
  if (faults) options.faults = faults();
  switch (options.command) {
    case ServiceOptions::Command::kHelp:
      printf("%s", UsageText(extension).c_str());
      return kExitOk;
    case ServiceOptions::Command::kPack:
      return Pack(options);
    case ServiceOptions::Command::kKeygen:
      return Keygen(options);
    case ServiceOptions::Command::kSign:
      return Sign(options);
    case ServiceOptions::Command::kServe:
      return Serve(options);
  }
  return kExitUsage;
}
