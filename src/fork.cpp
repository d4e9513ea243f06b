#include "fork.h"

#include <pthread.h>

namespace qorva::fork_detail {

std::atomic<std::uint64_t> generation{0};

void install_handler() {
  static const bool installed = [] {
    ::pthread_atfork(nullptr, nullptr, [] { generation.fetch_add(1, std::memory_order_relaxed); });
    return true;
  }();
  (void)installed;
}

}  // namespace qorva::fork_detail
