// Prometheus text exposition (version 0.0.4) of the service's counters.
#include "service/service_metrics.h"

#include <iterator>
#include <map>

#include "wire/message.h"

namespace {

std::string CodeLabel(uint16_t code) {
  char text[8];
  snprintf(text, sizeof(text), "0x%04X", code);
  return text;
}

std::map<std::string, uint64_t> CodeLabels(const std::map<uint16_t, uint64_t>& by_code) {
  std::map<std::string, uint64_t> labelled;
  for (const auto& [code, count] : by_code) labelled[CodeLabel(code)] = count;
  return labelled;
}

// Label values are our own words, codes and package fields; the package fields may hold any
// UTF-8 but no quote, backslash or line break may pass unescaped.
std::string Escape(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

class Writer {
 public:
  void Family(const char* name, const char* type, const char* help) {
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const char* name, const std::string& labels, uint64_t value) {
    text_ += name;
    if (!labels.empty()) text_ += "{" + labels + "}";
    text_ += " " + std::to_string(value) + "\n";
  }
  void ByLabel(const char* name, const char* label, const std::map<std::string, uint64_t>& values,
               const std::string& extra = "") {
    for (const auto& [key, value] : values) {
      Sample(name, extra + label + "=\"" + Escape(key) + "\"", value);
    }
  }
  std::string& text() { return text_; }

 private:
  std::string text_;
};

bool KnownRequest(uint16_t code) {
  switch (code) {
    case kMsgAuthentLinkRequest:
    case kMsgHeartbeat:
    case kMsgLoginRequest:
    case kMsgQryCheckUpdate:
    case kMsgQryCheckModule:
    case kMsgDownloadModule:
    case kMsgDownloadBaseZip:
    case kMsgPackageQuery:
      return true;
    default:
      return false;
  }
}

}  // namespace

namespace {

template <typename Key>
void AddAll(std::map<Key, uint64_t>* to, const std::map<Key, uint64_t>& from) {
  for (const auto& [key, count] : from) (*to)[key] += count;
}

}  // namespace

MetricsCounts& MetricsCounts::operator+=(const MetricsCounts& other) {
  installs_started += other.installs_started;
  installs_completed += other.installs_completed;
  AddAll(&installs_failed, other.installs_failed);
  for (size_t i = 0; i < std::size(kFileBuckets); ++i) {
    install_files_buckets[i] += other.install_files_buckets[i];
  }
  install_files_sum += other.install_files_sum;
  AddAll(&messages_in, other.messages_in);
  messages_in_other += other.messages_in_other;
  AddAll(&messages_out, other.messages_out);
  AddAll(&refused, other.refused);
  reloads += other.reloads;
  reload_failures += other.reload_failures;
  AddAll(&version_files, other.version_files);
  AddAll(&version_bytes, other.version_bytes);
  range_requests += other.range_requests;
  ranges += other.ranges;
  range_bytes += other.range_bytes;
  return *this;
}

void ServiceMetrics::CountIn(uint16_t code) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Codes a client makes up do not each get a series of their own.
  if (KnownRequest(code)) {
    ++counts_.messages_in[code];
  } else {
    ++counts_.messages_in_other;
  }
}

void ServiceMetrics::CountOut(uint16_t code) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_.messages_out[code];
}

void ServiceMetrics::CountRefused(const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_.refused[reason];
}

void ServiceMetrics::CountInstallStarted() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_.installs_started;
}

void ServiceMetrics::CountInstallCompleted(uint64_t module_files) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_.installs_completed;
  counts_.install_files_sum += module_files;
  // Cumulative, as Prometheus buckets are.
  for (size_t i = 0; i < std::size(MetricsCounts::kFileBuckets); ++i) {
    if (module_files <= MetricsCounts::kFileBuckets[i]) ++counts_.install_files_buckets[i];
  }
}

void ServiceMetrics::CountInstallFailed(const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_.installs_failed[reason];
}

void ServiceMetrics::CountVersionDownload(const std::string& number, int32_t part3,
                                          int32_t part4, uint64_t files, uint64_t bytes) {
  const std::string labels = "package=\"" + Escape(number) + "\",version=\"" +
                             std::to_string(part3) + "." + std::to_string(part4) + "\"";
  std::lock_guard<std::mutex> lock(mutex_);
  counts_.version_files[labels] += files;
  counts_.version_bytes[labels] += bytes;
}

void ServiceMetrics::CountRangeRequest(uint64_t ranges, uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_.range_requests;
  counts_.ranges += ranges;
  counts_.range_bytes += bytes;
}

void ServiceMetrics::CountReload() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_.reloads;
}

void ServiceMetrics::CountReloadFailure() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_.reload_failures;
}

MetricsCounts ServiceMetrics::Counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

