// The ordered-consumer reader of the fleet's stream.
#include "tools/fleet/Reader.h"

#include <cstdlib>

namespace fleet {

std::unique_ptr<Reader> Reader::open(Link& link, const std::string& stream,
                                     const std::string& filter, bool onlyNew, std::string& error) {
  std::unique_ptr<Reader> reader(new Reader());
  jsSubOptions options;
  jsSubOptions_Init(&options);
  options.Stream = stream.c_str();
  options.Ordered = true;
  options.Config.DeliverPolicy = onlyNew ? js_DeliverNew : js_DeliverAll;
  jsErrCode code = static_cast<jsErrCode>(0);
  const natsStatus s = js_SubscribeSync(&reader->subscription_, link.jetStream(), filter.c_str(),
                                        nullptr, &options, &code);
  if (s != NATS_OK) {
    error = "cannot read stream " + stream + ": " + describe(s, code);
    return nullptr;
  }
  // A reader that falls behind keeps every message the library holds for it.
  natsSubscription_SetPendingLimits(reader->subscription_, -1, -1);
  return reader;
}

Reader::~Reader() {
  if (subscription_) {
    natsSubscription_Unsubscribe(subscription_);
    natsSubscription_Destroy(subscription_);
  }
}

std::optional<FleetMessage> Reader::next(std::chrono::milliseconds timeout, std::string& error) {
  natsMsg* msg = nullptr;
  const natsStatus s = natsSubscription_NextMsg(&msg, subscription_, timeout.count());
  if (s == NATS_TIMEOUT) return std::nullopt;
  if (s != NATS_OK) {
    error = describe(s);
    return std::nullopt;
  }
  FleetMessage message;
  message.subject = natsMsg_GetSubject(msg);
  message.document.assign(natsMsg_GetData(msg),
                          static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
  const char* value = nullptr;
  if (natsMsgHeader_Get(msg, kHostHeader, &value) == NATS_OK) message.host = value;
  if (natsMsgHeader_Get(msg, kEpochHeader, &value) == NATS_OK) {
    message.epoch = std::strtoull(value, nullptr, 10);
  }
  if (natsMsgHeader_Get(msg, kSequenceHeader, &value) == NATS_OK) {
    message.sequence = std::strtoull(value, nullptr, 10);
  }
  natsMsg_Destroy(msg);
  return message;
}

}  // namespace fleet
