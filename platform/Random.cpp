#include <random>

#include "platform/Detail.h"
#include "platform/System.h"

namespace platform {

int Random::Below(int bound) {
  // Seeded on first use: most requests never wait for a lock, and asking
  // the system for a seed costs more than a whole profile view's own work.
  if (!seeded_) {
    state_ = (static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ detail::ProcessId();
    seeded_ = true;
  }
  // splitmix64: small, fast and good enough to spread retries apart.
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return bound <= 0 ? 0 : static_cast<int>(z % static_cast<std::uint64_t>(bound));
}

}  // namespace platform