std::string MetricsText(const MetricsCounts& m, const PackageSet& packages,
                        const EndpointCounters (&endpoints)[kEndpointKinds]) {
  Writer w;
  const EndpointKind kinds[] = {EndpointKind::kQuery, EndpointKind::kUpdate,
                                EndpointKind::kDownload, EndpointKind::kMetrics};
  auto each_endpoint = [&](const char* name, uint64_t EndpointCounters::*field) {
    for (EndpointKind kind : kinds) {
      w.Sample(name, std::string("endpoint=\"") + EndpointName(kind) + "\"",
               endpoints[static_cast<size_t>(kind)].*field);
    }
  };
  w.Family("quillbank_connections_open", "gauge", "Connections open now.");
  each_endpoint("quillbank_connections_open", &EndpointCounters::open);
  w.Family("quillbank_connections_total", "counter", "Connections accepted.");
  each_endpoint("quillbank_connections_total", &EndpointCounters::total);
  w.Family("quillbank_connections_refused_total", "counter",
           "Connections closed at once because too many were open.");
  each_endpoint("quillbank_connections_refused_total", &EndpointCounters::refused);
  w.Family("quillbank_bytes_sent_total", "counter", "Bytes written to clients.");
  each_endpoint("quillbank_bytes_sent_total", &EndpointCounters::bytes_sent);
  w.Family("quillbank_outbox_peak_bytes", "gauge",
           "The most bytes one connection had queued to send at once, since the start.");
  each_endpoint("quillbank_outbox_peak_bytes", &EndpointCounters::outbox_peak);

  w.Family("quillbank_installs_started_total", "counter",
           "Download connections that asked for files.");
  w.Sample("quillbank_installs_started_total", "", m.installs_started);
  w.Family("quillbank_installs_completed_total", "counter",
           "Download connections that sent everything asked of them.");
  w.Sample("quillbank_installs_completed_total", "", m.installs_completed);
  w.Family("quillbank_install_module_files", "histogram",
           "Module files sent to each completed install (fewer when installers reuse files).");
  for (size_t i = 0; i < std::size(MetricsCounts::kFileBuckets); ++i) {
    w.Sample("quillbank_install_module_files_bucket",
             "le=\"" + std::to_string(MetricsCounts::kFileBuckets[i]) + "\"",
             m.install_files_buckets[i]);
  }
  w.Sample("quillbank_install_module_files_bucket", "le=\"+Inf\"", m.installs_completed);
  w.Sample("quillbank_install_module_files_sum", "", m.install_files_sum);
  w.Sample("quillbank_install_module_files_count", "", m.installs_completed);
  w.Family("quillbank_installs_failed_total", "counter",
           "Download connections closed before they sent everything asked, by reason.");
  w.ByLabel("quillbank_installs_failed_total", "reason", m.installs_failed);

  w.Family("quillbank_messages_received_total", "counter", "Requests received, by code.");
  std::map<std::string, uint64_t> received = CodeLabels(m.messages_in);
  if (m.messages_in_other > 0) received["other"] = m.messages_in_other;
  w.ByLabel("quillbank_messages_received_total", "code", received);
  w.Family("quillbank_messages_sent_total", "counter", "Replies sent, by code.");
  w.ByLabel("quillbank_messages_sent_total", "code", CodeLabels(m.messages_out));
  w.Family("quillbank_requests_refused_total", "counter", "Requests refused, by reason.");
  w.ByLabel("quillbank_requests_refused_total", "reason", m.refused);

  w.Family("quillbank_reloads_total", "counter", "Package reloads asked for (SIGHUP).");
  w.Sample("quillbank_reloads_total", "", m.reloads);
  w.Family("quillbank_reload_failures_total", "counter",
           "Reloads in which a package folder failed to load and the old one stayed.");
  w.Sample("quillbank_reload_failures_total", "", m.reload_failures);

  w.Family("quillbank_cache_bytes", "gauge",
           "Compressed download messages kept for the packages served now.");
  w.Sample("quillbank_cache_bytes", "", packages.cache() ? packages.cache()->bytes() : 0);
  w.Family("quillbank_cache_modules", "gauge", "Modules whose messages are kept.");
  w.Sample("quillbank_cache_modules", "", packages.cache() ? packages.cache()->modules() : 0);

  w.Family("quillbank_package_info", "gauge",
           "The versions loaded: number, version, modules, and whether the update check "
           "announces it (the others are served to downloads that ask for their records).");
  for (size_t i = 0; i < packages.packages().size(); ++i) {
    const Package& p = packages.packages()[i];
    w.Sample("quillbank_package_info",
             "number=\"" + Escape(p.number) + "\",version=\"" + std::to_string(p.version_part3) +
                 "." + std::to_string(p.version_part4) + "\",modules=\"" +
                 std::to_string(p.modules.size()) + "\",announced=\"" +
                 (packages.announced(i) ? "1" : "0") + "\"",
             1);
  }
  w.Family("quillbank_version_files_total", "counter",
           "Module files downloads asked for, by the package and version they belong to.");
  for (const auto& [labels, value] : m.version_files) {
    w.Sample("quillbank_version_files_total", labels, value);
  }
  w.Family("quillbank_version_bytes_total", "counter",
           "Bytes of the module files downloads asked for, by package and version.");
  for (const auto& [labels, value] : m.version_bytes) {
    w.Sample("quillbank_version_bytes_total", labels, value);
  }
  w.Family("quillbank_range_requests_total", "counter",
           "Requests for parts of module files (an update that fetches what changed inside files).");
  w.Sample("quillbank_range_requests_total", "", m.range_requests);
  w.Family("quillbank_ranges_total", "counter", "Parts of module files asked for.");
  w.Sample("quillbank_ranges_total", "", m.ranges);
  w.Family("quillbank_range_bytes_total", "counter",
           "Bytes of the parts of module files asked for (sent as ranges, not whole files).");
  w.Sample("quillbank_range_bytes_total", "", m.range_bytes);
  return w.text();
}
