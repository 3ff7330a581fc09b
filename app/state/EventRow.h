// One event document as the events table shows it: the columns taken out of the JSON once, when
// the document arrives, and the document itself kept packed for the detail pane. Plain
// values; built on whichever thread receives the document.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <span>
#include <string_view>

#include "shared/ipc/EventKinds.h"

namespace app {

// The kinds of event a document can carry, named as in the documents and every tool.
std::span<const ipc::EventKindName> eventKinds();

struct EventRow {
  QString time;   // the document's time, local ISO 8601 with milliseconds and offset
  int kind = -1;  // index into eventKinds(); -1 for a kind this build does not know
  qint64 pid = -1, ppid = -1;
  QString user;  // the acting process's effective user
  QString path;  // the acting process's executable; for an exec the image before it
  // The kind's main detail: the program run with its arguments for exec, user for logins, path
  // for launch items and detections, address for ssh and screen sharing.
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
