#include "ops/Plan.h"

#include <algorithm>

namespace otp {

namespace {
constexpr std::uint32_t kBlock = 256;
}

bool BurnPlan::NeedsProgramming(std::uint32_t address) const {
  if (address < start) return false;
  const std::size_t index = (address - start) / kBlock;
  if (index >= blocks.size()) return false;
  return blocks[index] == BlockClass::kWrite || blocks[index] == BlockClass::kCompletable;
}

BurnPlan MakeBurnPlan(const FlashImage& image, const FlashImage& device, std::uint32_t start,
                      std::uint32_t end) {
  BurnPlan plan;
  plan.start = start;
  for (std::uint32_t block = start; block + kBlock - 1 <= end; block += kBlock) {
    const auto* wanted = &image[block];
    const auto* held = &device[block];
    const auto blank = [](const std::uint8_t* bytes) {
      return std::all_of(bytes, bytes + kBlock, [](std::uint8_t b) { return b == 0xFF; });
    };
    BlockClass c = BlockClass::kCompletable;
    if (blank(wanted)) {
      c = BlockClass::kSkip;
    } else if (blank(held)) {
      c = BlockClass::kWrite;
    } else if (std::equal(wanted, wanted + kBlock, held)) {
      c = BlockClass::kDone;
    } else {
      for (std::uint32_t i = 0; i < kBlock; ++i) {
        if ((held[i] & wanted[i]) == wanted[i]) continue;
        c = BlockClass::kConflict;
        ++plan.conflictBytes;
        if (plan.conflicts.size() < BurnPlan::kListedConflicts) {
          plan.conflicts.push_back({block + i, held[i], wanted[i]});
        }
      }
    }
    plan.blocks.push_back(c);
    ++plan.counts[static_cast<std::size_t>(c)];
  }
  return plan;
}

const char* BlockClassName(BlockClass c) {
  static constexpr const char* kNames[] = {"skip", "write", "done", "completable", "conflict"};
  return kNames[static_cast<std::size_t>(c)];
}

char BlockClassMark(BlockClass c) {
  static constexpr char kMarks[] = {'.', '+', '=', '~', 'X'};
  return kMarks[static_cast<std::size_t>(c)];
}

}  // namespace otp
