// kx::HookTable holds the functions a higher layer installs into a lower
// one (the hooks of a seam): one std::function per hook, kept behind a
// mutex. A hook is copied out under the lock and called without it, so a
// hook may install hooks or take locks of its own. A hook never installed,
// or installed empty, is an empty function; the seam decides what it
// answers then.
//
//   kx::HookTable<CurrentFileId, ChangeBgImage>& hooks();  // one per seam, never freed
//   hooks().install(std::move(a), std::move(b));         // all hooks at once
//   hooks().set<0>(std::move(a));                         // one hook
//   if (CurrentFileId f = hooks().get<0>()) f();
//
// Thread safety: every member may be called from any thread at once.
#ifndef ZN_PLATFORM_HOOKTABLE_H_
#define ZN_PLATFORM_HOOKTABLE_H_

#include <cstddef>
#include <tuple>
#include <utility>

#include "platform/Mutex.h"

namespace kx {

template <class... Hooks>
class HookTable {
 public:
  template <std::size_t I>
  using Hook = std::tuple_element_t<I, std::tuple<Hooks...>>;

  HookTable() = default;
  HookTable(const HookTable&) = delete;
  HookTable& operator=(const HookTable&) = delete;

  // Replaces every hook at once (a reader sees all old or all new).
  void install(Hooks... hooks) {
    MutexLock lock(mu_);
    hooks_ = std::tuple<Hooks...>(std::move(hooks)...);
  }

  // Replaces hook I alone.
  template <std::size_t I>
  void set(Hook<I> hook) {
    MutexLock lock(mu_);
    std::get<I>(hooks_) = std::move(hook);
  }

  // A copy of hook I, to be called without the lock.
  template <std::size_t I>
  Hook<I> get() const {
    MutexLock lock(mu_);
    return std::get<I>(hooks_);
  }

  // A copy of hook I; when it is empty, `makeDefault()` is installed first
  // (called under the lock: it must not reach this table).
  template <std::size_t I, class MakeDefault>
  Hook<I> getOrInstall(MakeDefault makeDefault) {
    MutexLock lock(mu_);
    if (!std::get<I>(hooks_)) std::get<I>(hooks_) = makeDefault();
    return std::get<I>(hooks_);
  }

  // Whether hook I is installed (not empty).
  template <std::size_t I>
  bool has() const {
    MutexLock lock(mu_);
    return static_cast<bool>(std::get<I>(hooks_));
  }

  // Whether every hook is installed.
  bool hasAll() const {
    MutexLock lock(mu_);
    return std::apply([](const Hooks&... hook) { return (static_cast<bool>(hook) && ...); },
                      hooks_);
  }

  // Empties every hook.
  void reset() { install(Hooks()...); }

 private:
  mutable Mutex mu_;
  std::tuple<Hooks...> hooks_ GUARDED_BY(mu_);
};

// The process's table of a seam: made on first use, never freed (hooks may
// be called while static objects are being destroyed).
template <class Seam, class... Hooks>
HookTable<Hooks...>& hookTableOf() {
  static HookTable<Hooks...>* table = new HookTable<Hooks...>();
  return *table;
}

}  // namespace kx

#endif  // ZN_PLATFORM_HOOKTABLE_H_
