#include "platform/endpoint_security/process/ProcessSourceChoice.h"

#include <unistd.h>

#include <mutex>
#include <string>
#include <string_view>

#include "platform/log/Log.h"

namespace platform::es {
namespace {

// Every client of the agent (the start-up probe, the real one) chooses; the line is written
// when the choice differs from the last one written.
void logChoice(const std::string& line) {
  static std::mutex mutex;
  static std::string last;
  std::lock_guard lock(mutex);
  if (line == last) return;
  last = line;
  platform::log::write(line);
}

class ChosenProcessSource final : public Source {
 public:
  ChosenProcessSource(SourceFactory bpf, SourceFactory connector,
                      ProcessSourcePreference preference)
      : bpf_(std::move(bpf)), connector_(std::move(connector)), preference_(preference) {}

  std::string_view name() const override { return chosen_ ? chosen_->name() : "process"; }
  bool produces(es_event_type_t type) const override { return isProcessKind(type); }

  es_new_client_result_t open(std::string& why) override {
    if (::geteuid() != 0) {
      why = "not running as root";
      return ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED;
    }
    if (preference_ == ProcessSourcePreference::connector) {
      return openConnector("forced by WATCH_EVENT_SOURCE", why);
    }
    std::unique_ptr<Source> bpf = bpf_();
    std::string bpfWhy;
    const es_new_client_result_t bpfResult = bpf->open(bpfWhy);
    if (bpfResult == ES_NEW_CLIENT_RESULT_SUCCESS) {
      chosen_ = std::move(bpf);
      logChoice("EndpointSecurity: event source: bpf");
      return bpfResult;
    }
    if (preference_ == ProcessSourcePreference::bpf) {
      NSLog("EndpointSecurity: event source: bpf unavailable (%s)", bpfWhy.c_str());
      why = bpfWhy;
      return bpfResult;
    }
    const es_new_client_result_t rc = openConnector(bpfWhy, why);
    if (rc == ES_NEW_CLIENT_RESULT_SUCCESS) return rc;
    why = "bpf: " + bpfWhy + "; connector: " + why;
    NSLog("EndpointSecurity: no event source (%s)", why.c_str());
    return bpfResult == ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED
               ? ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED
               : ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED;
  }

  void start(SourceContext& context) override { chosen_->start(context); }
  void stop() override {
    if (chosen_) chosen_->stop();
  }

 private:
  es_new_client_result_t openConnector(const std::string& bpfWhy, std::string& why) {
    std::unique_ptr<Source> connector = connector_();
    const es_new_client_result_t rc = connector->open(why);
    if (rc != ES_NEW_CLIENT_RESULT_SUCCESS) return rc;
    chosen_ = std::move(connector);
    logChoice("EndpointSecurity: event source: connector (" + bpfWhy + ")");
    return rc;
  }

  const SourceFactory bpf_;
  const SourceFactory connector_;
  const ProcessSourcePreference preference_;
  std::unique_ptr<Source> chosen_;
};

}  // namespace

ProcessSourcePreference processSourcePreference(const char* setting) {
  const std::string_view named = setting ? setting : "";
  if (named == "bpf") return ProcessSourcePreference::bpf;
  if (named == "connector") return ProcessSourcePreference::connector;
  return ProcessSourcePreference::automatic;
}

std::unique_ptr<Source> makeProcessSource(SourceFactory bpf, SourceFactory connector,
                                          ProcessSourcePreference preference) {
  return std::make_unique<ChosenProcessSource>(std::move(bpf), std::move(connector), preference);
}

}  // namespace platform::es
