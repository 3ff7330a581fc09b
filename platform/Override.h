// The one way a platform part is swapped: each facility declares an interface, `main` installs
// the production implementation with a ScopedOverride, and tests install fakes the same way.
// Library code only asks for the installed part; it never picks one itself.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace platform {

template <class Part>
class Installed {
 public:
  // The installed part, or null when none is.
  static Part* find() { return slot().load(std::memory_order_acquire); }
  // The installed part; calling it with none installed is a wiring fault of the program.
  static Part& get() {
    Part* part = find();
    if (part == nullptr) {
      std::fprintf(stderr, "platform: no %s installed\n", Part::kFacility);
      std::abort();
    }
    return *part;
  }

 private:
  template <class>
  friend class ScopedOverride;
  static std::atomic<Part*>& slot() {
    static std::atomic<Part*> installed{nullptr};
    return installed;
  }
};

// Installs `part` for the facility while alive and restores the previous one afterwards. Scopes
// nest in stack order; the part must outlive the scope.
template <class Part>
class ScopedOverride {
 public:
  explicit ScopedOverride(Part& part)
      : previous_(Installed<Part>::slot().exchange(&part, std::memory_order_acq_rel)) {}
  ~ScopedOverride() { Installed<Part>::slot().store(previous_, std::memory_order_release); }
  ScopedOverride(const ScopedOverride&) = delete;
  ScopedOverride& operator=(const ScopedOverride&) = delete;

 private:
  Part* previous_;
};

}  // namespace platform
