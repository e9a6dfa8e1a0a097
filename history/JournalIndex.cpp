#include "history/JournalIndex.h"

#include <cstring>
#include <new>
#include <string>

#include "platform/base/Text.h"

namespace {

constexpr size_t kChunkBits = 20;
constexpr size_t kChunkSize = size_t{1} << kChunkBits;
constexpr size_t kMaxChunks = size_t{1} << (32 - kChunkBits);
constexpr uint32_t kNoRef = 0xFFFFFFFFu;
constexpr uint32_t kWideFlag = 0x80000000u;

// Upper case of every BMP unit outside ASCII, built on first use from the
// platform's simple case mapping. Surrogates and units whose upper case is
// not a single unit map to themselves.
const char16_t* UpperTable() {
  static const std::unique_ptr<char16_t[]> table = [] {
    auto t = std::make_unique<char16_t[]>(0x10000);
    for (uint32_t u = 0; u < 0x10000; ++u) {
      t[u] = static_cast<char16_t>(u);
      if (u < 0x80) {
        if (u >= 'a' && u <= 'z') t[u] = static_cast<char16_t>(u - 32);
        continue;
      }
      if (u >= 0xD800 && u <= 0xDFFF) continue;
      std::u16string one(1, static_cast<char16_t>(u));
      std::u16string up = plat::Utf8ToUtf16(plat::ToUpper(plat::Utf16ToUtf8(one)));
      if (up.size() == 1) t[u] = up[0];
    }
    return t;
  }();
  return table.get();
}

inline char16_t Fold(char16_t u) {
  if (u < 0x80) return (u >= 'a' && u <= 'z') ? static_cast<char16_t>(u - 32) : u;
  return UpperTable()[u];
}

inline uint64_t Mix(uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x;
}

// Placement hash of a key: the stored hash mixed with a hash of the folded
// path, so that damaged files with many equal hashes do not pile up.
uint32_t KeyTag(uint64_t hash, std::u16string_view path) {
  uint64_t h = 0xCBF29CE484222325ull ^ path.size();
  size_t i = 0;
  for (; i + 4 <= path.size(); i += 4) {
    uint64_t w = uint64_t{Fold(path[i])} | uint64_t{Fold(path[i + 1])} << 16 |
                 uint64_t{Fold(path[i + 2])} << 32 | uint64_t{Fold(path[i + 3])} << 48;
    h = (h ^ w) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  for (; i < path.size(); ++i) h = (h ^ Fold(path[i])) * 0x100000001B3ull;
  return static_cast<uint32_t>(Mix(hash ^ h) >> 32);
}

uint32_t ExactTag(std::u16string_view s) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (char16_t u : s) h = (h ^ u) * 0x100000001B3ull;
  return static_cast<uint32_t>(Mix(h) >> 32);
}

}  // namespace

uint32_t CJournalIndex::Allocate(size_t n) {
  n = (n + 7) & ~size_t{7};
  if (n > kChunkSize) return kNoRef;
  if (chunks_.empty() || chunkUsed_ + n > kChunkSize) {
    if (chunks_.size() >= kMaxChunks) return kNoRef;
    chunks_.push_back(std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[kChunkSize]));
    if (!chunks_.back()) {
      chunks_.pop_back();
      return kNoRef;
    }
    chunkUsed_ = 0;
  }
  uint32_t ref = static_cast<uint32_t>(((chunks_.size() - 1) << kChunkBits) | chunkUsed_);
  chunkUsed_ += n;
  return ref;
}

uint8_t* CJournalIndex::At(uint32_t ref) const {
  return chunks_[ref >> kChunkBits].get() + (ref & (kChunkSize - 1));
}

void CJournalIndex::PutString(uint8_t* p, std::u16string_view s, bool wide) {
  uint32_t head = static_cast<uint32_t>(s.size()) | (wide ? kWideFlag : 0);
  std::memcpy(p, &head, 4);
  p += 4;
  if (wide) {
    for (char16_t u : s) {
      *p++ = static_cast<uint8_t>(u & 0xFF);
      *p++ = static_cast<uint8_t>(u >> 8);
    }
  } else {
    for (char16_t u : s) *p++ = static_cast<uint8_t>(u);
  }
}

