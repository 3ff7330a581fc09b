// One move-only owner for sd-bus objects (buses, messages, slots): it holds one reference and
// gives it back with the object's own unref function.
#pragma once

#include <systemd/sd-bus.h>

#include <utility>

namespace xpc {

template <class T, T* (*Unref)(T*)>
class SdBusRef {
 public:
  SdBusRef() = default;
  // Takes over one reference the caller holds.
  explicit SdBusRef(T* object) : object_(object) {}
  ~SdBusRef() { reset(); }
  SdBusRef(SdBusRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  SdBusRef& operator=(SdBusRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  SdBusRef(const SdBusRef&) = delete;
  SdBusRef& operator=(const SdBusRef&) = delete;

  T* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  void reset() {
    if (object_) Unref(std::exchange(object_, nullptr));
  }

 private:
  T* object_ = nullptr;
};

// A bus is closed as well as unreferenced, so that its socket goes at once.
using BusRef = SdBusRef<sd_bus, sd_bus_close_unref>;
using MessageRef = SdBusRef<sd_bus_message, sd_bus_message_unref>;
using SlotRef = SdBusRef<sd_bus_slot, sd_bus_slot_unref>;

}  // namespace xpc
