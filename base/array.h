// Growable byte storage and the typed array built on it. Elements are moved as
// raw bytes when the storage grows, so T must survive a memcpy (plain records,
// pointers, String).
#pragma once

#include <cstddef>
#include <new>

#include "base/string.h"

class ByteArray {
public:
  ByteArray() = default;
  ByteArray(const ByteArray&) = delete;
  ByteArray& operator=(const ByteArray&) = delete;
  // Takes the other's storage; the other is left empty.
  ByteArray(ByteArray&& other) noexcept
      : bytes(other.bytes), capacity(other.capacity), length(other.length) {
    other.bytes = nullptr;
    other.capacity = other.length = 0;
  }
  ByteArray& operator=(ByteArray&& other) noexcept;
  ~ByteArray();

  // Sets the capacity to exactly size bytes; the array is unchanged on failure.
  void realloc(size_t size);
  // Grows the capacity to at least size: max(size, 32) from empty, else doubling.
  void reserve(size_t size);
  // Gives back the bytes beyond length.
  void compact();

  char* bytes = nullptr;
  size_t capacity = 0;
  size_t length = 0;
};

template <class T>
class Array : public ByteArray {
public:
  Array() = default;
  Array(Array&&) noexcept = default;
  Array& operator=(Array&& other) noexcept {
    if (this != &other) {
      clear();
      ByteArray::operator=(static_cast<ByteArray&&>(other));
    }
    return *this;
  }
  ~Array() { clear(); }

  size_t len() const { return length / sizeof(T); }
  T& operator[](size_t i) { return reinterpret_cast<T*>(bytes)[i]; }
  const T& operator[](size_t i) const { return reinterpret_cast<const T*>(bytes)[i]; }
  T* begin() { return reinterpret_cast<T*>(bytes); }
  T* end() { return begin() + len(); }
  const T* begin() const { return reinterpret_cast<const T*>(bytes); }
  const T* end() const { return begin() + len(); }

  void append(const T& value) {
    if (capacity < length + sizeof(T)) {
      // The value may be one of our own elements, which growing would move.
      if (bytes && reinterpret_cast<const char*>(&value) >= bytes &&
          reinterpret_cast<const char*>(&value) < bytes + length) {
        T copy(value);
        reserve(length + sizeof(T));
        return place(copy);
      }
      reserve(length + sizeof(T));
    }
    place(value);
  }

  // Destroys the elements, last first, and frees the storage.
  void clear() {
    while (length >= sizeof(T)) {
      length -= sizeof(T);
      reinterpret_cast<T*>(bytes + length)->~T();
    }
    if (capacity) realloc(0);
  }

private:
  void place(const T& value) {
    new (bytes + length) T(value);
    length += sizeof(T);
  }
};
