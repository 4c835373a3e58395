// Tagged: a tag and at most one payload, where the tag decides which payload
// type is held. Several tags may share a payload type and some carry none,
// which std::variant's one-alternative-per-tag does not express without a
// second tag byte. The copy, move and destroy code of the value types that
// cross the Python boundary, written once.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace zorva::py {

// slotOf(tag) is the index of the tag's payload type in Payloads, or -1 for
// a tag without one. Only a Tag{} without a payload gives a default
// constructor.
template <class Tag, auto slotOf, class... Payloads>
class Tagged {
 public:
  Tagged() noexcept requires(slotOf(Tag{}) < 0) = default;
  // The tag with its payload T built from args (T must be the tag's slot).
  template <class T, class... Args>
  Tagged(Tag tag, std::in_place_type_t<T>, Args&&... args) : tag_(tag) {
    assert(slotOf(tag) == slotOfType<T>());
    new (storage_) T(std::forward<Args>(args)...);
  }
  // A tag without a payload.
  explicit Tagged(Tag tag) noexcept : tag_(tag) { assert(slotOf(tag) < 0); }

  Tagged(const Tagged& other) : tag_(other.tag_) {
    each([&]<class T>(T* self) { new (self) T(*other.template payload<T>()); });
  }
  Tagged(Tagged&& other) noexcept : tag_(other.tag_) {
    each([&]<class T>(T* self) { new (self) T(std::move(*other.template payload<T>())); });
  }
  Tagged& operator=(const Tagged& other) {
    if (this != &other) *this = Tagged(other);
    return *this;
  }
  Tagged& operator=(Tagged&& other) noexcept {
    if (this != &other) {
      this->~Tagged();
      new (this) Tagged(std::move(other));
    }
    return *this;
  }
  ~Tagged() {
    each([]<class T>(T* self) { self->~T(); });
  }

  Tag tag() const noexcept { return tag_; }
  // The payload; precondition: T is the tag's payload type.
  template <class T>
  const T& get() const noexcept {
    return *payload<T>();
  }

 private:
  template <class T>
  static constexpr int slotOfType() noexcept {
    int slot = 0, found = -1;
    ((std::is_same_v<T, Payloads> ? (found = slot, ++slot) : ++slot), ...);
    return found;
  }
  template <class T>
  T* payload() noexcept {
    return std::launder(reinterpret_cast<T*>(storage_));
  }
  template <class T>
  const T* payload() const noexcept {
    return std::launder(reinterpret_cast<const T*>(storage_));
  }
  // Calls f(payload pointer) with the type of the tag's payload, if any.
  template <class F>
  void each(F&& f) {
    eachIn(std::forward<F>(f), std::index_sequence_for<Payloads...>{});
  }
  template <class F, std::size_t... I>
  void eachIn(F&& f, std::index_sequence<I...>) {
    const int slot = slotOf(tag_);
    (void)((slot == static_cast<int>(I) ? (f(payload<Payloads>()), true) : false) || ...);
  }

  alignas(Payloads...) unsigned char storage_[std::max({sizeof(Payloads)...})];
  Tag tag_{};
};

}  // namespace zorva::py
