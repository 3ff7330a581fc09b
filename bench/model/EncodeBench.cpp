// Encoding cost of the agent's documents: our writer against RapidJSON's Writer and Boost.JSON's
// serialize on the same record trees, plus conversion + encoding of event-source messages (what
// the agent does per event). Prints ns/document and, at the end, the ratio ours/RapidJSON.
//
//   build/<dir>/bench/model/bench_encode [--benchmark_filter=exec]
#include <benchmark/benchmark.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <boost/json.hpp>
#include <cstdio>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "agent/model/CodingKeys.h"
#include "agent/model/JsonEncoding.h"
#include "bench/model/AllocationCount.h"
#include "tests/model/Samples.h"

#if defined(WATCH_BENCH_CONVERT)
#include "agent/capture/Conversion.h"
#include "agent/capture/ExecEnvironment.h"
#include "tests/support/EsMessageBuilder.h"
#endif

namespace {

using model::coding::Record;
using model::coding::Table;

constexpr int kExecArgs = 30;
constexpr int kExecEnvs = 40;

const model::EsMessage& forkRecord() {
  static const model::EsMessage record = samples::forkExample();
  return record;
}
const model::EsMessage& execRecord() {
  static const model::EsMessage record = samples::execMessage(kExecArgs, kExecEnvs);
  return record;
}
const model::EsMessage& recordFor(const benchmark::State& state) {
  return state.range(0) == 0 ? forkRecord() : execRecord();
}
void nameDocument(benchmark::State& state) {
  state.SetLabel(state.range(0) == 0 ? "fork" : "exec");
}

// The same tree through RapidJSON's Writer: every field in declared order, absent optionals
// left out. The field tables only spell out the calls; each document is the same sequence of
// Key/value calls one would write by hand.
template <class Writer>
struct RapidJsonTree {
  Writer& w;

  void value(std::int64_t v) { w.Int64(v); }
  void value(std::uint32_t v) { w.Uint(v); }
  void value(bool v) { w.Bool(v); }
  void value(const model::Date& d) { w.Double(d.timeIntervalSinceReferenceDate); }
  void value(const std::string& s) {
    w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
  }
  template <class E>
  void value(const std::vector<E>& items) {
    w.StartArray();
    for (const E& item : items) value(item);
    w.EndArray();
  }
  template <Record T>
  void value(const T& record) {
    w.StartObject();
    fields(record, std::make_index_sequence<model::coding::kFieldCount<T>>{});
    w.EndObject();
  }
  template <class T, std::size_t... I>
  void fields(const T& record, std::index_sequence<I...>) {
    (field<T, I>(record), ...);
  }
  template <class T, std::size_t I>
  void field(const T& record) {
    constexpr auto& row = std::get<I>(Table<T>::fields);
    const auto& member = record.*(row.member);
    if constexpr (row.kOptional) {
      if (!member) return;
      w.Key(row.key.data(), static_cast<rapidjson::SizeType>(row.key.size()));
      value(*member);
    } else {
      w.Key(row.key.data(), static_cast<rapidjson::SizeType>(row.key.size()));
      value(member);
    }
  }
};

// The same tree as a Boost.JSON value (which serialize then writes).
struct BoostTree {
  boost::json::value value(std::int64_t v) { return v; }
  boost::json::value value(std::uint32_t v) { return v; }
  boost::json::value value(bool v) { return v; }
  boost::json::value value(const model::Date& d) { return d.timeIntervalSinceReferenceDate; }
  boost::json::value value(const std::string& s) { return boost::json::string(s); }
  template <class E>
  boost::json::value value(const std::vector<E>& items) {
    boost::json::array array;
    array.reserve(items.size());
    for (const E& item : items) array.push_back(value(item));
    return array;
  }
  template <Record T>
  boost::json::value value(const T& record) {
    boost::json::object object;
    object.reserve(model::coding::kFieldCount<T>);
    fields(object, record, std::make_index_sequence<model::coding::kFieldCount<T>>{});
    return object;
  }
  template <class T, std::size_t... I>
  void fields(boost::json::object& object, const T& record, std::index_sequence<I...>) {
    (field<T, I>(object, record), ...);
  }
  template <class T, std::size_t I>
  void field(boost::json::object& object, const T& record) {
    constexpr auto& row = std::get<I>(Table<T>::fields);
    const auto& member = record.*(row.member);
    if constexpr (row.kOptional) {
      if (member) object.emplace(row.key, value(*member));
    } else {
      object.emplace(row.key, value(member));
    }
  }
};

void setDocumentCounters(benchmark::State& state, std::size_t bytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["doc_bytes"] = static_cast<double>(bytes);
}

// ---------------------------------------------------------------------------------------------

void BM_EncodeOurs(benchmark::State& state) {
  const model::EsMessage& record = recordFor(state);
  std::size_t bytes = 0;
  const std::size_t allocationsBefore = bench::allocationCount();
  for (auto _ : state) {
    std::optional<std::string> document = model::encode(record);
    bytes = document->size();
    benchmark::DoNotOptimize(document->data());
  }
  state.counters["allocs/doc"] =
      benchmark::Counter(static_cast<double>(bench::allocationCount() - allocationsBefore),
                         benchmark::Counter::kAvgIterations);
  setDocumentCounters(state, bytes);
  nameDocument(state);
}

void BM_EncodeOursReusedBuffer(benchmark::State& state) {
  const model::EsMessage& record = recordFor(state);
  std::string buffer;
  for (auto _ : state) {
    buffer.clear();
    model::appendJson(buffer, record);
    benchmark::DoNotOptimize(buffer.data());
  }
  setDocumentCounters(state, buffer.size());
  nameDocument(state);
}

void BM_EncodeRapidJson(benchmark::State& state) {
  const model::EsMessage& record = recordFor(state);
  std::size_t bytes = 0;
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    RapidJsonTree<decltype(writer)>{writer}.value(record);
    bytes = buffer.GetSize();
    benchmark::DoNotOptimize(buffer.GetString());
  }
  setDocumentCounters(state, bytes);
  nameDocument(state);
}

