#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "hexfile/FlashBuffer.h"

namespace otp {

/// What a 256-byte block of the OTP area needs before an image can be burned into it. An
/// OTP bit can only go from 1 to 0.
enum class BlockClass {
  kSkip,         // the image block is all 0xFF: never sent
  kWrite,        // the device block is blank
  kDone,         // the device block already equals the image block
  kCompletable,  // only 1-to-0 changes are missing: an interrupted run of the same image
  kConflict,     // a byte needs a 0 to become 1: this part can never hold this image
};
inline constexpr int kBlockClasses = 5;

/// A byte that the device can never change into the image's.
struct Conflict {
  std::uint32_t address;
  std::uint8_t device;
  std::uint8_t file;
};

/// The burn plan of an image against what a device holds.
struct BurnPlan {
  std::uint32_t start = 0;                  // the first block's address
  std::vector<BlockClass> blocks;           // one per block, in address order
  std::array<int, kBlockClasses> counts{};  // blocks per class, indexed by BlockClass
  std::vector<Conflict> conflicts;          // the first kListedConflicts of them
  std::size_t conflictBytes = 0;            // all of them
  int unread = 0;  // blocks outside the image that were not read (and are taken as skip)

  static constexpr std::size_t kListedConflicts = 16;

  int Count(BlockClass c) const { return counts[static_cast<std::size_t>(c)]; }
  /// No conflict: the part can take the image.
  bool Good() const { return Count(BlockClass::kConflict) == 0; }
  /// Some block already holds data of the image (done or completable).
  bool Started() const { return Count(BlockClass::kDone) + Count(BlockClass::kCompletable) > 0; }
  /// Whether the block at `address` must be programmed to finish the image.
  bool NeedsProgramming(std::uint32_t address) const;
};

/// Classifies every 256-byte block of `start`..`end` (whole blocks) of `image` against
/// `device`.
BurnPlan MakeBurnPlan(const FlashImage& image, const FlashImage& device, std::uint32_t start,
                      std::uint32_t end);

/// The class's name as the command line's JSON gives it: "skip", "write", ...
const char* BlockClassName(BlockClass c);
/// The class's character in a block map: '.', '+', '=', '~', 'X'.
char BlockClassMark(BlockClass c);

}  // namespace otp
