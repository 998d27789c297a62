#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "config/kernel_endpoint.h"
#include "support/guid.h"

namespace vd {

class TListOfModules;

// One configured Kernel server and whether the link could not reach it.
struct TKernelEndpointState {
  std::string Name;
  std::string IP;  // host name or address
  int32_t Port = 0;
  // Set when a connection failed; cleared for all endpoints by a registration.
  bool ConnectionError = false;
};

// The driver's state towards the Kernel, one instance for the whole service:
// the Kernel endpoints with the cyclic choice of the next one, the driver's
// identity (module GUID, installation number) and the two flags the Kernel
// reports about the driver (inactive, status error).
//
// Endpoint rotation: each endpoint gets one connection attempt before the
// next one in the list (wrapping to the first) is tried; after a
// registration the current endpoint gets three attempts, the first
// reconnection included. Whenever the endpoint changes, the module list's
// change index falls to 0 so that the next status report asks the new Kernel
// for its list.
//
// Threads: every method is safe to call from any thread. The configuration
// reader adds the endpoints before the link starts; the link thread uses the
// rest; the system thread reads IsInactive every second. ModuleGUID never
// changes and is read without the lock.
//
// Locking: mutex_ guards every field but module_guid_. GetCurrentKernel calls
// TListOfModules::SetChangeIndex while holding it (lock order: settings, then
// module list); no other method calls out under the lock.
class TKernelSettings {
 public:
  static constexpr uint8_t kAttemptsAfterRegistration = 3;

  // modules must outlive this object. The module GUID is a new random one
  // unless given.
  explicit TKernelSettings(TListOfModules& modules);
  TKernelSettings(TListOfModules& modules, const TGuid& module_guid);

  TKernelSettings(const TKernelSettings&) = delete;
  TKernelSettings& operator=(const TKernelSettings&) = delete;

  // Appends an endpoint; the first one added becomes the current endpoint.
  void AddKernel(const std::string& name, const std::string& ip, int32_t port);
  void AddKernelEndpoint(const KernelEndpoint& endpoint);

  // The endpoint for the next connection attempt; false when none is
  // configured. Moves on to the next endpoint once the current one has used
  // up its attempts, and counts this attempt.
  bool GetCurrentKernel(std::string& host, int32_t& port);

  // true: a registration was accepted on the current endpoint (which then
  // gets kAttemptsAfterRegistration connection attempts); false: not, or no
  // longer, registered.
  void SetKernelRegistered(bool registered);
  bool IsKernelRegistered() const;

  // The Kernel's "Mode" for the driver was not ACTIVE, or none arrived yet.
  void SetInactive(bool inactive);
  bool IsInactive() const;
  // The Kernel's "Status" for the driver was ERROR, or none arrived yet.
  void SetStatusError(bool error);
  bool HasStatusError() const;

  // Assigned by the Kernel at registration; 0 before.
  void SetInstallationNumber(uint16_t number);
  uint16_t GetInstallationNumber() const;

  // true marks the current endpoint as unreachable; false clears the marks
  // of all endpoints.
  void SetConnectionError(bool error);
  // The current endpoint's mark; false when there is no current endpoint.
  bool CurrentKernelHasError() const;

  // The driver's module identity in every frame it sends.
  const TGuid& ModuleGUID() const { return module_guid_; }

  // Observers for supervision and tests.
  std::vector<TKernelEndpointState> Kernels() const;
  int32_t CurrentIndex() const;
  uint8_t AttemptsLeft() const;

 private:
  bool ValidIndex() const;  // caller holds mutex_

  // Constant after construction.
  TListOfModules& modules_;
  const TGuid module_guid_;

  mutable std::mutex mutex_;
  bool inactive_ = true;                       // GUARDED_BY(mutex_)
  bool status_error_ = true;                   // GUARDED_BY(mutex_)
  std::vector<TKernelEndpointState> kernels_;  // GUARDED_BY(mutex_)
  bool kernel_registered_ = false;             // GUARDED_BY(mutex_)
  int32_t current_index_ = -1;                 // GUARDED_BY(mutex_)
  uint8_t attempts_left_ = 1;                  // GUARDED_BY(mutex_)
  uint16_t installation_number_ = 0;           // GUARDED_BY(mutex_)
};

}  // namespace vd
