// Undoes what a step began when the step is left by an exception (or any
// way but Dismiss): the RAII form of "catch, undo, rethrow".
#pragma once

#include <utility>

template <class F>
class TScopeGuard {
public:
  explicit TScopeGuard(F AUndo) : FUndo(std::move(AUndo)) {}
  ~TScopeGuard() {
    if (!FArmed) return;
    try {
      FUndo();
    } catch (...) {
      // An undo that fails while another error is on its way must not
      // replace it (or end the program).
    }
  }
  TScopeGuard(const TScopeGuard&) = delete;
  TScopeGuard& operator=(const TScopeGuard&) = delete;
  // The step succeeded: nothing to undo.
  void Dismiss() { FArmed = false; }

private:
  F FUndo;
  bool FArmed = true;
};
