// SPDX-License-Identifier: GPL-3.0-or-later
#include "module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <mutex>
#include <string>

#include "diagnostics.h"

namespace {

struct Modules {
  std::mutex lock;
  // Guarded by lock. A null handle records a module that could not be loaded.
  std::map<std::string, void*> handles;
};

Modules& TheModules() {
  static Modules modules;
  return modules;
}

std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return {};
  const std::string program(path, static_cast<size_t>(length));
  return program.substr(0, program.rfind('/'));
}

void* Open(const std::string& name) {
  const std::string file = "rtplayer-" + name + ".so";
  const std::string folder = ProgramFolder();
  if (folder.empty()) return nullptr;
  for (const std::string& candidate :
       {folder + "/" + file, folder + "/" RTPLAYER_MODULE_RELATIVE_DIR "/" + file}) {
    if (access(candidate.c_str(), R_OK) != 0) continue;
    // RTLD_LOCAL: a module's libraries serve it alone.
    if (void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      Diagnose("module", "loaded %s", candidate.c_str());
      return handle;
    }
    Diagnose("module", "%s", dlerror());
  }
  Diagnose("module", "%s: none usable beside the program nor in %s", file.c_str(),
           RTPLAYER_MODULE_RELATIVE_DIR);
  return nullptr;
}

}  // namespace

const void* LoadModuleSymbol(const char* name, const char* symbol) {
  Modules& modules = TheModules();
  std::lock_guard lock(modules.lock);
  auto found = modules.handles.find(name);
  if (found == modules.handles.end()) found = modules.handles.emplace(name, Open(name)).first;
  if (found->second == nullptr) return nullptr;
  return dlsym(found->second, symbol);
}

bool ModuleLoaded(const char* name) {
  Modules& modules = TheModules();
  std::lock_guard lock(modules.lock);
  const auto found = modules.handles.find(name);
  return found != modules.handles.end() && found->second != nullptr;
}
