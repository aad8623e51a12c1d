#include "base/array.h"

#include <cstdlib>

ByteArray::~ByteArray() { free(bytes); }

ByteArray& ByteArray::operator=(ByteArray&& other) noexcept {
  if (this != &other) {
    free(bytes);
    bytes = other.bytes;
    capacity = other.capacity;
    length = other.length;
    other.bytes = nullptr;
    other.capacity = other.length = 0;
  }
  return *this;
}

void ByteArray::realloc(size_t size) {
  if (size == capacity) {
    warning(VANTREL_FUNCTION, "spurious realloc");
    return;
  }
  if (size == 0) {
    free(bytes);
    bytes = nullptr;
    capacity = 0;
    return;
  }
  char* grown = static_cast<char*>(::realloc(bytes, size));
  if (!grown)
    THROW_STR("out of memory (current size %llu bytes, failed allocation of %llu bytes)",
              static_cast<unsigned long long>(capacity), static_cast<unsigned long long>(size));
  bytes = grown;
  capacity = size;
}

void ByteArray::reserve(size_t size) {
  size_t grown = capacity;
  if (grown == 0) {
    grown = size > 32 ? size : 32;
  } else {
    while (grown < size) {
      // Doubling past the address space would wrap to a small block.
      if (grown > static_cast<size_t>(-1) / 2)
        THROW_STR("out of memory (current size %llu bytes, failed allocation of %llu bytes)",
                  static_cast<unsigned long long>(capacity), static_cast<unsigned long long>(size));
      grown *= 2;
    }
  }
  realloc(grown);
}

void ByteArray::compact() {
  if (length < capacity) realloc(length);
}
