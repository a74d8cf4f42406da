// The command line: defaults from the deployment values, every flag, and what is refused; the
// fault options only in the test build's.
#include "service/options.h"

#include <gtest/gtest.h>

#include "base/deployment_values.h"
#include "service/testing/fault_options.h"

namespace {

bool Parse(std::vector<const char*> args, ServiceOptions* o, std::string* error,
           const ServeOptionExtension* extension = nullptr) {
  args.insert(args.begin(), "quillbank-service");
  return ParseOptions(static_cast<int>(args.size()), args.data(), o, error, extension);
}

// The options of the test build, filling `config`.
bool ParseWithFaults(std::vector<const char*> args, FaultConfig* config, ServiceOptions* o,
                     std::string* error) {
  *config = FaultConfig();
  const ServeOptionExtension extension = FaultOptions(config);
  return Parse(std::move(args), o, error, &extension);
}

}  // namespace

TEST(Options, ServeDefaultsToTheDeploymentAddresses) {
  ServiceOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"serve"}, &o, &error)) << error;
  EXPECT_EQ(o.command, ServiceOptions::Command::kServe);
  ASSERT_EQ(o.query.size(), 4u);
  EXPECT_EQ(o.query[0].ToString(), std::string(QB_QUERY_SERVER_0) + ":" +
                                       std::to_string(QB_QUERY_PORT));
  EXPECT_EQ(o.query[3].host, QB_QUERY_SERVER_3);
  ASSERT_EQ(o.update.size(), 3u);
  char host[32];
  snprintf(host, sizeof(host), QB_UPDATE_HOST_PATTERN, 3);
  EXPECT_EQ(o.update[2].host, host);
  EXPECT_EQ(o.update[2].port, QB_UPDATE_PORT);
  EXPECT_EQ(o.download.host, QB_DOWNLOAD_HOST);
  EXPECT_EQ(o.download.port, QB_DOWNLOAD_PORT);
  EXPECT_EQ(o.advertise.ToString(), o.download.ToString());
  EXPECT_TRUE(o.packages.empty());
  EXPECT_EQ(o.faults, nullptr);
}

