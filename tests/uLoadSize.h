#pragma once

// The record counts of the load tests. A sanitizer build runs the server and the tests many times
// slower, so CMake gives it a KELVRA_LOAD_DIVISOR above 1 and its load tests send that fraction of
// the full count. What they check (whole lines, nothing lost, each client's order, exactly once)
// is the same at either count.
#ifndef KELVRA_LOAD_DIVISOR
#define KELVRA_LOAD_DIVISOR 1
#endif

constexpr int LoadSize(int full) {
  return full / KELVRA_LOAD_DIVISOR;
}
