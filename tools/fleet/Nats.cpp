// The shared NATS pieces: command-line options, the connection owner and the stream definition.
#include "tools/fleet/Nats.h"

#include <CLI/CLI.hpp>
#include <vector>

namespace fleet {

void addNatsOptions(CLI::App& app, NatsSettings& settings) {
  app.add_option("-s,--server", settings.servers,
                 "NATS server URL (nats:// or tls://); repeat or separate with commas")
      ->delimiter(',')
      ->capture_default_str();
  app.add_option("--creds", settings.credsFile, "Credentials file (user JWT and NKey seed)")
      ->check(CLI::ExistingFile);
  app.add_option("--ca", settings.caFile, "Trusted CA certificates (PEM); turns TLS on")
      ->check(CLI::ExistingFile);
  app.add_option("--cert", settings.certFile, "Client certificate for mutual TLS (PEM)")
      ->check(CLI::ExistingFile);
  app.add_option("--key", settings.keyFile, "Private key of the client certificate (PEM)")
      ->check(CLI::ExistingFile);
  app.add_option("--stream", settings.stream, "JetStream stream name")->capture_default_str();
}

std::string describe(natsStatus status, jsErrCode code) {
  std::string text = natsStatus_GetText(status);
  if (code != 0) text += " (JetStream error " + std::to_string(static_cast<int>(code)) + ")";
  const char* last = nats_GetLastError(nullptr);
  if (last && *last && text.find(last) == std::string::npos) text += ": " + std::string(last);
  return text;
}

namespace {

struct OptionsOwner {
  natsOptions* options = nullptr;
  ~OptionsOwner() { natsOptions_Destroy(options); }
};

// The first failing step's status, or NATS_OK.
natsStatus configure(natsOptions* o, const NatsSettings& settings, const Link::Tuning& tuning) {
  std::vector<const char*> urls;
  for (const auto& url : settings.servers) urls.push_back(url.c_str());
  natsStatus s = natsOptions_SetServers(o, urls.data(), static_cast<int>(urls.size()));
  if (s == NATS_OK) s = natsOptions_SetName(o, tuning.clientName.c_str());
  if (s == NATS_OK && !settings.credsFile.empty()) {
    s = natsOptions_SetUserCredentialsFromFiles(o, settings.credsFile.c_str(), nullptr);
  }
  if (s == NATS_OK && !settings.caFile.empty()) {
    s = natsOptions_SetSecure(o, true);
    if (s == NATS_OK) s = natsOptions_LoadCATrustedCertificates(o, settings.caFile.c_str());
  }
  if (s == NATS_OK && !settings.certFile.empty()) {
    s = natsOptions_LoadCertificatesChain(o, settings.certFile.c_str(), settings.keyFile.c_str());
  }
  if (s == NATS_OK && tuning.keepTrying) s = natsOptions_SetMaxReconnect(o, -1);
  if (s == NATS_OK) s = natsOptions_SetReconnectWait(o, 250);
  if (s == NATS_OK && tuning.reconnectBufferBytes > 0) {
    s = natsOptions_SetReconnectBufSize(o, tuning.reconnectBufferBytes);
  }
  // A server that stops answering is noticed within a few seconds, not minutes.
  if (s == NATS_OK) s = natsOptions_SetPingInterval(o, 2000);
  if (s == NATS_OK) s = natsOptions_SetMaxPingsOut(o, 2);
  return s;
}

}  // namespace

std::unique_ptr<Link> Link::open(const NatsSettings& settings, const Tuning& tuning,
                                 std::string& error) {
  std::unique_ptr<Link> link(new Link());
  link->hooks_ = new Hooks{tuning.connected, tuning.disconnected};
  Hooks* hooks = link->hooks_;
  OptionsOwner options;
  natsStatus s = natsOptions_Create(&options.options);
  if (s == NATS_OK) s = configure(options.options, settings, tuning);
  if (s == NATS_OK && tuning.keepTrying) {
    s = natsOptions_SetRetryOnFailedConnect(options.options, true, &Link::onConnected, hooks);
  }
  if (s == NATS_OK) s = natsOptions_SetReconnectedCB(options.options, &Link::onConnected, hooks);
  if (s == NATS_OK) {
    s = natsOptions_SetDisconnectedCB(options.options, &Link::onDisconnected, hooks);
  }
  if (s == NATS_OK) s = natsOptions_SetClosedCB(options.options, &Link::onClosed, hooks);
  if (s != NATS_OK) {
    error = "invalid NATS options: " + describe(s);
    return nullptr;
  }
  s = natsConnection_Connect(&link->connection_, options.options);
  // From here on the connection's closed callback frees the hooks.
  if (link->connection_) link->hooks_ = nullptr;
  if (s == NATS_OK && tuning.connected) {
    char url[256] = "";
    natsConnection_GetConnectedUrl(link->connection_, url, sizeof url);
    tuning.connected(url);
  }
  // Still trying in the background: the connected callback says when it worked.
  if (s == NATS_NOT_YET_CONNECTED) s = NATS_OK;
  if (s != NATS_OK) {
    error = "cannot connect to NATS: " + describe(s);
    return nullptr;
  }
  jsOptions js;
  jsOptions_Init(&js);
  js.PublishAsync.AckHandler = tuning.ackHandler;
  js.PublishAsync.AckHandlerClosure = tuning.ackClosure;
  js.PublishAsync.MaxPending = tuning.maxPendingAcks;
  s = natsConnection_JetStream(&link->js_, link->connection_, &js);
  if (s != NATS_OK) {
    error = "cannot use JetStream: " + describe(s);
    return nullptr;
  }
  return link;
}

Link::~Link() {
  if (js_) jsCtx_Destroy(js_);
  if (connection_) {
    natsConnection_Close(connection_);
    natsConnection_Destroy(connection_);
  }
  delete hooks_;
}

bool Link::connected() const {
  return natsConnection_Status(connection_) == NATS_CONN_STATUS_CONNECTED;
}

void Link::onConnected(natsConnection* nc, void* closure) {
  const auto* hooks = static_cast<Hooks*>(closure);
  if (!hooks->connected) return;
  char url[256] = "";
  natsConnection_GetConnectedUrl(nc, url, sizeof url);
  hooks->connected(url);
}

void Link::onDisconnected(natsConnection*, void* closure) {
  const auto* hooks = static_cast<Hooks*>(closure);
  if (hooks->disconnected) hooks->disconnected();
}

void Link::onClosed(natsConnection*, void* closure) {
  delete static_cast<Hooks*>(closure);
}

std::string createStream(Link& link, const StreamDefinition& definition) {
  const std::string subjects = std::string(kSubjectPrefix) + ".>";
  const char* subjectList[] = {subjects.c_str()};
  jsStreamConfig config;
  jsStreamConfig_Init(&config);
  config.Name = definition.name.c_str();
  config.Description = "Corvane Endpoint documents of every machine, in order per machine";
  config.Subjects = subjectList;
  config.SubjectsLen = 1;
  config.Retention = js_LimitsPolicy;
  config.Storage = js_FileStorage;
  config.Discard = js_DiscardOld;
  config.Replicas = definition.replicas;
  config.MaxAge = definition.maxAgeSeconds * 1000000000LL;
  config.MaxBytes = definition.maxBytes;
  config.Duplicates = definition.duplicateWindowSeconds * 1000000000LL;
  jsStreamInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus s = js_AddStream(&info, link.jetStream(), &config, nullptr, &code);
  if (s != NATS_OK && code == JSStreamNameExistErr) {
    code = static_cast<jsErrCode>(0);
    s = js_UpdateStream(&info, link.jetStream(), &config, nullptr, &code);
  }
  jsStreamInfo_Destroy(info);
  return s == NATS_OK ? std::string() : describe(s, code);
}

std::string subjectFilter(std::string_view host, std::string_view kind) {
  std::string subject(kSubjectPrefix);
  subject += '.';
  subject += host.empty() ? std::string_view("*") : host;
  subject += '.';
  subject += kind.empty() ? std::string_view("*") : kind;
  return subject;
}

}  // namespace fleet