// RapidJSON at its best: one buffer kept warm across documents.
void BM_EncodeRapidJsonReusedBuffer(benchmark::State& state) {
  const model::EsMessage& record = recordFor(state);
  rapidjson::StringBuffer buffer;
  for (auto _ : state) {
    buffer.Clear();
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    RapidJsonTree<decltype(writer)>{writer}.value(record);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  setDocumentCounters(state, buffer.GetSize());
  nameDocument(state);
}

void BM_EncodeBoostJson(benchmark::State& state) {
  const model::EsMessage& record = recordFor(state);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string document = boost::json::serialize(BoostTree{}.value(record));
    bytes = document.size();
    benchmark::DoNotOptimize(document.data());
  }
  setDocumentCounters(state, bytes);
  nameDocument(state);
}

// serialize alone, on a value tree built beforehand.
void BM_SerializeBoostJsonValue(benchmark::State& state) {
  const boost::json::value tree = BoostTree{}.value(recordFor(state));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string document = boost::json::serialize(tree);
    bytes = document.size();
    benchmark::DoNotOptimize(document.data());
  }
  setDocumentCounters(state, bytes);
  nameDocument(state);
}

#define DOCUMENTS ->Arg(0)->Arg(1)->Repetitions(7)->ReportAggregatesOnly(true)
BENCHMARK(BM_EncodeOurs) DOCUMENTS;
BENCHMARK(BM_EncodeOursReusedBuffer) DOCUMENTS;
BENCHMARK(BM_EncodeRapidJson) DOCUMENTS;
BENCHMARK(BM_EncodeRapidJsonReusedBuffer) DOCUMENTS;
BENCHMARK(BM_EncodeBoostJson) DOCUMENTS;
BENCHMARK(BM_SerializeBoostJsonValue) DOCUMENTS;

#if defined(WATCH_BENCH_CONVERT)
// Conversion of the event-source message and encoding of the record, as the agent does per event.
// A list's entries as the process sources hand them: back to back in one NUL-separated block.
std::vector<es_string_token_t> blockTokens(fixture::EsMessageBuilder& builder,
                                           const std::vector<std::string>& entries) {
  std::string block;
  for (const std::string& entry : entries) block.append(entry).push_back('\0');
  const char* at = builder.token(block).data;
  std::vector<es_string_token_t> tokens;
  for (const std::string& entry : entries) {
    tokens.push_back({entry.size(), at});
    at += entry.size() + 1;
  }
  return tokens;
}

fixture::EsMessageBuilder makeBuilder(const benchmark::State& state) {
  if (state.range(0) == 0) return fixture::EsMessageBuilder::forkExample();
  fixture::EsMessageBuilder builder(ES_EVENT_TYPE_NOTIFY_EXEC);
  const model::EsEventExec& exec = *execRecord().exec;
  builder.setArgs(blockTokens(builder, *exec.args));
  builder.setEnvs(blockTokens(builder, *exec.envs));
  return builder;
}

void BM_ConvertAndEncode(benchmark::State& state) {
  fixture::EsMessageBuilder builder = makeBuilder(state);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const model::EsMessage record = agent::makeEsMessage(builder.message());
    std::optional<std::string> document = model::encode(record);
    bytes = document->size();
    benchmark::DoNotOptimize(document->data());
  }
  setDocumentCounters(state, bytes);
  nameDocument(state);
}

void BM_ConvertOnly(benchmark::State& state) {
  fixture::EsMessageBuilder builder = makeBuilder(state);
  for (auto _ : state) {
    model::EsMessage record = agent::makeEsMessage(builder.message());
    benchmark::DoNotOptimize(&record);
  }
  nameDocument(state);
}