namespace {

bool IsWide(std::u16string_view s) {
  for (char16_t u : s)
    if (u > 0xFF) return true;
  return false;
}

// Compares the string stored at p with s.
template <bool kNoCase>
bool StringEquals(const uint8_t* p, std::u16string_view s) {
  uint32_t head;
  std::memcpy(&head, p, 4);
  if ((head & ~kWideFlag) != s.size()) return false;
  p += 4;
  if (head & kWideFlag) {
    for (size_t i = 0; i < s.size(); ++i) {
      char16_t u = static_cast<char16_t>(p[2 * i] | p[2 * i + 1] << 8);
      if (u != s[i] && (!kNoCase || Fold(u) != Fold(s[i]))) return false;
    }
  } else {
    for (size_t i = 0; i < s.size(); ++i) {
      char16_t u = p[i];
      if (u != s[i] && (!kNoCase || Fold(u) != Fold(s[i]))) return false;
    }
  }
  return true;
}

void SplitPath(std::u16string_view path, std::u16string_view* folder, std::u16string_view* name) {
  size_t cut = path.rfind(u'\\');
  cut = cut == std::u16string_view::npos ? 0 : cut + 1;
  *folder = path.substr(0, cut);
  *name = path.substr(cut);
}

constexpr size_t kEntryHead = 16;  // hash, offset

inline uint32_t TagOf(uint64_t v) { return static_cast<uint32_t>(v >> 32); }
template <class T>
inline uint32_t TagOf(const T& slot) {
  return slot.tag;
}
inline bool Used(uint64_t v) { return v != 0; }
template <class T>
inline bool Used(const T& slot) {
  return slot.entry != 0;
}

}  // namespace

template <class T>
bool CJournalIndex::GrowSlots(std::vector<T>* slots, size_t count) {
  // Keeps the load at most one half.
  if ((count + 1) * 2 <= slots->size()) return true;
  size_t cap = slots->empty() ? 1024 : slots->size() * 2;
  std::vector<T> grown;
  try {
    grown.assign(cap, T{});
  } catch (const std::bad_alloc&) {
    return false;
  }
  size_t mask = cap - 1;
  for (const T& v : *slots) {
    if (!Used(v)) continue;
    size_t i = TagOf(v) & mask;
    while (Used(grown[i])) i = (i + 1) & mask;
    grown[i] = v;
  }
  slots->swap(grown);
  return true;
}

uint32_t CJournalIndex::InternFolder(std::u16string_view folder) {
  if (lastFolder_ != kNoRef && StringEquals<false>(At(lastFolder_), folder)) return lastFolder_;
  uint32_t tag = ExactTag(folder);
  if (!folderSlots_.empty()) {
    size_t mask = folderSlots_.size() - 1;
    for (size_t i = tag & mask; folderSlots_[i]; i = (i + 1) & mask) {
      uint64_t v = folderSlots_[i];
      uint32_t ref = static_cast<uint32_t>(v) - 1;
      if ((v >> 32) == tag && StringEquals<false>(At(ref), folder)) return lastFolder_ = ref;
    }
  }
  if (!GrowSlots(&folderSlots_, folderCount_)) return kNoRef;
  bool wide = IsWide(folder);
  uint32_t ref = Allocate(StringBytes(folder, wide));
  if (ref == kNoRef) return kNoRef;
  PutString(At(ref), folder, wide);
  size_t mask = folderSlots_.size() - 1;
  size_t i = tag & mask;
  while (folderSlots_[i]) i = (i + 1) & mask;
  folderSlots_[i] = uint64_t{tag} << 32 | (uint64_t{ref} + 1);
  ++folderCount_;
  return lastFolder_ = ref;
}

bool CJournalIndex::Matches(const Slot& slot, uint64_t hash, std::u16string_view folder,
                            std::u16string_view name) const {
  const uint8_t* e = At(slot.entry - 1);
  const uint8_t* f = At(slot.folder);
  uint64_t h;
  std::memcpy(&h, e, 8);
  return h == hash && StringEquals<true>(e + kEntryHead, name) && StringEquals<true>(f, folder);
}

