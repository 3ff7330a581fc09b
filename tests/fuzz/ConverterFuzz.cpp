// Fuzz harness: event messages of every subscribed kind, built with the tests' message builder,
// with fuzzed strings (any bytes, any length, null pointers), ids, times and lists. Every
// document the converter and writer make must be JSON that reads back.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/capture/Conversion.h"
#include "agent/model/JsonEncoding.h"
#include "tests/support/EsMessageBuilder.h"

namespace {

es_string_token_t fuzzToken(FuzzedDataProvider& in, fixture::EsMessageBuilder& b) {
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
      return fixture::EsMessageBuilder::nullToken(in.ConsumeIntegralInRange<std::size_t>(0, 64));
    default:
      return b.token(in.ConsumeRandomLengthString(300));
  }
}

void fuzzFile(FuzzedDataProvider& in, fixture::EsMessageBuilder& b, es_file_t* file) {
  if (file == nullptr) return;
  file->path = fuzzToken(in, b);
  file->path_truncated = in.ConsumeBool();
  file->stat.st_size = in.ConsumeIntegral<off_t>();
  file->stat.st_mtimespec.tv_sec = in.ConsumeIntegral<time_t>();
  file->stat.st_mtimespec.tv_nsec = in.ConsumeIntegral<long>();
  file->stat.st_birthtimespec.tv_sec = in.ConsumeIntegral<time_t>();
}

void fuzzProcess(FuzzedDataProvider& in, fixture::EsMessageBuilder& b, es_process_t* p) {
  if (p == nullptr) return;
  p->ppid = in.ConsumeIntegral<pid_t>();
  p->group_id = in.ConsumeIntegral<pid_t>();
  p->is_platform_binary = in.ConsumeBool();
  p->signing_id = fuzzToken(in, b);
  p->team_id = fuzzToken(in, b);
  p->start_time.tv_sec = in.ConsumeIntegral<time_t>();
  p->start_time.tv_usec = in.ConsumeIntegral<suseconds_t>();
  fuzzFile(in, b, p->executable);
  if (in.ConsumeBool()) p->tty = nullptr;
  fuzzFile(in, b, p->tty);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto& kinds = agent::kSubscribedEvents;
  fixture::EsMessageBuilder b(kinds[in.ConsumeIntegralInRange<std::size_t>(0, kinds.size() - 1)]);
  es_message_t& m = b.message();
  m.version = in.ConsumeIntegral<std::uint32_t>();
  m.time.tv_sec = in.ConsumeIntegral<time_t>();
  m.time.tv_nsec = in.ConsumeIntegral<long>();
  fuzzProcess(in, b, m.process);
  fuzzProcess(in, b, b.distinctProcess(2));
  switch (m.event_type) {
    case ES_EVENT_TYPE_NOTIFY_EXEC: {
      fuzzProcess(in, b, b.exec().target);
      std::vector<es_string_token_t> args, envs;
      const int argc = in.ConsumeIntegralInRange(0, 40);
      for (int i = 0; i < argc; ++i) args.push_back(fuzzToken(in, b));
      const int envc = in.ConsumeIntegralInRange(0, 40);
      for (int i = 0; i < envc; ++i) envs.push_back(fuzzToken(in, b));
      b.setArgs(std::move(args));
      b.setEnvs(std::move(envs));
      break;
    }
    case ES_EVENT_TYPE_NOTIFY_EXIT:
      b.exit().stat = in.ConsumeIntegral<int>();
      break;
    case ES_EVENT_TYPE_NOTIFY_AUTHENTICATION:
      b.setAuthenticationType(in.ConsumeIntegralInRange<std::uint32_t>(0, 6));
      b.authentication().success = in.ConsumeBool();
      break;
    case ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD:
    case ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE:
      b.btmItem().item_url = fuzzToken(in, b);
      b.btmItem().app_url = fuzzToken(in, b);
      break;
    default:
      break;
  }
  const model::EsMessage record = agent::makeEsMessage(m);
  const auto document = model::encode(record);
  if (document && !model::decode<model::EsMessage>(*document)) std::abort();
  return 0;
}