// What the agent does per event: into the record kept for the kind, then into a kept buffer.
void BM_ConvertAndEncodeReused(benchmark::State& state) {
  fixture::EsMessageBuilder builder = makeBuilder(state);
  model::EsMessage record;
  std::string document;
  for (auto _ : state) {
    agent::makeEsMessage(builder.message(), record);
    document.clear();
    model::appendJson(document, record);
    benchmark::DoNotOptimize(document.data());
  }
  setDocumentCounters(state, document.size());
  nameDocument(state);
}

void BM_ConvertOnlyReused(benchmark::State& state) {
  fixture::EsMessageBuilder builder = makeBuilder(state);
  model::EsMessage record;
  for (auto _ : state) {
    agent::makeEsMessage(builder.message(), record);
    benchmark::DoNotOptimize(&record);
  }
  nameDocument(state);
}

// The same with WATCH_EXEC_ENVIRONMENT=redact: every entry's name is matched against the patterns.
void BM_ConvertOnlyReusedRedact(benchmark::State& state) {
  agent::setExecEnvironment(agent::ExecEnvironment(agent::ExecEnvironment::Mode::redact, ""));
  BM_ConvertOnlyReused(state);
  agent::setExecEnvironment(agent::ExecEnvironment{});
}

BENCHMARK(BM_ConvertAndEncode) DOCUMENTS;
BENCHMARK(BM_ConvertOnly) DOCUMENTS;
BENCHMARK(BM_ConvertAndEncodeReused) DOCUMENTS;
BENCHMARK(BM_ConvertOnlyReused) DOCUMENTS;
BENCHMARK(BM_ConvertOnlyReusedRedact)->Arg(1)->Repetitions(7)->ReportAggregatesOnly(true);
#endif

// Console output as usual, then a summary of the medians (wall clock and CPU time).
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      medians_[run.run_name.function_name + "/" + run.run_name.args] = {run.GetAdjustedRealTime(),
                                                                        run.GetAdjustedCPUTime()};
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf(
        "\nMedian ns/document, wall (cpu); exec document: %d arguments, %d environment "
        "entries\n",
        kExecArgs, kExecEnvs);
    const char* const rows[][2] = {
        {"BM_EncodeOurs", "ours"},
        {"BM_EncodeOursReusedBuffer", "ours, reused buffer"},
        {"BM_EncodeRapidJson", "RapidJSON Writer"},
        {"BM_EncodeRapidJsonReusedBuffer", "RapidJSON Writer, reused buffer"},
        {"BM_EncodeBoostJson", "Boost.JSON value + serialize"},
        {"BM_SerializeBoostJsonValue", "Boost.JSON serialize only"},
        {"BM_ConvertAndEncode", "convert + encode (ours)"},
        {"BM_ConvertOnly", "convert only"},
        {"BM_ConvertAndEncodeReused", "convert + encode, reused record"},
        {"BM_ConvertOnlyReused", "convert only, reused record"},
        {"BM_ConvertOnlyReusedRedact", "convert only, reused, redact"},
    };
    std::printf("  %-34s %18s %18s\n", "", "fork", "exec");
    for (const auto& [name, label] : rows) {
      const Times fork = find(std::string(name) + "/0");
      const Times exec = find(std::string(name) + "/1");
      if (fork.wall == 0 && exec.wall == 0) continue;
      std::printf("  %-34s %8.0f (%7.0f) %8.0f (%7.0f)\n", label, fork.wall, fork.cpu, exec.wall,
                  exec.cpu);
    }
    for (const char* arg : {"/0", "/1"}) {
      const Times ours = find(std::string("BM_EncodeOurs") + arg);
      const Times rapid = find(std::string("BM_EncodeRapidJson") + arg);
      const Times rapidReused = find(std::string("BM_EncodeRapidJsonReusedBuffer") + arg);
      if (ours.wall == 0 || rapid.wall == 0 || rapidReused.wall == 0) continue;  // filtered out
      std::printf(
          "  %s: ratio ours/RapidJSON %.2f wall, %.2f cpu (RapidJSON %.2fx slower);"
          " against its reused buffer %.2f wall, %.2f cpu\n",
          arg[1] == '0' ? "fork" : "exec", ours.wall / rapid.wall, ours.cpu / rapid.cpu,
          rapid.wall / ours.wall, ours.wall / rapidReused.wall, ours.cpu / rapidReused.cpu);
    }
  }

 private:
  struct Times {
    double wall = 0;
    double cpu = 0;
  };
  Times find(const std::string& name) const {
    const auto it = medians_.find(name);
    return it == medians_.end() ? Times{} : it->second;
  }
  std::map<std::string, Times> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
