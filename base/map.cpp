#include "base/map.h"

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

// 256 buckets, built on first use and freed with the library.
class InternTable {
public:
  InternTable() {
    for (auto& head : buckets) link_init(&head);
  }
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
    VoidPtrMap::Link* head = &buckets[h & 255];
    for (VoidPtrMap::Link* p = head->next; p != head; p = p->next) {
      InternEntry* e = static_cast<InternEntry*>(p);
      if (e->text == text) return e;
    }
    InternEntry* e = new InternEntry;
    e->self = e;
    e->hash = h;
    e->text = text;
    link_append(head, e);
    return e;
  }
  int bucket_size(uint32_t h) const {
    int n = 0;
    const VoidPtrMap::Link* head = &buckets[h & 255];
    for (const VoidPtrMap::Link* p = head->next; p != head; p = p->next) ++n;
    return n;
  }

private:
  VoidPtrMap::Link buckets[256];
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
  table = new Table{bits, (1 << bits) - 1, new Link[1u << bits]};
  for (int i = 0; i <= table->mask; ++i) link_init(&table->buckets[i]);
}

VoidPtrMap::~VoidPtrMap() {
  delete[] table->buckets;
  delete table;
}

void VoidPtrMap::insert(uint32_t hash, Node* node) {
  link_append(&table->buckets[hash & static_cast<uint32_t>(table->mask)], node);
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
