// The in-memory index of a journal: key (path hash, path) -> record offset.
// Two keys are equal when their hashes are equal and their paths are equal
// ignoring case. Built for a million records in little memory and few cache
// misses: each entry keeps its hash, offset and file name together, folders
// are interned, strings take one byte per unit when every unit fits in a
// byte, all in fixed 1 MiB chunks that never move. Not locked: the journal
// that owns it guards it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CJournalIndex {
 public:
  enum class AddResult { kAdded, kPresent, kNoMemory };

  CJournalIndex() = default;
  CJournalIndex(const CJournalIndex&) = delete;
  CJournalIndex& operator=(const CJournalIndex&) = delete;

  bool Find(uint64_t hash, std::u16string_view path, uint64_t* offset) const;
  // Adds the key unless it is present (the first offset of a key wins).
  AddResult Add(uint64_t hash, std::u16string_view path, uint64_t offset);
  // Bulk loading: Add queues a few keys and touches their slots ahead of
  // inserting them, so a walk over a large file is not held up by cache
  // misses. Keys are inserted in the order added; Find sees a queued key
  // only after EndBulk.
  void BeginBulk() { bulk_ = true; }
  AddResult EndBulk();
  // Forgets every key and releases the memory.
  void Clear();
  size_t Count() const { return count_; }
  // Bytes held by the index (capacity, not use).
  size_t MemoryBytes() const;

 private:
  // Space for n bytes in the store, 8-byte aligned; kNoRef when full.
  uint32_t Allocate(size_t n);
  uint8_t* At(uint32_t ref) const;
  // Writes a string's head (units, bit 31 = two bytes per unit) and units.
  static void PutString(uint8_t* p, std::u16string_view s, bool wide);
  static size_t StringBytes(std::u16string_view s, bool wide) {
    return 4 + s.size() * (wide ? 2 : 1);
  }
  uint32_t InternFolder(std::u16string_view folder);
  // One slot of the key table: the entry and its folder side by side, so that
  // a lookup fetches both at once. entry = reference + 1, 0 = empty.
  struct Slot {
    uint32_t tag;
    uint32_t entry;
    uint32_t folder;
    uint32_t spare;
  };
  bool Matches(const Slot& slot, uint64_t hash, std::u16string_view folder,
               std::u16string_view name) const;
  template <class T>
  static bool GrowSlots(std::vector<T>* slots, size_t count);
  AddResult Insert(uint32_t tag, uint64_t hash, std::u16string_view path, uint64_t offset);

  size_t count_ = 0;
  // Open addressing, linear probing. An entry lies in the store: u64 hash,
  // u64 offset, then its name as a string.
  std::vector<Slot> slots_;
  // Folder interning: 0 = empty, else (tag << 32) | (string reference + 1).
  std::vector<uint64_t> folderSlots_;
  size_t folderCount_ = 0;
  uint32_t lastFolder_ = 0xFFFFFFFFu;  // records come in folder runs
  // The store: reference = chunk << 20 | position, in chunks that never move.
  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
  size_t chunkUsed_ = 0;
  // Keys waiting in bulk mode (their paths copied, as the caller's buffer moves on).
  struct Queued {
    uint32_t tag;
    uint64_t hash;
    uint64_t offset;
    std::u16string path;
  };
  static constexpr size_t kQueue = 16;
  bool bulk_ = false;
  Queued queue_[kQueue];
  size_t queueHead_ = 0, queueCount_ = 0;
};
