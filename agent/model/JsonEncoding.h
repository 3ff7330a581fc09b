// JSON form of the records: the writer that makes the agent's documents and the reader that
// turns a document back into records.
//
// Writer: one object per record, members in declared order, no whitespace, absent optionals
// left out (never null); '/' is written "\/", '"' and '\' are backslash-escaped, \b \f \n \r \t
// by name, other bytes below 0x20 as \u00xx, every other byte as is (strings are expected to be
// UTF-8 already; their producers see to it); integers in plain decimal; a `Date` as the shortest
// number that reads back to the same double (whole seconds without a fraction). The only
// failure is a `Date` that is NaN or infinite, anywhere in the tree: then nothing is written.
//
// Reader: every non-optional member is required (missing or null is an error naming the key);
// the JSON type must match; integers must be whole and inside the field's range; a `Date` is a
// finite number; an optional member that is missing or null is absent; unknown keys are
// ignored. The first error ends the read.
//
// Both directions are safe to call from any number of threads at once.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "agent/model/CodingKeys.h"
#include "agent/model/EsMessage.h"

namespace model {

using UseJson = void (*)(void* context, std::string_view document);

#define MODEL_DECLARE_WRITER(Type)                       \
  std::optional<std::string> encode(const Type& record); \
  bool appendJson(std::string& out, const Type& record); \
  bool withJson(const Type& record, UseJson use, void* context);

// encode: the whole document, or std::nullopt when a `Date` is not finite.
// appendJson: appends the document to `out` (reusing its capacity) and returns true; on failure
// returns false and leaves `out` exactly as it was.
// withJson: hands `use` the document and returns true, or returns false without calling it when
// a `Date` is not finite. The document is mostly in a buffer of the thread's, with no copy: it is
// good only during the call, and `use` must not encode on this thread.
MODEL_RECORD_TYPES(MODEL_DECLARE_WRITER)
#undef MODEL_DECLARE_WRITER

// withJson for any callable taking the document as a std::string_view.
template <class Record, class Use>
bool withJson(const Record& record, Use&& use) {
  return withJson(
      record,
      [](void* context, std::string_view document) { (*static_cast<Use*>(context))(document); },
      &use);
}

// Why a read failed. `key` is the path of the offending member from the top object, such as
// "process.exectuable.path" or "exec.args[2]"; it is empty when the document as a whole is
// wrong (not JSON, or not an object).
struct ReadError {
  std::string key;
  std::string message;

  // "key: message", or just the message when there is no key.
  std::string describe() const { return key.empty() ? message : key + ": " + message; }
  friend bool operator==(const ReadError&, const ReadError&) = default;
};

template <class T>
class ReadResult {
 public:
  ReadResult(T value) : result_(std::move(value)) {}
  ReadResult(ReadError error) : result_(std::move(error)) {}

  bool ok() const { return result_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // Only when ok().
  const T& value() const& { return std::get<0>(result_); }
  T&& value() && { return std::get<0>(std::move(result_)); }
  // Only when !ok().
  const ReadError& error() const { return std::get<1>(result_); }

 private:
  std::variant<T, ReadError> result_;
};

// Reads one document holding a T. Defined for every record type.
template <coding::Record T>
ReadResult<T> decode(std::string_view json);

}  // namespace model
