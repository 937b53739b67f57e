#pragma once
// One move-only owner for every kind of system handle (registry keys, GDI objects,
// windows, ODBC handles). A Traits type says what the empty value is and how a
// handle is released:
//
//   struct Traits { using type = ...; static type invalid(); static void close(type); };
#include <utility>

namespace bakwyn {

template <typename Traits>
class UniqueAny {
 public:
  using pointer = typename Traits::type;

  UniqueAny() noexcept : value_(Traits::invalid()) {}
  explicit UniqueAny(pointer value) noexcept : value_(value) {}
  UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;
  ~UniqueAny() { reset(); }

  pointer get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

  void reset(pointer value = Traits::invalid()) noexcept {
    pointer old = std::exchange(value_, value);
    if (old != Traits::invalid()) Traits::close(old);
  }
  [[nodiscard]] pointer release() noexcept { return std::exchange(value_, Traits::invalid()); }

  // For out-parameters of C APIs: frees what is held and hands out the slot.
  pointer* put() noexcept {
    reset();
    return &value_;
  }

 private:
  pointer value_;
};

}  // namespace bakwyn
