// A small chained hash map keyed by interned strings. Keys compare by
// address, so a lookup is a hash of the handle and a pointer comparison.
#pragma once

#include <cstdint>

#include "base/string.h"

class VoidPtrMap {
public:
  // Circular doubly linked list link; an empty bucket head points to itself.
  struct Link {
    Link* next;
    Link* prev;
  };
  // next, prev, key; typed maps derive their nodes from this and add the value.
  struct Node : Link {
    const void* key = nullptr;
  };

  class ForEachFunc {
  public:
    // Non-zero stops the walk. The node may be freed by the call.
    virtual int operator()(Node* node) = 0;
    virtual ~ForEachFunc();
  };

  explicit VoidPtrMap(int size_hint);
  VoidPtrMap(const VoidPtrMap&) = delete;
  VoidPtrMap& operator=(const VoidPtrMap&) = delete;
  // Frees the table only: the nodes must have been released first.
  ~VoidPtrMap();

  int bucket_count() const { return 1 << table->bits; }
  int node_count() const { return table->count; }
  // Appends at the tail of the bucket; an existing node with the same key stays first.
  void insert(uint32_t hash, Node* node);
  // The oldest node with exactly this key, or null.
  Node* find(uint32_t hash, const void* key) const;
  // Walks every bucket from 0, each from its head; returns the functor.
  template <class F>
  F& for_each(F& func) {
    walk(func);
    return func;
  }

protected:
  // Doubles the buckets and moves every node to the bucket of its key's
  // hash; nodes keep their order within a bucket, so the oldest of equal
  // keys is still found first.
  void grow(uint32_t (*hash_of)(const void* key));

private:
  void walk(ForEachFunc& func);

  struct Table {
    int bits;
    int mask;
    Link* buckets;
    int count;  // nodes inserted
  };
  Table* table;
};

// A handle to a text in the global intern table: equal texts, equal handles.
class InString {
public:
  InString(const char* text);    // NOLINT: implicit, keys are written as literals
  InString(const String& text);  // NOLINT

  const String& text() const;
  const char* c_str() const { return text().c_str(); }
  // The handle's address as an unsigned 32-bit number, shifted right by 4.
  uint32_t hash() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(entry)) >> 4; }
  const void* handle() const { return entry; }
  static InString from_handle(const void* handle) { return InString(handle, 0); }
  bool operator==(const InString& other) const { return entry == other.entry; }
  bool operator!=(const InString& other) const { return entry != other.entry; }

private:
  InString(const void* handle, int) : entry(handle) {}
  const void* entry;
};

// Number of entries in the intern table's bucket for a hash, for tests.
int intern_bucket_of(uint32_t hash);

// K must be pointer-sized and provide hash() and handle() (InString);
// V must be pointer-sized, copyable and survive a raw move.
template <class K, class V>
class PtrMap : public VoidPtrMap {
public:
  struct Node : VoidPtrMap::Node {
    Node(const K& k, const V& v) : value(v) { key = k.handle(); }
    V value;
  };

  class Deleter : public ForEachFunc {
  public:
    int operator()(VoidPtrMap::Node* node) override {
      delete static_cast<Node*>(node);
      return 0;
    }
  };

  class Copier : public ForEachFunc {
  public:
    explicit Copier(PtrMap* target) : target(target) {}
    int operator()(VoidPtrMap::Node* node) override {
      Node* n = static_cast<Node*>(node);
      target->insert(K::from_handle(n->key), n->value);
      return 0;
    }
    PtrMap* target;
  };

  explicit PtrMap(int size_hint) : VoidPtrMap(size_hint) {}
  PtrMap(const PtrMap& other) : VoidPtrMap(other.bucket_count()) {
    Copier copier(this);
    try {
      const_cast<PtrMap&>(other).for_each(copier);
    } catch (...) {
      // The destructor does not run for a half-built copy: free its nodes here.
      release();
      throw;
    }
  }
  PtrMap& operator=(const PtrMap&) = delete;
  ~PtrMap() { release(); }

  void insert(const K& key, const V& value) {
    VoidPtrMap::insert(key.hash(), new Node(key, value));
    // The buckets grow with the load, so that a file of many keys reads in
    // time proportional to its size.
    if (node_count() > 4 * bucket_count()) grow(&hash_of);
  }
  V* find(const K& key) {
    Node* n = static_cast<Node*>(VoidPtrMap::find(key.hash(), key.handle()));
    return n ? &n->value : nullptr;
  }
  const V* find(const K& key) const { return const_cast<PtrMap*>(this)->find(key); }

private:
  static uint32_t hash_of(const void* key) { return K::from_handle(key).hash(); }
  void release() {
    Deleter deleter;
    for_each(deleter);
  }
};
