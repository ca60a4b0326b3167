#pragma once
// Process-wide holder of one platform service backend.
//
// A facade looks its backend up at every call, so objects that live for the
// whole process (strategy singletons, the static driver client) see a backend
// that a test installs later. Tests replace a backend for a scope:
//
//   FakeRegistry fake;
//   platform::Backend<RegistryBackend>::Scope use(fake);
//
// A service type provides `static Service& Default()`.
#include <atomic>

namespace platform {

template <class Service>
class Backend {
 public:
  static Service& Current() {
    Service* installed = installed_.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : Service::Default();
  }

  class Scope {
   public:
    explicit Scope(Service& service)
        : previous_(installed_.exchange(&service, std::memory_order_acq_rel)) {}
    ~Scope() { installed_.store(previous_, std::memory_order_release); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    Service* previous_;
  };

 private:
  static inline std::atomic<Service*> installed_{nullptr};
};

}  // namespace platform
