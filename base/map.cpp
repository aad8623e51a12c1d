#include "base/map.h"

#include <vector>

namespace {

void link_init(VoidPtrMap::Link* head) { head->next = head->prev = head; }

void link_append(VoidPtrMap::Link* head, VoidPtrMap::Link* node) {
  node->prev = head->prev;
  node->next = head;
  head->prev->next = node;
  head->prev = node;
}

// An intern entry: link, the handle (its own address), the hash and the text.
struct InternEntry : VoidPtrMap::Link {
  InternEntry* self;
  uint32_t hash;
  String text;
};

// 256 buckets, built on first use and freed with the library. A program that
// interns many texts (a configuration file of thousands of keys) doubles them
// whenever the entries outnumber the buckets four times.
class InternTable {
public:
  InternTable() : buckets(256) {
    for (auto& head : buckets) link_init(&head);
  }
  InternTable(const InternTable&) = delete;
  InternTable& operator=(const InternTable&) = delete;
  ~InternTable() {
    for (auto& head : buckets) {
      for (VoidPtrMap::Link* p = head.next; p != &head;) {
        VoidPtrMap::Link* next = p->next;
        delete static_cast<InternEntry*>(p);
        p = next;
      }
    }
  }
  InternEntry* intern(const String& text) {
    uint32_t h = text.hash();
    VoidPtrMap::Link* head = &bucket(h);
    for (VoidPtrMap::Link* p = head->next; p != head; p = p->next) {
      InternEntry* e = static_cast<InternEntry*>(p);
      if (e->hash == h && e->text == text) return e;
    }
    InternEntry* e = new InternEntry;
    e->self = e;
    e->hash = h;
    e->text = text;
    link_append(head, e);
    if (++entries > 4 * buckets.size()) grow();
    return e;
  }
  int bucket_size(uint32_t h) {
    int n = 0;
    const VoidPtrMap::Link* head = &bucket(h);
    for (const VoidPtrMap::Link* p = head->next; p != head; p = p->next) ++n;
    return n;
  }

private:
  VoidPtrMap::Link& bucket(uint32_t h) { return buckets[h & (buckets.size() - 1)]; }
  void grow() {
    std::vector<VoidPtrMap::Link> old(buckets.size() * 2);
    old.swap(buckets);
    for (auto& head : buckets) link_init(&head);
    for (auto& head : old)
      for (VoidPtrMap::Link* p = head.next; p != &head;) {
        VoidPtrMap::Link* next = p->next;
        link_append(&bucket(static_cast<InternEntry*>(p)->hash), p);
        p = next;
      }
  }

  std::vector<VoidPtrMap::Link> buckets;  // a power of two; heads link to themselves
  size_t entries = 0;
};

InternTable& intern_table() {
  static InternTable table;
  return table;
}

}  // namespace

VoidPtrMap::ForEachFunc::~ForEachFunc() = default;

VoidPtrMap::VoidPtrMap(int size_hint) {
  int bits = 0;
  while ((1 << bits) < size_hint) ++bits;
  table = new Table{bits, (1 << bits) - 1, new Link[1u << bits], 0};
  for (int i = 0; i <= table->mask; ++i) link_init(&table->buckets[i]);
}

VoidPtrMap::~VoidPtrMap() {
  delete[] table->buckets;
  delete table;
}

void VoidPtrMap::insert(uint32_t hash, Node* node) {
  link_append(&table->buckets[hash & static_cast<uint32_t>(table->mask)], node);
  ++table->count;
}

void VoidPtrMap::grow(uint32_t (*hash_of)(const void* key)) {
  const int bits = table->bits + 1;
  Link* fresh = new Link[1u << bits];
  for (int i = 0; i < (1 << bits); ++i) link_init(&fresh[i]);
  for (int i = 0; i <= table->mask; ++i) {
    Link* head = &table->buckets[i];
    for (Link* p = head->next; p != head;) {
      Link* next = p->next;
      const uint32_t h = hash_of(static_cast<Node*>(p)->key);
      link_append(&fresh[h & ((1u << bits) - 1)], p);
      p = next;
    }
  }
  delete[] table->buckets;
  table->buckets = fresh;
  table->bits = bits;
  table->mask = (1 << bits) - 1;
}

VoidPtrMap::Node* VoidPtrMap::find(uint32_t hash, const void* key) const {
  Link* head = &table->buckets[hash & static_cast<uint32_t>(table->mask)];
  for (Link* p = head->next; p != head; p = p->next) {
    Node* n = static_cast<Node*>(p);
    if (n->key == key) return n;
  }
  return nullptr;
}

void VoidPtrMap::walk(ForEachFunc& func) {
  for (int i = 0; i <= table->mask; ++i) {
    Link* head = &table->buckets[i];
    for (Link* p = head->next; p != head;) {
      Link* next = p->next;  // fetched first: the functor may free the node
      if (func(static_cast<Node*>(p))) return;
      p = next;
    }
  }
}

InString::InString(const char* text) : entry(intern_table().intern(String(text))) {}

InString::InString(const String& text) : entry(intern_table().intern(text)) {}

const String& InString::text() const { return static_cast<const InternEntry*>(entry)->text; }

int intern_bucket_of(uint32_t hash) { return intern_table().bucket_size(hash); }
