#include "platform/xpc/PendingReply.h"

#include <cstring>

#include "platform/xpc/BusMessage.h"
#include "platform/xpc/SdBusRef.h"
#include "platform/xpc/Transport.h"

namespace xpc {

PendingReply::~PendingReply() {
  loop_->post([route = route_, call = call_, replied = replied_.load(), charged = charged_] {
    auto unanswered = [call] {
      sd_bus_reply_method_errorf(call, SD_BUS_ERROR_NO_REPLY, "The service gave no reply");
      sd_bus_message_unref(call);
    };
    auto channel = route.lock();
    if (channel) channel->callDone(charged);
    if (!replied && channel) {
      channel->whenSdBusMayWrite(unanswered);
    } else {
      sd_bus_message_unref(call);
    }
  });
}

void PendingReply::give(const std::shared_ptr<PendingReply>& self, std::string value) {
  if (self->replied_.exchange(true)) return;  // a call is answered once
  auto channel = self->route_.lock();
  // A reply that does not fit under the byte limit ends the connection instead.
  const std::size_t cost = value.size() + kQueuedSendOverhead;
  if (!channel || !channel->chargeReply(cost)) return;
  self->charged_ = cost;
  self->loop_->run([self, value = std::move(value)]() mutable {
    if (auto channel = self->route_.lock()) {
      channel->whenSdBusMayWrite([self, value = std::move(value)] { self->sendOnLoop(value); });
    }
  });
}

void PendingReply::sendOnLoop(const std::string& value) {
  sd_bus_message* made = nullptr;
  int r = sd_bus_message_new_method_return(call_, &made);
  const MessageRef reply(made);
  if (r >= 0) r = appendArgument(made, signature_, value);
  if (r >= 0) r = sd_bus_send(nullptr, made, nullptr);
  if (r < 0) {
    sd_bus_reply_method_errorf(call_, SD_BUS_ERROR_FAILED, "The reply could not be sent: %s",
                               std::strerror(-r));
  }
}

}  // namespace xpc
