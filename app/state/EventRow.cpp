#include "app/state/EventRow.h"

#include <lz4.h>

#include <QJsonDocument>
#include <QtEndian>
#include <algorithm>
#include <cstring>

#include "shared/ipc/EventColumns.h"
#include "shared/ipc/JsonLayout.h"

namespace app {
namespace {

// Longer details are cut: the detail pane shows the whole document.
constexpr qsizetype kDetailLimit = 400;

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

}  // namespace

std::span<const ipc::EventKindName> eventKinds() {
  return ipc::kEventKindNames;
}

QString EventRow::kindName() const {
  if (kind < 0 || kind >= static_cast<int>(ipc::kEventKindNames.size()))
    return QStringLiteral("unknown");
  const std::string_view name = ipc::kEventKindNames[static_cast<std::size_t>(kind)].eventDesc;
  return QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
}

QByteArray EventRow::document() const {
  return unpack(packedDocument);
}

std::optional<EventRow> eventRowFromDocument(const QByteArray& document) {
  // Read as watchctl's table reads it, so the two show the same columns.
  const auto columns = ipc::eventColumns(std::string_view(document.constData(), document.size()));
  if (!columns) return std::nullopt;
  EventRow row;
  // Local time, as watchctl's table shows it; a document without a time keeps its text.
  row.time = QString::fromStdString(columns->time != 0 ? ipc::localIsoTime(columns->time)
                                                       : columns->timeStr);
  if (columns->kind) row.kind = static_cast<int>(columns->kind - ipc::kEventKindNames.data());
  row.pid = columns->pid;
  row.ppid = columns->ppid;
  if (columns->uid) row.user = QString::fromStdString(ipc::userName(*columns->uid));
  row.path = QString::fromStdString(columns->executable);
  row.detail = QString::fromStdString(columns->detail);
  if (row.detail.size() > kDetailLimit) row.detail = row.detail.left(kDetailLimit) + u'\u2026';
  row.packedDocument = pack(document);
  return row;
}

QString indentedJson(const QByteArray& document) {
  // Checked by the parser, laid out from the bytes themselves: a parsed document would sort the
  // keys and pass integers through double.
  if (QJsonDocument::fromJson(document).isNull()) return QString::fromUtf8(document);
  return QString::fromStdString(
      ipc::indentedJson(std::string_view(document.constData(), document.size()), 4));
}

}  // namespace app
