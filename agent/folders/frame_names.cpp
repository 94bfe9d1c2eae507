#include "agent/folders/frame_names.h"

#include <stdexcept>
#include <utility>

#include "core/short_hash.h"

namespace vantle::agent {
namespace {

uint16_t tagOf(uint64_t hash) { return static_cast<uint16_t>(hash >> 48); }

// Slots for `count` names, at most three quarters full.
size_t slotsFor(size_t count) {
  size_t slots = 16;
  while (3 * slots < 4 * count) slots *= 2;
  return slots;
}

}  // namespace

FrameNames::FrameNames(std::initializer_list<std::string_view> names) {
  for (std::string_view name : names) insert(name);
}

FrameNames::FrameNames(FrameNames&& other) noexcept
    : characters_(std::move(other.characters_)),
      slots_(std::move(other.slots_)),
      size_(std::exchange(other.size_, 0)) {
  other.characters_.clear();
  other.slots_.clear();
}

FrameNames& FrameNames::operator=(FrameNames&& other) noexcept {
  if (this == &other) return *this;
  characters_ = std::move(other.characters_);
  slots_ = std::move(other.slots_);
  size_ = std::exchange(other.size_, 0);
  other.characters_.clear();
  other.slots_.clear();
  return *this;
}

void FrameNames::reserve(size_t count, size_t characters) {
  characters_.reserve(characters);
  if (slotsFor(count) > slots_.size()) rehash(slotsFor(count));
}

bool FrameNames::insert(std::string_view name) {
  if (slotsFor(size_ + 1) > slots_.size()) rehash(slotsFor(size_ + 1));
  const uint64_t hash = core::ShortHash::of(name);
  Slot& slot = slots_[slotOf(name, hash)];
  if (slot.offset != kEmpty) return false;
  // Offsets are 32 bits and lengths 16: far beyond any folder's names.
  if (name.size() > UINT16_MAX || characters_.size() + name.size() >= kEmpty) {
    throw std::length_error("FrameNames: name or names too long");
  }
  // The name is stored before the slot points at it, so that a failed
  // append leaves the set as it was.
  const auto offset = static_cast<uint32_t>(characters_.size());
  characters_.append(name);
  slot = {offset, static_cast<uint16_t>(name.size()), tagOf(hash)};
  ++size_;
  return true;
}

bool FrameNames::contains(std::string_view name) const {
  if (slots_.empty()) return false;
  return slots_[slotOf(name, core::ShortHash::of(name))].offset != kEmpty;
}

size_t FrameNames::slotOf(std::string_view name, uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  const uint16_t tag = tagOf(hash);
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.offset == kEmpty || (slot.tag == tag && at(slot) == name)) return i;
  }
}

void FrameNames::rehash(size_t slotCount) {
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slotCount));
  const size_t mask = slotCount - 1;
  for (const Slot& slot : old) {
    if (slot.offset == kEmpty) continue;
    size_t i = core::ShortHash::of(at(slot)) & mask;
    while (slots_[i].offset != kEmpty) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

bool operator==(const FrameNames& a, const FrameNames& b) {
  if (a.size() != b.size()) return false;
  for (std::string_view name : a) {
    if (!b.contains(name)) return false;
  }
  return true;
}

}  // namespace vantle::agent
