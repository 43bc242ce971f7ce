// SPDX-License-Identifier: GPL-3.0-or-later
#include "faults.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

struct Fault {
  const char* name;
  uint32_t callsLeft;  // calls still to pass before the failing one
};

std::mutex faultLock;
std::vector<Fault> faults;          // guarded by faultLock
std::atomic<bool> anyFault{false};  // fast path: nothing injected

}  // namespace

void InjectServiceFault(const char* name, uint32_t nth) {
  std::lock_guard lock(faultLock);
  faults.push_back({name, nth > 0 ? nth - 1 : 0});
  anyFault.store(true, std::memory_order_release);
}

void ClearServiceFaults() {
  std::lock_guard lock(faultLock);
  faults.clear();
  anyFault.store(false, std::memory_order_release);
}

bool ServiceCallFails(const char* name) {
  if (!anyFault.load(std::memory_order_acquire)) return false;
  std::lock_guard lock(faultLock);
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (std::strcmp(it->name, name) != 0) continue;
    if (it->callsLeft > 0) {
      --it->callsLeft;
      continue;
    }
    faults.erase(it);
    if (faults.empty()) anyFault.store(false, std::memory_order_release);
    return true;
  }
  return false;
}
