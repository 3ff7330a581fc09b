// Reading documents back into records, on top of nlohmann::json's parser. The parsed tree is
// walked through the same field tables as the writer.
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <type_traits>
#include <vector>

#include "agent/model/JsonEncoding.h"

namespace model {
namespace {

using coding::Record;
using coding::Table;
using Json = nlohmann::json;

// Where the reader stands: a chain of stack frames, made into text only when reporting an error.
struct Path {
  static constexpr std::size_t kNoIndex = static_cast<std::size_t>(-1);
  const Path* parent = nullptr;
  std::string_view key;          // member name, or empty for the top object
  std::size_t index = kNoIndex;  // array position instead of a key

  std::string text() const {
    std::vector<const Path*> frames;
    for (const Path* p = this; p != nullptr; p = p->parent) frames.push_back(p);
    std::string out;
    for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
      const Path& frame = **it;
      if (frame.index != kNoIndex) {
        out += '[';
        out += std::to_string(frame.index);
        out += ']';
      } else if (!frame.key.empty()) {
        if (!out.empty()) out += '.';
        out += frame.key;
      }
    }
    return out;
  }
};

class Reader {
 public:
  std::optional<ReadError> error;

  bool read(const Json& j, const Path& at, bool& out) {
    if (!j.is_boolean()) return wrongType(j, at, "a boolean");
    out = j.get<bool>();
    return true;
  }

  bool read(const Json& j, const Path& at, std::string& out) {
    if (!j.is_string()) return wrongType(j, at, "a string");
    out = j.get_ref<const std::string&>();
    return true;
  }

  bool read(const Json& j, const Path& at, Date& out) {
    if (!j.is_number()) return wrongType(j, at, "a number");
    const double seconds = j.get<double>();
    if (!std::isfinite(seconds)) return fail(at, "number out of range: " + j.dump());
    out = Date{seconds};
    return true;
  }

  bool read(const Json& j, const Path& at, std::int64_t& out) { return readWhole(j, at, out); }
  bool read(const Json& j, const Path& at, std::uint32_t& out) { return readWhole(j, at, out); }

  template <class E>
  bool read(const Json& j, const Path& at, std::vector<E>& out) {
    if (!j.is_array()) return wrongType(j, at, "an array");
    out.resize(j.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
      const Path element{&at, {}, i};
      if (!read(j[i], element, out[i])) return false;
    }
    return true;
  }

  template <Record T>
  bool read(const Json& j, const Path& at, T& out) {
    if (!j.is_object()) return wrongType(j, at, "an object");
    return readFields(j, at, out, std::make_index_sequence<coding::kFieldCount<T>>{});
  }

 private:
  bool fail(const Path& at, std::string message) {
    error = ReadError{at.text(), std::move(message)};
    return false;
  }

  bool wrongType(const Json& j, const Path& at, const char* expected) {
    return fail(at, std::string("expected ") + expected + ", found " + j.type_name());
  }

  // An integer member: a JSON number that is whole and inside I's range. A number written
  // with a fraction or exponent is accepted when its value is whole (3.0, 1e3).
  template <class I>
  bool readWhole(const Json& j, const Path& at, I& out) {
    using Limits = std::numeric_limits<I>;
    if (j.is_number_unsigned()) {
      const auto v = j.get<std::uint64_t>();
      if (v > static_cast<std::uint64_t>(Limits::max())) {
        return fail(at, "number out of range: " + j.dump());
      }
      out = static_cast<I>(v);
      return true;
    }
    if (j.is_number_integer()) {  // negative
      const auto v = j.get<std::int64_t>();
      if (v < static_cast<std::int64_t>(Limits::min())) {
        return fail(at, "number out of range: " + j.dump());
      }
      out = static_cast<I>(v);
      return true;
    }
    if (j.is_number_float()) {
      const double v = j.get<double>();
      if (std::trunc(v) != v) return fail(at, "expected a whole number, found " + j.dump());
      // max + 1 is a power of two, exact as a double, unlike max itself for 64-bit types.
      constexpr double kUpper = static_cast<double>(Limits::max() / 2 + 1) * 2.0;
      if (!(v >= static_cast<double>(Limits::min()) && v < kUpper)) {
        return fail(at, "number out of range: " + j.dump());
      }
      out = static_cast<I>(v);
      return true;
    }
    return wrongType(j, at, "a number");
  }

  template <class T, std::size_t... I>
  bool readFields(const Json& object, const Path& at, T& out, std::index_sequence<I...>) {
    return (readField<T, I>(object, at, out) && ...);
  }

  template <class T, std::size_t I>
  bool readField(const Json& object, const Path& at, T& out) {
    constexpr auto& row = std::get<I>(Table<T>::fields);
    auto& member = out.*(row.member);
    const Path here{&at, row.key};
    const auto it = object.find(row.key);
    const bool absent = it == object.end() || it->is_null();
    if constexpr (row.kOptional) {
      if (absent) {
        member.reset();
        return true;
      }
      return read(*it, here, member.emplace());
    } else {
      if (it == object.end()) return fail(here, "missing required key");
      if (absent) return fail(here, "required key is null");
      return read(*it, here, member);
    }
  }
};

}  // namespace

template <coding::Record T>
ReadResult<T> decode(std::string_view json) {
  try {
    // nlohmann's parser ends its input at a NUL byte, which would let bytes after a complete
    // document pass unseen; a JSON text never holds a raw NUL anywhere.
    if (const auto nul = json.find('\0'); nul != std::string_view::npos) {
      return ReadError{{}, "not valid JSON: NUL byte at offset " + std::to_string(nul)};
    }
    Json document;
    try {
      document = Json::parse(json);
    } catch (const Json::parse_error& e) {
      return ReadError{{}, std::string("not valid JSON: ") + e.what()};
    } catch (const Json::out_of_range& e) {
      // A number beyond the double range (1e400) stops the parser before any key is known.
      return ReadError{{}, std::string("number out of range: ") + e.what()};
    }
    Reader reader;
    T record{};
    if (!reader.read(document, Path{}, record)) return *reader.error;
    return record;
  } catch (const std::exception& e) {
    // Nothing above is expected to throw but allocation; no exception leaves the reader.
    return ReadError{{}, std::string("read failed: ") + e.what()};
  }
}

#define MODEL_INSTANTIATE_READER(Type) template ReadResult<Type> decode<Type>(std::string_view);
MODEL_RECORD_TYPES(MODEL_INSTANTIATE_READER)
#undef MODEL_INSTANTIATE_READER

}  // namespace model
