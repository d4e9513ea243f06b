#include "timestamp.h"

namespace qorva::wal {
namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

}  // namespace

std::uint64_t timestamp_since(std::uint64_t opened_unix_ns, const timespec& opened_at, const timespec& now) {
  const __int128 elapsed = (static_cast<__int128>(now.tv_sec) - opened_at.tv_sec) * 1'000'000'000 +
                           (now.tv_nsec - opened_at.tv_nsec);
  if (elapsed <= 0) return opened_unix_ns;
  if (elapsed > static_cast<__int128>(UINT64_MAX)) return UINT64_MAX;
  return saturating_add(opened_unix_ns, static_cast<std::uint64_t>(elapsed));
}

}  // namespace qorva::wal
