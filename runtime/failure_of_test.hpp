// Test support: the failure code a piece of code raises.
#pragma once

#include "runtime/failure.hpp"

namespace tarvel::testing {

// The failure code `f` raised, or 0 when it completed.
template <class F>
FailureCode failureOf(F&& f) {
  try {
    f();
  } catch (const Failure& e) {
    return e.code();
  }
  return 0;
}

}  // namespace tarvel::testing
