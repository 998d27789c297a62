// Registry files are written by hand and are untrusted: any content must
// parse or be rejected with a driver error naming the line, never crash or
// hang. What parses must answer every key and value question consistently.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/registry_file.h"
#include "support/errors.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    const vd::RegistryFile file = vd::RegistryFile::Parse(bytes, "fuzz.reg");
    for (const char* path : {"Software\\Lirra!\\Drivers", "software\\lirra!\\drivers\\",
                             "Software\\Lirra!\\Drivers\\VolterDirectDriver",
                             "Software\\Lirra!\\Drivers\\VolterDirectDriver\\Port1", "A", ""}) {
      const auto key = file.OpenKeyReadOnly(path);
      Check(file.KeyExists(path) == (key != nullptr));
      if (!key) continue;
      for (const char* name : {"Path", "Kernel1", "IsActive", "Port", "Name", "P", ""}) {
        try {
          const std::string text = key->ReadText(name);
          Check(text.find('\0') == std::string::npos);
        } catch (const vd::ERegistryException&) {
        }
        try {
          key->ReadInteger(name);
        } catch (const vd::ERegistryException&) {
        }
      }
    }
  } catch (const vd::ERegistryException& e) {
    Check(std::string_view(e.Message()).starts_with("fuzz.reg, line "));
  }
  return 0;
}
