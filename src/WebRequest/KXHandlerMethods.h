// KXHandlerMethods is the method table of a local handler: the names of
// the methods it serves ("method" of the request), each with the member
// function that answers it and whether it changes the store. A handler
// looks the request's method up once and calls what it finds; a name the
// table does not hold is answered the way the handler answers any method it
// does not serve. A new handler copies a table, not a chain of comparisons.
//
// Whether a method changes the store is said with the router's request
// types (KXRequestType): KXRequestTypeServiceChange for a method after
// whose answer the store is saved and a sync is asked for,
// KXRequestTypeServiceRead for one that only reads.
//
//   const KXHandlerMethod<KXWebTagRequestHandler, Call> kMethods[] = {
//       {"get", &KXWebTagRequestHandler::tagGet, KXRequestTypeServiceRead},
//       {"update", &KXWebTagRequestHandler::tagUpdate, KXRequestTypeServiceChange},
//   };
//   if (const auto* m = KXHandlerMethods(kMethods).find(name)) (this->*m->call)(call);
//
// Thread safety: tables are constant; lookups may run on any thread.
#ifndef ZN_WEBREQUEST_KXHANDLERMETHODS_H_
#define ZN_WEBREQUEST_KXHANDLERMETHODS_H_

#include <cstddef>
#include <span>
#include <string_view>

#include "WebRequest/KXRequestType.h"

// One method of a handler. `Context` is what the handler hands each of its
// methods (the request's URL, parameters and sender, as the handler reads
// them); the member function takes it by reference.
template <class Handler, class Context>
struct KXHandlerMethod {
  using Call = void (Handler::*)(Context&);

  std::string_view name;
  Call call = nullptr;
  // KXRequestTypeServiceChange or KXRequestTypeServiceRead.
  KXRequestType effect = KXRequestTypeServiceRead;

  constexpr bool changesData() const { return effect == KXRequestTypeServiceChange; }
};

// A view of a handler's static table.
template <class Method>
class KXHandlerMethods {
 public:
  constexpr KXHandlerMethods() = default;
  template <std::size_t N>
  constexpr KXHandlerMethods(const Method (&methods)[N]) : methods_(methods, N) {}  // NOLINT

  // The method named `name` (compared exactly), or null when the handler
  // does not serve it. An empty name is never served.
  constexpr const Method* find(std::string_view name) const {
    if (name.empty()) return nullptr;
    for (const Method& method : methods_) {
      if (method.name == name) return &method;
    }
    return nullptr;
  }

  // Whether `name` is served and changes the store.
  constexpr bool changesData(std::string_view name) const {
    const Method* method = find(name);
    return method && method->changesData();
  }

  constexpr std::span<const Method> all() const { return methods_; }

 private:
  std::span<const Method> methods_;
};

#endif  // ZN_WEBREQUEST_KXHANDLERMETHODS_H_