TEST(Options, ServeFlagsReplaceDefaultsAndSetFaults) {
  ServiceOptions o;
  std::string error;
  FaultConfig f;
  ASSERT_TRUE(ParseWithFaults({"serve", "--package", "a", "--package=b", "--query", "127.0.0.5:9",
                     "--query", "127.0.0.6", "--update=127.0.0.7:0", "--download", "127.0.0.8:1",
                     "--advertise", "10.0.0.1:2000", "--idle-timeout", "5", "--quiet",
                     "--refuse-update", "-7", "--refuse-login", "--refuse-auth=download",
                     "--drop-after", "0", "--garbage-first", "--split-modules", "3",
                     "--query-delay", "2500@127.0.0.12", "--query-wrong-code",
                     "--stall-after=40", "--drop-check-after-list", "--drop-all-after-download",
                     "--drop-connections", "2", "--hold-reauth-until", "/tmp/go",
                     "--corrupt-module", "Data\\x.bin"},
                    &f, &o, &error))
      << error;
  EXPECT_EQ(o.packages, (std::vector<std::string>{"a", "b"}));
  ASSERT_EQ(o.query.size(), 2u);
  EXPECT_EQ(o.query[0].ToString(), "127.0.0.5:9");
  EXPECT_EQ(o.query[1].ToString(), "127.0.0.6:" + std::to_string(QB_QUERY_PORT));
  ASSERT_EQ(o.update.size(), 1u);
  EXPECT_EQ(o.update[0].port, 0);
  EXPECT_EQ(o.download.ToString(), "127.0.0.8:1");
  EXPECT_EQ(o.advertise.ToString(), "10.0.0.1:2000");
  EXPECT_EQ(o.idle_timeout_s, 5);
  EXPECT_TRUE(o.quiet);
  EXPECT_TRUE(f.refuse_update);
  EXPECT_EQ(f.refuse_update_code, -7);
  EXPECT_TRUE(f.refuse_login);
  EXPECT_FALSE(f.refuse_auth_update);
  EXPECT_TRUE(f.refuse_auth_download);
  EXPECT_EQ(f.drop_after_chunks, 0);
  EXPECT_TRUE(f.garbage_first);
  EXPECT_EQ(f.split_module_messages, 3);
  EXPECT_EQ(f.query_delay_ms, 2500);
  EXPECT_EQ(f.query_delay_address, "127.0.0.12");
  EXPECT_TRUE(f.query_wrong_code);
  EXPECT_EQ(f.stall_after_chunks, 40);
  EXPECT_TRUE(f.drop_check_after_list);
  EXPECT_TRUE(f.drop_all_after_download);
  EXPECT_EQ(f.drop_connections, 2);
  EXPECT_EQ(f.hold_reauth_until, "/tmp/go");
  EXPECT_EQ(f.corrupt_module, "Data\\x.bin");
  EXPECT_EQ(f.Describe(),
            "refuse-update -7, refuse-login, refuse-auth on download, drop-after 0, "
            "drop-connections 2, hold-reauth-until /tmp/go, stall-after 40, drop-check-after-list, drop-all-after-download, "
            "garbage-first, split-modules 3, query-delay 2500 ms on 127.0.0.12, "
            "query-wrong-code, corrupt-module Data\\x.bin");
  // Each of these alone counts as a fault.
  for (const char* flag : {"--stall-after=0", "--drop-check-after-list",
                           "--drop-all-after-download", "--hold-reauth-until=f",
                           "--corrupt-module=a.exe"}) {
    ASSERT_TRUE(ParseWithFaults({"serve", flag}, &f, &o, &error)) << flag;
    EXPECT_TRUE(f.any()) << flag;
    EXPECT_NE(MakeFaultPlan(f), nullptr) << flag;
  }
  EXPECT_EQ(MakeFaultPlan(FaultConfig()), nullptr);

  ASSERT_TRUE(ParseWithFaults({"serve", "--refuse-auth"}, &f, &o, &error));
  EXPECT_TRUE(f.refuse_auth_update && f.refuse_auth_download);
}

TEST(Options, TheOperatorsBuildHasNoFaultOptions) {
  ServiceOptions o;
  std::string error;
  FaultConfig f;
  for (const char* flag : {"--drop-after=1", "--refuse-login", "--refuse-auth",
                           "--hold-last-file-until=x", "--garbage-first", "--corrupt-module=a"}) {
    EXPECT_FALSE(Parse({"serve", flag}, &o, &error)) << flag;
    EXPECT_TRUE(ParseWithFaults({"serve", flag}, &f, &o, &error)) << flag << ": " << error;
  }
  EXPECT_EQ(UsageText().find("Fault"), std::string::npos);
  EXPECT_EQ(UsageText().find("--drop-after"), std::string::npos);
  const ServeOptionExtension extension = FaultOptions(&f);
  for (const char* text : {"Fault injection", "--drop-after K", "--stall-after K",
                           "--drop-check-after-list", "--drop-all-after-download",
                           "--corrupt-module NAME", "--sign KEYFILE", "keygen DIR"}) {
    EXPECT_NE(UsageText(&extension).find(text), std::string::npos) << text;
  }
}

