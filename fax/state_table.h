// What the sender's and the receiver's state tables share: the check that a
// table holds every state, in order, so that a state is its row's index.
#pragma once

#include <cstddef>

namespace tv {

// Rows with a `state` member holding the states 1 to N in order.
template <class Row, std::size_t N>
constexpr bool RowsInStateOrder(const Row (&rows)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (static_cast<int>(rows[i].state) != static_cast<int>(i) + 1) return false;
  }
  return true;
}

}  // namespace tv
