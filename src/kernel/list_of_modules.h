#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "support/guid.h"

namespace vd {

// One module of the Kernel's module list, as the status answer describes it.
// A plain value.
struct TModule {
  TGuid GUID;
  TGuid ProxyModule;
  std::string Name;       // UTF-8
  std::string IPAddress;  // UTF-8
  int16_t ModuleType = 0;
  bool State = false;          // the module is active
  std::string RegisteredUser;  // UTF-8
  uint16_t InstallationNumber = 0;

  friend bool operator==(const TModule&, const TModule&) = default;
};

using TArrayOfModule = std::vector<TModule>;

// The module list last received from the Kernel, with its change index. The
// driver stores it and reports the change index in every status report, so
// that the Kernel sends the list again only when it has changed.
//
// Threads: every method is safe to call from any thread. The link thread
// fills it from status answers and clears it when the Kernel endpoint
// changes; TKernelSettings resets the change index while holding its own
// lock (lock order: settings, then module list). mutex_ is innermost apart
// from the log: the list calls out to nothing while holding it.
class TListOfModules {
 public:
  int32_t GetChangeIndex() const;
  void SetChangeIndex(int32_t change_index);
  // Empties the list; the change index stays.
  void Clear();
  // Appends a copy of module.
  void Add(const TModule& module);
  // Replaces the change index and the whole list in one step, so that no
  // reader ever sees the new index with a partial list.
  void Assign(int32_t change_index, TArrayOfModule modules);

  // A copy of the modules, in the order received.
  TArrayOfModule Modules() const;
  size_t Count() const;

 private:
  mutable std::mutex mutex_;
  int32_t change_index_ = 0;  // GUARDED_BY(mutex_)
  TArrayOfModule modules_;    // GUARDED_BY(mutex_)
};

}  // namespace vd