TEST(Options, PackTakesTwoFoldersAndItsFlags) {
  ServiceOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"pack", "tree", "out", "--number", "123", "--name", "羽笔",
                     "--version", "9.-2", "--key", "K", "--base", "d.zip", "--sign", "k.key",
                     "--expires", "30"},
                    &o, &error))
      << error;
  EXPECT_EQ(o.command, ServiceOptions::Command::kPack);
  EXPECT_EQ(o.pack_tree, "tree");
  EXPECT_EQ(o.pack_out, "out");
  EXPECT_EQ(o.pack.number, "123");
  EXPECT_EQ(o.pack.product_name, "羽笔");
  EXPECT_EQ(o.pack.version_part3, 9);
  EXPECT_EQ(o.pack.version_part4, -2);
  EXPECT_EQ(o.pack.package_key, "K");
  EXPECT_EQ(o.pack.base_archive, "d.zip");
  EXPECT_EQ(o.pack.signing_key_file, "k.key");
  EXPECT_EQ(o.pack.expires_days, 30);
  ServiceOptions plain;
  ASSERT_TRUE(Parse({"pack", "tree", "out"}, &plain, &error)) << error;
  EXPECT_TRUE(plain.pack.signing_key_file.empty());
  EXPECT_EQ(plain.pack.expires_days, 0);
  ServiceOptions sign;
  ASSERT_TRUE(Parse({"sign", "dir", "--key", "k.key", "--expires", "7"}, &sign, &error)) << error;
  EXPECT_EQ(sign.sign_expires_days, 7);
  ASSERT_TRUE(Parse({"sign", "dir", "--key", "k.key", "--expires-at", "1"}, &sign, &error)) << error;
  EXPECT_EQ(sign.sign_expires_at, 1u);
  // The manifest's format, chunk sizes and range offer, for pack --sign and sign alike.
  EXPECT_EQ(plain.pack.manifest.format, kManifestFormat3);
  EXPECT_TRUE(plain.pack.manifest.offers_ranges);
  EXPECT_TRUE(plain.pack.manifest.chunk_sizes == kDefaultChunkSizes);
  ServiceOptions chosen;
  ASSERT_TRUE(Parse({"pack", "tree", "out", "--manifest-format", "2", "--chunk-kib", "64",
                     "--no-ranges"},
                    &chosen, &error))
      << error;
  EXPECT_EQ(chosen.pack.manifest.format, kManifestFormat2);
  EXPECT_FALSE(chosen.pack.manifest.offers_ranges);
  EXPECT_TRUE(chosen.pack.manifest.chunk_sizes == (ChunkSizes{16384, 65536, 262144}));
  ASSERT_TRUE(Parse({"sign", "dir", "--key", "k", "--chunk-kib", "16"}, &sign, &error)) << error;
  EXPECT_TRUE(sign.sign_manifest.chunk_sizes == (ChunkSizes{4096, 16384, 65536}));
  for (const char* bad : {"1", "4", "three"}) {
    EXPECT_FALSE(Parse({"sign", "dir", "--key", "k", "--manifest-format", bad}, &sign, &error));
  }
  // An average that is no power of two, or past what the largest chunk may be.
  for (const char* bad : {"0", "3", "1025", "32k"}) {
    EXPECT_FALSE(Parse({"sign", "dir", "--key", "k", "--chunk-kib", bad}, &sign, &error)) << bad;
  }
}

TEST(Options, KeygenTakesOneFolderAndNoFlags) {
  ServiceOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"keygen", "keys"}, &o, &error)) << error;
  EXPECT_EQ(o.command, ServiceOptions::Command::kKeygen);
  EXPECT_EQ(o.keygen_dir, "keys");
  EXPECT_FALSE(Parse({"keygen"}, &o, &error));
  EXPECT_FALSE(Parse({"keygen", "a", "b"}, &o, &error));
  EXPECT_FALSE(Parse({"keygen", "a", "--sign", "k"}, &o, &error));
}

