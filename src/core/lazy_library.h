// A shared library that only some commands need, loaded on first use, so
// that a command which never hashes or folds a name does not pay for
// mapping and relocating it when the process starts.
#pragma once

namespace velk {

// The address of `symbol` in the library `soname` (loaded once, never
// unloaded). A library or symbol that is missing is an installation fault:
// "velk-setup-system: cannot load {soname}: {why}" on standard error, then
// the process aborts, as it does for any other broken invariant.
void* lazy_symbol(const char* soname, const char* symbol);

// Typed: `lazy_function<decltype(&f)>(soname, "f")`.
template <typename F>
F lazy_function(const char* soname, const char* symbol) {
  return reinterpret_cast<F>(lazy_symbol(soname, symbol));
}

}  // namespace velk
