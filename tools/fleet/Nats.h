// The NATS side shared by watchexport and watchctl's fleet commands: where the servers are and
// how to reach them (NATS's own URL, credentials and TLS options), a move-only owner of one
// client connection with its JetStream context, and the stream every exporter writes to.
#pragma once

#include <nats/nats.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace fleet {

inline constexpr std::string_view kDefaultStream = "CORVANE_EVENTS";
// Every document lands on corvane.events.<host>.<kind>.
inline constexpr std::string_view kSubjectPrefix = "corvane.events";
// Kinds in the stream besides the documents' own: the exporter's notices (gaps, dropped
// documents) and documents without an eventDesc.
inline constexpr std::string_view kNoticeKind = "EXPORTER";
inline constexpr std::string_view kUnknownKind = "UNKNOWN";
inline constexpr char kHostHeader[] = "Corvane-Host";
inline constexpr char kSequenceHeader[] = "Corvane-Seq";
// The exporter epoch of the sequence (see watchexport's Epoch.h); missing on messages of
// exporters that had none, which count as epoch 0.
inline constexpr char kEpochHeader[] = "Corvane-Epoch";

// How to reach the servers, as NATS clients spell it.
struct NatsSettings {
  std::vector<std::string> servers{"nats://127.0.0.1:4222"};
  std::string credsFile;  // user JWT and NKey seed
  std::string caFile;     // trusted certificate authorities; implies TLS
  std::string certFile;   // client certificate for mutual TLS, with keyFile
  std::string keyFile;
  std::string stream{kDefaultStream};
};

// Adds --server, --creds, --ca, --cert, --key and --stream to a command line.
void addNatsOptions(CLI::App& app, NatsSettings& settings);

// One connection and its JetStream context. Destroying it closes the connection.
class Link {
 public:
  struct Tuning {
    // Keep trying to connect and reconnect forever instead of failing when no server answers.
    bool keepTrying = false;
    // Bytes published while disconnected that the client library may hold for the next
    // connection; publishes beyond fail at once.
    int reconnectBufferBytes = 0;
    std::function<void(std::string_view server)> connected;
    std::function<void()> disconnected;
    // Every asynchronous publish result, on a library thread.
    jsPubAckHandler ackHandler = nullptr;
    void* ackClosure = nullptr;
    std::int64_t maxPendingAcks = 0;
    std::string clientName = "corvane";
  };

  // The connection, or nullptr with `error` set.
  static std::unique_ptr<Link> open(const NatsSettings& settings, const Tuning& tuning,
                                    std::string& error);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  natsConnection* connection() const { return connection_; }
  jsCtx* jetStream() const { return js_; }
  bool connected() const;

 private:
  // The connection callbacks. The library may call them after the connection is closed, on its
  // own thread, so they live until its last callback (closed) has run.
  struct Hooks {
    std::function<void(std::string_view server)> connected;
    std::function<void()> disconnected;
  };

  Link() = default;
  static void onConnected(natsConnection* nc, void* closure);
  static void onDisconnected(natsConnection* nc, void* closure);
  static void onClosed(natsConnection* nc, void* closure);

  Hooks* hooks_ = nullptr;  // owned by the connection once it exists
  natsConnection* connection_ = nullptr;
  jsCtx* js_ = nullptr;
};

// A status and, when the server gave one, its JetStream error code, as one sentence.
std::string describe(natsStatus status, jsErrCode code = static_cast<jsErrCode>(0));

// The stream's definition; the exporter's documents and notices are all it holds.
struct StreamDefinition {
  std::string name{kDefaultStream};
  int replicas = 3;
  std::int64_t maxAgeSeconds = 30LL * 24 * 3600;
  std::int64_t maxBytes = -1;
  // How long a message id is remembered: a retry within this window is never stored twice.
  std::int64_t duplicateWindowSeconds = 600;
};

// Creates the stream, or updates it to `definition` when it exists. Returns an empty string on
// success, else why not.
std::string createStream(Link& link, const StreamDefinition& definition);

// The subject filter for a host and a kind; empty means any.
std::string subjectFilter(std::string_view host, std::string_view kind);

}  // namespace fleet
