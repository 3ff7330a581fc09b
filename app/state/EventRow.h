// One event document as the events table shows it: the columns taken out of the JSON once, when
// the document arrives, and the document itself kept packed for the detail pane. Plain
// values; built on whichever thread receives the document.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <span>
#include <string_view>

namespace app {

// The kinds of event a document can carry, by the member that holds the event's own fields.
struct EventKind {
  std::string_view member;  // "exec", "openSshLogin", ...
  int eventType;            // the document's "eventType"
};
std::span<const EventKind> eventKinds();

struct EventRow {
  QString time;   // the document's "timeStr"
  int kind = -1;  // index into eventKinds(); -1 for a kind this build does not know
  QString path;   // the acting process's executable
  qint64 pid = -1;
  // The kind's main detail: arguments for exec, user for logins, path for launch items and
  // detections, address for ssh and screen sharing.
  QString detail;
  QByteArray packedDocument;  // the JSON as received, LZ4-packed

  QString kindName() const;
  QByteArray document() const;
};

// Null when the bytes are not a JSON object.
std::optional<EventRow> eventRowFromDocument(const QByteArray& document);

// The document laid out with indentation for people to read; the bytes themselves when they are
// not JSON.
QString indentedJson(const QByteArray& document);

}  // namespace app
