#include "core/lazy_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace velk {
namespace {

[[noreturn]] void cannot_load(const char* soname, const char* why) {
  std::string line = "velk-setup-system: cannot load ";
  line += soname;
  line += ": ";
  line += why != nullptr ? why : "unknown reason";
  line += '\n';
  (void)!::write(STDERR_FILENO, line.data(), line.size());
  std::abort();
}

}  // namespace

void* lazy_symbol(const char* soname, const char* symbol) {
  static std::mutex mutex;
  static std::map<std::string, void*> handles;
  void* handle = nullptr;
  {
    const std::lock_guard<std::mutex> lock(mutex);
    void*& slot = handles[soname];
    if (slot == nullptr) {
      slot = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
      if (slot == nullptr) cannot_load(soname, ::dlerror());
    }
    handle = slot;
  }
  (void)::dlerror();
  void* address = ::dlsym(handle, symbol);
  if (address == nullptr) {
    const std::string why = std::string("no symbol ") + symbol;
    cannot_load(soname, why.c_str());
  }
  return address;
}

}  // namespace velk
