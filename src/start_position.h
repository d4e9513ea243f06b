// Where a new subscriber starts reading: the tail, some messages back, or a
// cursor.
#pragma once

#include <cstdint>

namespace qorva {

struct StartPosition {
  enum class Kind : std::uint8_t { Tail = 0, History = 1, From = 2 };
  Kind kind = Kind::Tail;
  std::uint64_t value = 0;  // n messages back (History) or a cursor (From)

  static StartPosition tail() { return {Kind::Tail, 0}; }
  static StartPosition history(std::uint64_t n) { return {Kind::History, n}; }
  static StartPosition from(std::uint64_t cursor) { return {Kind::From, cursor}; }
};

}  // namespace qorva
