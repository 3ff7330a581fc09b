// Installing and removing the agent: the two request operations behind the Install and Remove
// buttons, and the delegate that turns the answers into application state.
#pragma once

#include <functional>
#include <optional>

#include "platform/system_extensions/SystemExtensions.h"

namespace app {

class SystemExtensionManager final : public OSSystemExtensionRequestDelegate {
 public:
  // The kind of request submitted most recently and not yet completed.
  class Operation {
   public:
    enum Value : long { unknown = 0, installing = 1, uninstalling = 2 };

    constexpr Operation(Value value) : value_(value) {}  // NOLINT: used like the enum itself
    static constexpr std::optional<Operation> fromRawValue(long raw) {
      if (raw < unknown || raw > uninstalling) return std::nullopt;
      return Operation(static_cast<Value>(raw));
    }
    constexpr long rawValue() const { return value_; }
    friend constexpr bool operator==(Operation, Operation) = default;

   private:
    Value value_;
  };

  static SystemExtensionManager& shared();

  // Main thread only, like every delegate call (requests name the main queue).
  Operation operation = Operation::unknown;

  OSSystemExtensionReplacementAction actionForReplacingExtension(
      OSSystemExtensionRequest& request, const OSSystemExtensionProperties& existing,
      const OSSystemExtensionProperties& ext) override;
  void requestNeedsUserApproval(OSSystemExtensionRequest& request) override;
  void didFinishWithResult(OSSystemExtensionRequest& request,
                           OSSystemExtensionRequestResult result) override;
  void didFailWithError(OSSystemExtensionRequest& request,
                        const OSSystemExtensionError& error) override;

 private:
  SystemExtensionManager() = default;
};

// Submit an activation / a deactivation of the agent; the outcome arrives through the delegate.
void installExtension();
void removeExtension();

}  // namespace app

template <>
struct std::hash<app::SystemExtensionManager::Operation> {
  std::size_t operator()(app::SystemExtensionManager::Operation operation) const noexcept {
    return std::hash<long>{}(operation.rawValue());
  }
};