bool CJournalIndex::Find(uint64_t hash, std::u16string_view path, uint64_t* offset) const {
  if (slots_.empty()) return false;
  std::u16string_view folder, name;
  SplitPath(path, &folder, &name);
  uint32_t tag = KeyTag(hash, path);
  size_t mask = slots_.size() - 1;
  for (size_t i = tag & mask; slots_[i].entry; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.tag != tag || !Matches(slot, hash, folder, name)) continue;
    if (offset) std::memcpy(offset, At(slot.entry - 1) + 8, 8);
    return true;
  }
  return false;
}

CJournalIndex::AddResult CJournalIndex::Add(uint64_t hash, std::u16string_view path,
                                            uint64_t offset) {
  try {
    uint32_t tag = KeyTag(hash, path);
    if (!bulk_) return Insert(tag, hash, path, offset);
    AddResult rc = AddResult::kAdded;
    if (queueCount_ == kQueue) {
      Queued& q = queue_[queueHead_];
      rc = Insert(q.tag, q.hash, q.path, q.offset);
      queueHead_ = (queueHead_ + 1) % kQueue;
      --queueCount_;
    }
    Queued& slot = queue_[(queueHead_ + queueCount_) % kQueue];
    slot.tag = tag;
    slot.hash = hash;
    slot.offset = offset;
    slot.path.assign(path);
    ++queueCount_;
    if (!slots_.empty()) __builtin_prefetch(&slots_[tag & (slots_.size() - 1)]);
    return rc == AddResult::kNoMemory ? rc : AddResult::kAdded;
  } catch (const std::bad_alloc&) {
    return AddResult::kNoMemory;
  }
}

CJournalIndex::AddResult CJournalIndex::EndBulk() {
  AddResult rc = AddResult::kAdded;
  bulk_ = false;
  try {
    for (; queueCount_ > 0; --queueCount_) {
      Queued& q = queue_[queueHead_];
      if (Insert(q.tag, q.hash, q.path, q.offset) == AddResult::kNoMemory)
        rc = AddResult::kNoMemory;
      queueHead_ = (queueHead_ + 1) % kQueue;
    }
  } catch (const std::bad_alloc&) {
    rc = AddResult::kNoMemory;
  }
  queueHead_ = queueCount_ = 0;
  return rc;
}

CJournalIndex::AddResult CJournalIndex::Insert(uint32_t tag, uint64_t hash,
                                               std::u16string_view path, uint64_t offset) {
  std::u16string_view folder, name;
  SplitPath(path, &folder, &name);
  if (!slots_.empty()) {
    size_t mask = slots_.size() - 1;
    for (size_t i = tag & mask; slots_[i].entry; i = (i + 1) & mask)
      if (slots_[i].tag == tag && Matches(slots_[i], hash, folder, name))
        return AddResult::kPresent;
  }
  if (!GrowSlots(&slots_, count_)) return AddResult::kNoMemory;
  uint32_t folderRef = InternFolder(folder);
  if (folderRef == kNoRef) return AddResult::kNoMemory;
  bool wide = IsWide(name);
  uint32_t ref = Allocate(kEntryHead + StringBytes(name, wide));
  if (ref == kNoRef) return AddResult::kNoMemory;
  uint8_t* e = At(ref);
  std::memcpy(e, &hash, 8);
  std::memcpy(e + 8, &offset, 8);
  PutString(e + kEntryHead, name, wide);
  size_t mask = slots_.size() - 1;
  size_t i = tag & mask;
  while (slots_[i].entry) i = (i + 1) & mask;
  slots_[i] = Slot{tag, ref + 1, folderRef, 0};
  ++count_;
  return AddResult::kAdded;
}

void CJournalIndex::Clear() {
  bulk_ = false;
  queueHead_ = queueCount_ = 0;
  count_ = 0;
  std::vector<Slot>().swap(slots_);
  std::vector<uint64_t>().swap(folderSlots_);
  folderCount_ = 0;
  lastFolder_ = kNoRef;
  std::vector<std::unique_ptr<uint8_t[]>>().swap(chunks_);
  chunkUsed_ = 0;
}

size_t CJournalIndex::MemoryBytes() const {
  return slots_.capacity() * sizeof(Slot) + folderSlots_.capacity() * sizeof(uint64_t) +
         chunks_.size() * kChunkSize;
}
