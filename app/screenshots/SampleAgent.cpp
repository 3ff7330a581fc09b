#include "app/screenshots/SampleAgent.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "shared/ipc/EventKinds.h"

namespace app::sample {
namespace {

struct Program {
  const char* path;
  const char* args;
};

constexpr std::array<Program, 8> kPrograms{{
    {"/usr/bin/bash", "bash -c make -j2"},
    {"/usr/bin/git", "git status --short"},
    {"/usr/bin/curl", "curl -fsSL https://deb.debian.org/debian/dists/bookworm/Release"},
    {"/usr/sbin/sshd", "sshd: alice [priv]"},
    {"/usr/bin/python3.11", "python3 manage.py runserver"},
    {"/usr/lib/systemd/systemd-logind", "systemd-logind"},
    {"/usr/bin/ls", "ls --color=auto -la /etc"},
    {"/usr/bin/cron", "cron -f"},
}};

QJsonObject process(std::size_t n, const Program& program) {
  const auto pid = static_cast<qint64>(2000 + (n * 37) % 30000);
  QJsonObject executable{{"path", program.path},    {"pathTuncated", false},
                         {"changeTime", 733000000}, {"changeTimeStr", "2024-03-25T19:06:40Z"},
                         {"modifyTime", 733000000}, {"modifyTimeStr", "2024-03-25T19:06:40Z"},
                         {"birthTime", 0},          {"birthTimeStr", "2001-01-01T00:00:00Z"}};
  return {{"ppid", pid - 3},
          {"originalPpid", pid - 3},
          {"pid", pid},
          {"groupId", pid},
          {"sessionId", pid - 40},
          {"euid", 1000},
          {"ruid", 1000},
          {"egid", 1000},
          {"rgid", 1000},
          {"signingId", "bash"},
          {"hash", "3F1D0C2B9A8E7D6C5B4A39281706F5E4D3C2B1A0"},
          {"isPlatformBinary", true},
          {"codesigningFlags", 0},
          {"exectuable", executable},
          {"startTime", 765000000},
          {"startTimeStr", "2025-03-29T03:20:00Z"}};
}

// Seconds past 09:00 on 2026-12-10 (UTC) of document `n`.
std::size_t secondsPastNine(std::size_t n) {
  return 41 * 60 + 7 + n / 7;
}

// The document's time: seconds since 2001-01-01 (UTC), as its timeStr says.
double eventTime(std::size_t n) {
  constexpr double kNineOClock = 818586000.0;  // 2026-12-10T09:00:00Z
  return kNineOClock + static_cast<double>(secondsPastNine(n));
}

// Gives the document the kind named `eventDesc`, as the clients' table numbers it; returns the
// member that holds the kind's fields.
QString setKind(QJsonObject& root, std::string_view eventDesc) {
  const ipc::EventKindName& kind = *ipc::parseEventKind(eventDesc);
  root["eventType"] = static_cast<qint64>(kind.eventType);
  root["eventDesc"] = QString::fromLatin1(kind.eventDesc.data(), std::ssize(kind.eventDesc));
  return QString::fromLatin1(kind.member.data(), std::ssize(kind.member));
}

QString timeText(std::size_t n) {
  const std::size_t seconds = secondsPastNine(n);
  return QStringLiteral("2026-12-10T09:%1:%2Z")
      .arg((seconds / 60) % 60, 2, 10, QLatin1Char('0'))
      .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

std::string eventDocument(std::size_t n) {
  const Program& program = kPrograms[n % kPrograms.size()];
  QJsonObject root{{"version", 7},
                   {"time", eventTime(n)},
                   {"timeStr", timeText(n)},
                   {"process", process(n, program)}};
  switch (n % 7) {
    case 0:
    case 3: {
      QJsonArray args;
      for (const QString& word : QString::fromLatin1(program.args).split(u' ')) args.append(word);
      root[setKind(root, "EXEC")] =
          QJsonObject{{"target", process(n + 1, program)},
                      {"args", args},
                      {"envs", QJsonArray{"PATH=/usr/bin:/bin", "LANG=C.UTF-8"}}};
      break;
    }
    case 1:
      root[setKind(root, "FORK")] = QJsonObject{{"child", process(n + 5, program)}};
      break;
    case 2:
      root[setKind(root, "EXIT")] = QJsonObject{{"stat", static_cast<int>(n % 3) * 256}};
      break;
    case 4:
      root[setKind(root, "OPENSSH_LOGIN")] = QJsonObject{{"success", true},
                                                         {"resultType", 6},
                                                         {"sourceAddressType", 1},
                                                         {"sourceAddress", "192.0.2.44"},
                                                         {"username", "alice"}};
      break;
    case 5:
      root[setKind(root, "LOGIN")] =
          QJsonObject{{"success", true}, {"username", "bob"}, {"hasUid", true}, {"uid", 1001}};
      break;
    default:
      root[setKind(root, "BTM_LAUNCH_ITEM_ADD")] =
          QJsonObject{{"item", QJsonObject{{"itemType", 3},
                                           {"legacy", false},
                                           {"managed", false},
                                           {"uid", 0},
                                           {"itemUrl", "/etc/systemd/system/backup.timer"}}},
                      {"executablePath", "/usr/local/bin/backup"}};
      break;
  }
  return QJsonDocument(root).toJson(QJsonDocument::Compact).toStdString();
}

std::string processTableDocument() {
  QJsonArray table;
  const std::pair<int, const char*> rows[] = {{1, "/usr/lib/systemd/systemd"},
                                              {412, "/usr/lib/systemd/systemd-journald"},
                                              {598, "/usr/sbin/cron"},
                                              {612, "/usr/sbin/sshd"},
                                              {640, "/usr/lib/systemd/systemd-logind"},
                                              {812, "/usr/sbin/watchagent"},
                                              {1204, "/usr/bin/bash"},
                                              {1377, "/usr/bin/python3.11"},
                                              {2290, "/usr/bin/corvane-endpoint"},
                                              {2291, "/usr/bin/git"}};
  for (const auto& [pid, path] : rows)
    table.append(QJsonObject{{"pid", pid}, {"executable", path}});
  return QJsonDocument(QJsonObject{{"table", table}}).toJson(QJsonDocument::Compact).toStdString();
}

SampleAgent::SampleAgent(std::string serviceName) : processTable_(processTableDocument()) {
  listener_ = NSXPCListener::initWithMachServiceName(serviceName);
  listener_->setDelegate(this);
  listener_->resume();
}

SampleAgent::~SampleAgent() {
  listener_.reset();
  std::lock_guard lock(mutex_);
  clients_.clear();
}

bool SampleAgent::shouldAcceptNewConnection(NSXPCListener&,
                                            std::shared_ptr<NSXPCConnection> connection) {
  connection->setExportedInterface(
      NSXPCInterface::interfaceWithProtocol<ipc::AppToSystemExtensions>());
  connection->setExportedObject(static_cast<ipc::AppToSystemExtensions*>(this));
  connection->setRemoteObjectInterface(
      NSXPCInterface::interfaceWithProtocol<ipc::SystemExtensionsToApp>());
  auto client = std::make_shared<Client>();
  client->connection = connection;
  const std::weak_ptr<Client> weak = client;
  const auto forget = [this, weak] {
    std::lock_guard lock(mutex_);
    std::erase_if(clients_, [&](const auto& c) { return c == weak.lock(); });
  };
  connection->setInvalidationHandler(forget);
  connection->setInterruptionHandler(forget);
  client->proxy = connection->remoteObjectProxyWithErrorHandler([](const NSError&) {});
  connection->resume();
  std::lock_guard lock(mutex_);
  clients_.push_back(std::move(client));
  return true;
}

void SampleAgent::establishConnection2WithMessage(const ipc::NSString&,
                                                  std::function<void(const ipc::NSString&)> reply) {
  reply(std::string(ipc::kEstablishedReply));
}

void SampleAgent::establishConnectionAndGetProcTableWithMessage(
    const ipc::NSString&, std::function<void(const ipc::NSData&)> reply) {
  std::string table;
  {
    std::lock_guard lock(mutex_);
    table = processTable_;
  }
  reply(table);
}

std::size_t SampleAgent::broadcast(const std::string& document) {
  std::vector<std::shared_ptr<Client>> now;
  {
    std::lock_guard lock(mutex_);
    now = clients_;
  }
  std::size_t sent = 0;
  std::optional<std::uint32_t> eventType;
  for (const auto& client : now) {
    std::shared_ptr<const ipc::Subscription> filter;
    {
      std::lock_guard lock(mutex_);
      filter = client->filter;
    }
    if (filter) {
      if (!eventType) {
        eventType = static_cast<std::uint32_t>(
            QJsonDocument::fromJson(QByteArray::fromStdString(document))["eventType"].toInt());
      }
      if (!filter->wantsKind(*eventType)) continue;
    }
    client->proxy->reportEndpointMessageWithMsg(document);
    ++sent;
  }
  return sent;
}

void SampleAgent::subscribeToEventsWithFilter(const ipc::NSString& filter,
                                              std::function<void(const ipc::NSString&)> reply) {
  std::string error;
  auto subscription = ipc::decodeSubscription(filter, error);
  if (!subscription) return reply(error);
  std::lock_guard lock(mutex_);
  subscriptions_.push_back(filter);
  for (const auto& client : clients_) {
    if (client->connection->isCurrentConnection()) {
      client->filter = std::make_shared<const ipc::Subscription>(std::move(*subscription));
    }
  }
  reply(std::string(ipc::kSubscribedReply));
}

std::vector<std::string> SampleAgent::subscriptions() const {
  std::lock_guard lock(mutex_);
  return subscriptions_;
}

std::size_t SampleAgent::clients() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

void SampleAgent::setProcessTable(std::string document) {
  std::lock_guard lock(mutex_);
  processTable_ = std::move(document);
}

}  // namespace app::sample
