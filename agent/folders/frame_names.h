// The set of frame names of one folder listing.
//
// A folder of tens of thousands of frames is listed every few seconds, and
// its names are compared with the previous listing's each time. A set of
// individually allocated strings cost more than reading the folder, so this
// one keeps every name in one character buffer, with an open-addressing
// index over it: building it allocates a few times, not once per name, and
// copying or destroying it is a few buffer copies or frees.
//
// A plain value with set semantics: `==` compares membership, not order.
// Iteration visits each name once, in no particular order, as a string_view
// that stays valid until the set is next changed or destroyed. Names are
// at most 65,535 bytes (a file name is at most 255).
// Not synchronized; like any value, it belongs to whoever holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace vantle::agent {

class FrameNames {
 public:
  class const_iterator;
  using iterator = const_iterator;
  using value_type = std::string_view;
  using size_type = size_t;

  FrameNames() = default;
  FrameNames(std::initializer_list<std::string_view> names);
  FrameNames(const FrameNames&) = default;
  FrameNames& operator=(const FrameNames&) = default;
  // A set moved from is left empty.
  FrameNames(FrameNames&& other) noexcept;
  FrameNames& operator=(FrameNames&& other) noexcept;

  // Makes room for `count` names of `characters` bytes in total, counting
  // those already held, so that inserting up to them allocates nothing.
  void reserve(size_t count, size_t characters);

  // Adds `name`; false when it was already held. Throws std::length_error
  // for a name over 65,535 bytes or past 4 GiB of names in all.
  bool insert(std::string_view name);
  bool contains(std::string_view name) const;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  const_iterator begin() const;
  const_iterator end() const;

  friend bool operator==(const FrameNames& a, const FrameNames& b);

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  // Eight bytes, so that the index of a large folder stays in the cache.
  struct Slot {
    uint32_t offset = kEmpty;  // of the name in characters_
    uint16_t length = 0;
    uint16_t tag = 0;  // the high bits of the name's hash
  };

  std::string_view at(const Slot& slot) const {
    return std::string_view(characters_).substr(slot.offset, slot.length);
  }
  // The index of the slot holding `name`, or of the empty slot where it
  // would go.
  size_t slotOf(std::string_view name, uint64_t hash) const;
  void rehash(size_t slotCount);
  // The first occupied slot at or after `index`, or slots_.size().
  size_t occupiedFrom(size_t index) const;

  std::string characters_;  // the names, one after another
  std::vector<Slot> slots_;  // a power of two in size, at most three quarters full
  size_t size_ = 0;
};

class FrameNames::const_iterator {
 public:
  // A forward iterator whose reference is a string_view made on the fly:
  // multi-pass, but only an input iterator by the older, pre-concept rules.
  using iterator_concept = std::forward_iterator_tag;
  using iterator_category = std::input_iterator_tag;
  using value_type = std::string_view;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = std::string_view;

  const_iterator() = default;
  std::string_view operator*() const { return names_->at(names_->slots_[index_]); }
  const_iterator& operator++() {
    index_ = names_->occupiedFrom(index_ + 1);
    return *this;
  }
  const_iterator operator++(int) {
    const_iterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const const_iterator&) const = default;

 private:
  friend class FrameNames;
  const_iterator(const FrameNames* names, size_t index) : names_(names), index_(index) {}

  const FrameNames* names_ = nullptr;
  size_t index_ = 0;
};

inline size_t FrameNames::occupiedFrom(size_t index) const {
  while (index < slots_.size() && slots_[index].offset == kEmpty) ++index;
  return index;
}
inline FrameNames::const_iterator FrameNames::begin() const { return {this, occupiedFrom(0)}; }
inline FrameNames::const_iterator FrameNames::end() const { return {this, slots_.size()}; }

}  // namespace vantle::agent