TEST(Options, RefusesWhatItDoesNotUnderstand) {
  ServiceOptions o;
  std::string error;
  FaultConfig f;
  for (std::vector<const char*> args : std::vector<std::vector<const char*>>{
           {},
           {"run"},
           {"serve", "--bogus"},
           {"serve", "extra"},
           {"serve", "--query"},
           {"serve", "--query", "localhost"},
           {"serve", "--query", "127.0.0.1:65536"},
           {"serve", "--query", "127.0.0.1:"},
           {"serve", "--download", "1.2.3.4:x"},
           {"serve", "--idle-timeout", "0"},
           {"serve", "--drop-after", "-1"},
           {"serve", "--stall-after", "-1"},
           {"serve", "--drop-connections", "0"},
           {"serve", "--drop-connections", "2"},  // without --drop-after
           {"serve", "--hold-reauth-until", ""},
           {"serve", "--split-modules", "many"},
           {"serve", "--query-delay", "5@nowhere"},
           {"serve", "--refuse-update", "99999999999"},
           {"serve", "--number", "1"},  // a pack flag
           {"pack", "only-one"},
           {"pack", "a", "b", "c"},
           {"pack", "a", "b", "--version", "9"},
           {"pack", "a", "b", "--key", "12345678901"},
           {"pack", "a", "b", "--garbage-first"},
           {"pack", "a", "b", "--sign", ""},
           {"pack", "a", "b", "--expires", "0"},
           {"sign", "a", "--key", "k", "--expires", "x"},
           {"pack", "a", "b", "--corrupt-module", "x"},  // a serve flag
           {"serve", "--corrupt-module", ""},
           {"serve", "--sign", "k"},  // a pack flag
       }) {
    EXPECT_FALSE(ParseWithFaults(args, &f, &o, &error)) << (args.empty() ? "" : args.back());
    EXPECT_FALSE(error.empty());
  }
  ASSERT_TRUE(Parse({"serve", "--query", "127.0.0.1", "--help"}, &o, &error));
  EXPECT_EQ(o.command, ServiceOptions::Command::kHelp);
  EXPECT_NE(UsageText().find("--sign KEYFILE"), std::string::npos);
  EXPECT_NE(UsageText().find("keygen DIR"), std::string::npos);
}

TEST(Options, OperationsFlags) {
  ServiceOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"serve"}, &o, &error)) << error;
  EXPECT_FALSE(o.metrics_given);
  EXPECT_EQ(o.cache_mib, 512u);
  EXPECT_EQ(o.workers, 0u);  // one per core
  EXPECT_EQ(o.drain_ms, 5000);
  ASSERT_TRUE(Parse({"serve", "--metrics", "127.0.0.1:9731", "--cache-mib=0"}, &o, &error))
      << error;
  EXPECT_TRUE(o.metrics_given);
  EXPECT_EQ(o.metrics.ToString(), "127.0.0.1:9731");
  EXPECT_EQ(o.cache_mib, 0u);
  // The metrics endpoint has no default port; a cache size is a whole number of MiB.
  EXPECT_FALSE(Parse({"serve", "--metrics", "127.0.0.1"}, &o, &error));
  EXPECT_FALSE(Parse({"serve", "--metrics", "localhost:9731"}, &o, &error));
  EXPECT_FALSE(Parse({"serve", "--cache-mib", "-1"}, &o, &error));
  EXPECT_FALSE(Parse({"serve", "--cache-mib", "1.5"}, &o, &error));

  ASSERT_TRUE(Parse({"serve", "--workers", "6", "--drain=0"}, &o, &error)) << error;
  EXPECT_EQ(o.workers, 6u);
  EXPECT_EQ(o.drain_ms, 0);
  ASSERT_TRUE(Parse({"serve", "--drain", "3600"}, &o, &error)) << error;
  EXPECT_EQ(o.drain_ms, 3600000);
  // At least one loop; a drain of whole seconds, at most an hour.
  for (const char* bad : {"0", "-2", "x", "1025"}) {
    EXPECT_FALSE(Parse({"serve", "--workers", bad}, &o, &error)) << bad;
  }
  for (const char* bad : {"-1", "0.5", "3601"}) {
    EXPECT_FALSE(Parse({"serve", "--drain", bad}, &o, &error)) << bad;
  }
  EXPECT_NE(UsageText().find("/healthz"), std::string::npos);
  EXPECT_NE(UsageText().find("--workers N"), std::string::npos);
}
