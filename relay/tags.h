// The tags that name the relay's sockets in the poller, built and taken apart in one place.
// Their order is the pass's fixed order, since the poller hands events back sorted by tag: the
// active-mode listener, the pending slots in slot order, then per mapping slot its listener and
// its pairs in index order (client before device), the closing sockets, and last the sockets of
// the pass hook (the status listener).
#pragma once

#include <cstddef>
#include <cstdint>

#include "relay/relay.h"

namespace orv {

constexpr std::uint32_t kTagActiveListener = 0;
constexpr std::uint32_t kTagFirstSlot = 1;
constexpr std::uint32_t kTagFirstMapping = 32;
constexpr std::uint32_t kTagsPerMapping = 64;  // the listener, then two per pair
constexpr std::uint32_t kTagFirstClosing = 0xE0000000u;
// As many mapping slots as have tags of their own below the closing sockets.
constexpr std::size_t kMappingSlotsMax = (kTagFirstClosing - kTagFirstMapping) / kTagsPerMapping;
constexpr std::size_t kClosingMax = kHookTagBase - kTagFirstClosing;

static_assert(kTagFirstSlot + kPendingSlots <= kTagFirstMapping, "slot tags reach the mappings'");
static_assert(1 + 2 * kPairsPerMapping <= kTagsPerMapping, "a mapping's tags reach the next's");
static_assert(kTagFirstMapping + kMappingSlotsMax * kTagsPerMapping <= kTagFirstClosing,
              "mapping tags reach the closing sockets'");
static_assert(kTagFirstClosing < kHookTagBase, "closing tags reach the hook's");

inline std::uint32_t pending_tag(std::size_t slot) {
  return kTagFirstSlot + static_cast<std::uint32_t>(slot);
}
inline std::uint32_t listener_tag(std::size_t mapping_slot) {
  return kTagFirstMapping + static_cast<std::uint32_t>(mapping_slot) * kTagsPerMapping;
}
inline std::uint32_t side_tag(std::size_t mapping_slot, std::size_t pair, Side side) {
  return listener_tag(mapping_slot) + 1 + 2 * static_cast<std::uint32_t>(pair) +
         (side == Side::kDevice ? 1 : 0);
}
inline std::uint32_t closing_tag(std::size_t index) {
  return kTagFirstClosing + static_cast<std::uint32_t>(index);
}

// What a tag names.
enum class TagKind : std::uint8_t {
  kActiveListener,
  kPendingSlot,      // index: the slot
  kMappingListener,  // mapping: the mapping slot
  kPairSide,         // mapping, pair and side
  kClosing,          // index: the closing entry
  kHook,             // the pass hook's own tags
};
struct TagTarget {
  TagKind kind;
  std::size_t index = 0;  // the pending slot or closing entry
  std::size_t mapping = 0;
  std::size_t pair = 0;
  Side side = Side::kClient;
};

inline TagTarget decode_tag(std::uint32_t tag) {
  if (tag >= kHookTagBase) return {TagKind::kHook};
  if (tag >= kTagFirstClosing) return {TagKind::kClosing, tag - kTagFirstClosing};
  if (tag >= kTagFirstMapping) {
    const std::uint32_t offset = tag - kTagFirstMapping;
    const std::uint32_t within = offset % kTagsPerMapping;
    TagTarget target{within == 0 ? TagKind::kMappingListener : TagKind::kPairSide};
    target.mapping = offset / kTagsPerMapping;
    if (within > 0) {
      target.pair = (within - 1) / 2;
      target.side = (within - 1) % 2 == 0 ? Side::kClient : Side::kDevice;
    }
    return target;
  }
  if (tag >= kTagFirstSlot) return {TagKind::kPendingSlot, tag - kTagFirstSlot};
  return {TagKind::kActiveListener};
}

}  // namespace orv
