// The constants and small mappings every door shares: written here once.
#pragma once

namespace vextal::numerics {

// The Earth's gravitational parameter of the planner and of every default (km^3/s^2).
inline constexpr double mu_earth = 398600.5;

// Lambert solution slots: slot 0 is the zero-revolution arc, then for N = 1, 2, ... the left branch (slot
// 2N - 1) and the right branch (slot 2N). A limit of max_revs revolutions gives 1 + 2 max_revs slots.
inline constexpr int lambert_slots(int max_revs) noexcept { return 1 + 2 * max_revs; }
inline constexpr int slot_revolutions(int slot) noexcept { return (slot + 1) / 2; }
inline constexpr int slot_branch(int slot) noexcept { return slot == 0 ? 0 : (slot % 2 ? -1 : 1); }
// The slot of (revolutions, branch); -1 for a pair that names no slot.
inline constexpr int slot_of(int revolutions, int branch) noexcept {
    if (revolutions == 0) return branch == 0 ? 0 : -1;
    if (revolutions < 0 || (branch != -1 && branch != 1)) return -1;
    return 2 * revolutions + (branch < 0 ? -1 : 0);
}

static_assert(slot_of(slot_revolutions(0), slot_branch(0)) == 0 && slot_of(2, -1) == 3 && slot_of(2, 1) == 4 &&
              slot_revolutions(4) == 2 && slot_branch(3) == -1 && slot_branch(4) == 1 && lambert_slots(2) == 5,
              "slot mapping");

}  // namespace vextal::numerics
