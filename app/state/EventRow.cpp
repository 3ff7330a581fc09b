#include "app/state/EventRow.h"

#include <lz4.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>
#include <algorithm>
#include <array>
#include <cstring>

namespace app {
namespace {

// Longer details are cut: the detail pane shows the whole document.
constexpr qsizetype kDetailLimit = 400;

constexpr std::array<EventKind, 12> kKinds{{
    {"exec", 9},
    {"fork", 11},
    {"exit", 15},
    {"auth", 111},
    {"xpMalwareDetected", 112},
    {"lwSessionLogin", 114},
    {"lwSessionUnlock", 117},
    {"screensharingAttach", 118},
    {"openSshLogin", 120},
    {"loginLogin", 122},
    {"btmLaunchItemAdd", 124},
    {"btmLaunchItemRemove", 125},
}};

// A packed document: its length (4 bytes, little-endian), then its LZ4 block. LZ4 because the
// receiving thread packs every document: about a microsecond for a kilobyte, against tens for
// zlib.
QByteArray pack(const QByteArray& document) {
  const int bound = LZ4_compressBound(static_cast<int>(document.size()));
  QByteArray packed(4 + bound, Qt::Uninitialized);
  qToLittleEndian<quint32>(static_cast<quint32>(document.size()), packed.data());
  const int size = LZ4_compress_default(document.constData(), packed.data() + 4,
                                        static_cast<int>(document.size()), bound);
  packed.resize(4 + std::max(size, 0));
  packed.squeeze();
  return packed;
}

QByteArray unpack(const QByteArray& packed) {
  if (packed.size() < 4) return {};
  const auto size = qFromLittleEndian<quint32>(packed.constData());
  QByteArray document(static_cast<qsizetype>(size), Qt::Uninitialized);
  const int got = LZ4_decompress_safe(packed.constData() + 4, document.data(),
                                      static_cast<int>(packed.size() - 4), static_cast<int>(size));
  return got == static_cast<int>(size) ? document : QByteArray();
}

QString joined(const QJsonArray& words) {
  QString out;
  for (const QJsonValue& word : words) {
    if (!out.isEmpty()) out += u' ';
    out += word.toString();
    if (out.size() > kDetailLimit) break;
  }
  return out;
}

QString addressAndUser(const QJsonObject& event, const QString& userKey) {
  QString out = event.value(QLatin1String("sourceAddress")).toString();
  const QString user = event.value(userKey).toString();
  if (!user.isEmpty())
    out += (out.isEmpty() ? QString() : QStringLiteral(" ")) + u'(' + user + u')';
  return out;
}

QString detailOf(std::string_view member, const QJsonObject& event) {
  const auto text = [&](const char* key) { return event.value(QLatin1String(key)).toString(); };
  if (member == "exec") return joined(event.value(QLatin1String("args")).toArray());
  if (member == "fork")
    return QStringLiteral("child ") + QString::number(event.value(QLatin1String("child"))
                                                          .toObject()
                                                          .value(QLatin1String("pid"))
                                                          .toInteger());
  if (member == "exit")
    return QStringLiteral("status ") +
           QString::number(event.value(QLatin1String("stat")).toInteger());
  if (member == "auth")
    return event.value(QLatin1String("success")).toBool() ? QStringLiteral("succeeded")
                                                          : QStringLiteral("failed");
  if (member == "xpMalwareDetected") return text("detectedPath");
  if (member == "lwSessionLogin" || member == "lwSessionUnlock" || member == "loginLogin")
    return text("username");
  if (member == "openSshLogin") return addressAndUser(event, QStringLiteral("username"));
  if (member == "screensharingAttach")
    return addressAndUser(event, QStringLiteral("authenticationUsername"));
  if (member == "btmLaunchItemAdd" || member == "btmLaunchItemRemove") {
    const QString item =
        event.value(QLatin1String("item")).toObject().value(QLatin1String("itemUrl")).toString();
    return item.isEmpty() ? text("executablePath") : item;
  }
  return {};
}

}  // namespace

std::span<const EventKind> eventKinds() {
  return kKinds;
}

QString EventRow::kindName() const {
  if (kind < 0 || kind >= static_cast<int>(kKinds.size())) return QStringLiteral("unknown");
  const std::string_view member = kKinds[static_cast<std::size_t>(kind)].member;
  return QString::fromLatin1(member.data(), static_cast<qsizetype>(member.size()));
}

QByteArray EventRow::document() const {
  return unpack(packedDocument);
}

std::optional<EventRow> eventRowFromDocument(const QByteArray& document) {
  const QJsonDocument parsed = QJsonDocument::fromJson(document);
  if (!parsed.isObject()) return std::nullopt;
  const QJsonObject root = parsed.object();
  EventRow row;
  row.time = root.value(QLatin1String("timeStr")).toString();
  const QJsonObject process = root.value(QLatin1String("process")).toObject();
  row.pid =
      process.contains(QLatin1String("pid")) ? process.value(QLatin1String("pid")).toInteger() : -1;
  row.path =
      process.value(QLatin1String("exectuable")).toObject().value(QLatin1String("path")).toString();
  for (std::size_t i = 0; i < kKinds.size(); ++i) {
    const std::string_view member = kKinds[i].member;
    const auto value =
        root.constFind(QLatin1String(member.data(), static_cast<qsizetype>(member.size())));
    if (value == root.constEnd()) continue;
    row.kind = static_cast<int>(i);
    row.detail = detailOf(member, value->toObject());
    break;
  }
  if (row.detail.size() > kDetailLimit) row.detail = row.detail.left(kDetailLimit) + u'\u2026';
  row.packedDocument = pack(document);
  return row;
}

QString indentedJson(const QByteArray& document) {
  const QJsonDocument parsed = QJsonDocument::fromJson(document);
  if (parsed.isNull()) return QString::fromUtf8(document);
  return QString::fromUtf8(parsed.toJson(QJsonDocument::Indented));
}

}  // namespace app
