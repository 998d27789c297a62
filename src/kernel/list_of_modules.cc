#include "kernel/list_of_modules.h"

#include <utility>

namespace vd {

int32_t TListOfModules::GetChangeIndex() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return change_index_;
}

void TListOfModules::SetChangeIndex(int32_t change_index) {
  std::lock_guard<std::mutex> guard(mutex_);
  change_index_ = change_index;
}

void TListOfModules::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  modules_.clear();
}

void TListOfModules::Add(const TModule& module) {
  std::lock_guard<std::mutex> guard(mutex_);
  modules_.push_back(module);
}

void TListOfModules::Assign(int32_t change_index, TArrayOfModule modules) {
  TArrayOfModule old;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    change_index_ = change_index;
    old.swap(modules_);
    modules_ = std::move(modules);
  }
  // The old list is freed outside the lock.
}

TArrayOfModule TListOfModules::Modules() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return modules_;
}

size_t TListOfModules::Count() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return modules_.size();
}

}  // namespace vd
