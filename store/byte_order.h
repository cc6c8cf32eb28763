#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

// Little-endian loads and stores at any alignment, exactly as wide as T. Record fields and file
// tables go through these and nothing else, so a field is never touched by a wider access.
template <typename T>
constexpr T LoadLE(const std::byte* at) {
  using U = std::make_unsigned_t<T>;
  U bits = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    bits = static_cast<U>(bits | static_cast<U>(std::to_integer<U>(at[i]) << (8 * i)));
  }
  return static_cast<T>(bits);
}

template <typename T>
constexpr void StoreLE(std::byte* at, T value) {
  using U = std::make_unsigned_t<T>;
  const U bits = static_cast<U>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    at[i] = static_cast<std::byte>(bits >> (8 * i));
  }
}

// True when [offset, offset + width) lies inside image; written so that no sum can overflow.
constexpr bool Holds(std::span<const std::byte> image, std::uint64_t offset, std::uint64_t width) {
  return offset <= image.size() && width <= image.size() - offset;
}
