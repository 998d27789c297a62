#include "kernel/kernel_settings.h"

#include "kernel/list_of_modules.h"

namespace vd {

TKernelSettings::TKernelSettings(TListOfModules& modules) : TKernelSettings(modules, NewGuid()) {}

TKernelSettings::TKernelSettings(TListOfModules& modules, const TGuid& module_guid)
    : modules_(modules), module_guid_(module_guid) {}

bool TKernelSettings::ValidIndex() const {
  return current_index_ >= 0 && static_cast<size_t>(current_index_) < kernels_.size();
}

void TKernelSettings::AddKernel(const std::string& name, const std::string& ip, int32_t port) {
  std::lock_guard<std::mutex> guard(mutex_);
  kernels_.push_back(TKernelEndpointState{name, ip, port, false});
  if (!ValidIndex()) {
    current_index_ = 0;
    kernel_registered_ = false;
    attempts_left_ = 1;
  }
}

void TKernelSettings::AddKernelEndpoint(const KernelEndpoint& endpoint) {
  AddKernel(endpoint.Name, endpoint.IP, endpoint.Port);
}

bool TKernelSettings::GetCurrentKernel(std::string& host, int32_t& port) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (kernels_.empty()) return false;
  if (attempts_left_ == 0 || !ValidIndex()) {
    const int32_t old_index = current_index_;
    const bool last =
        current_index_ < 0 || static_cast<size_t>(current_index_) + 1 >= kernels_.size();
    current_index_ = last ? 0 : current_index_ + 1;
    kernel_registered_ = false;
    attempts_left_ = 1;
    if (current_index_ != old_index) modules_.SetChangeIndex(0);
  }
  const TKernelEndpointState& endpoint = kernels_[static_cast<size_t>(current_index_)];
  host = endpoint.IP;
  port = endpoint.Port;
  --attempts_left_;
  return true;
}

void TKernelSettings::SetKernelRegistered(bool registered) {
  std::lock_guard<std::mutex> guard(mutex_);
  kernel_registered_ = registered;
  if (registered) attempts_left_ = kAttemptsAfterRegistration;
}

bool TKernelSettings::IsKernelRegistered() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return kernel_registered_;
}

void TKernelSettings::SetInactive(bool inactive) {
  std::lock_guard<std::mutex> guard(mutex_);
  inactive_ = inactive;
}

bool TKernelSettings::IsInactive() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return inactive_;
}

void TKernelSettings::SetStatusError(bool error) {
  std::lock_guard<std::mutex> guard(mutex_);
  status_error_ = error;
}

bool TKernelSettings::HasStatusError() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return status_error_;
}

void TKernelSettings::SetInstallationNumber(uint16_t number) {
  std::lock_guard<std::mutex> guard(mutex_);
  installation_number_ = number;
}

uint16_t TKernelSettings::GetInstallationNumber() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return installation_number_;
}

void TKernelSettings::SetConnectionError(bool error) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (error) {
    if (ValidIndex()) kernels_[static_cast<size_t>(current_index_)].ConnectionError = true;
  } else {
    for (TKernelEndpointState& endpoint : kernels_) endpoint.ConnectionError = false;
  }
}

bool TKernelSettings::CurrentKernelHasError() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return ValidIndex() && kernels_[static_cast<size_t>(current_index_)].ConnectionError;
}

std::vector<TKernelEndpointState> TKernelSettings::Kernels() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return kernels_;
}

int32_t TKernelSettings::CurrentIndex() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return current_index_;
}

uint8_t TKernelSettings::AttemptsLeft() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return attempts_left_;
}

}  // namespace vd
