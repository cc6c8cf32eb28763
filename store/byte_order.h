#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>

// Little-endian loads and stores at any alignment, exactly as wide as T. Record fields and file
// tables go through these and nothing else, so a field is never touched by a wider access. The
// bytes are spelled out as one OR (or one store each) so that compilers fold them into a single
// unaligned access where the machine allows it.
namespace byte_order_detail {
template <typename U, std::size_t... I>
constexpr U Load(const std::byte* at, std::index_sequence<I...>) {
  return static_cast<U>((static_cast<U>(std::to_integer<U>(at[I]) << (8 * I)) | ...));
}
template <typename U, std::size_t... I>
constexpr void Store(std::byte* at, U bits, std::index_sequence<I...>) {
  ((at[I] = static_cast<std::byte>(bits >> (8 * I))), ...);
}
}  // namespace byte_order_detail

template <typename T>
constexpr T LoadLE(const std::byte* at) {
  using U = std::make_unsigned_t<T>;
  return static_cast<T>(byte_order_detail::Load<U>(at, std::make_index_sequence<sizeof(T)>{}));
}

template <typename T>
constexpr void StoreLE(std::byte* at, T value) {
  using U = std::make_unsigned_t<T>;
  byte_order_detail::Store<U>(at, static_cast<U>(value), std::make_index_sequence<sizeof(T)>{});
}

// True when [offset, offset + width) lies inside image; written so that no sum can overflow.
constexpr bool Holds(std::span<const std::byte> image, std::uint64_t offset, std::uint64_t width) {
  return offset <= image.size() && width <= image.size() - offset;
}
