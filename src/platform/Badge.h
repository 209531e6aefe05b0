// kx::Badge<T> is a pass-key. A member function that takes a Badge<T> as its
// first parameter may be public and still be callable only from T: nobody
// but T can make a badge (its constructor is private and T its only friend),
// and a badge cannot be copied or moved on to someone else. This gives one
// class a narrow door into another instead of friendship, which would open
// every private member. A caller passes `{}`.
//
// Thread safety: a badge holds nothing; it exists only for the compiler.
#ifndef ZN_PLATFORM_BADGE_H_
#define ZN_PLATFORM_BADGE_H_

namespace kx {

template <class T>
class Badge {
 public:
  using Type = T;

  Badge(const Badge&) = delete;
  Badge& operator=(const Badge&) = delete;
  Badge(Badge&&) = delete;
  Badge& operator=(Badge&&) = delete;

 private:
  friend T;
  constexpr Badge() = default;
};

}  // namespace kx

#endif  // ZN_PLATFORM_BADGE_H_
