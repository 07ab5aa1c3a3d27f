// The constants and small mappings every door shares: written here once.
#pragma once

namespace vextal::numerics {

// pi to double precision, the one written in the core and the bindings.
inline constexpr double pi = 3.14159265358979323846264338327950288;
inline constexpr double two_pi = 2.0 * pi;

// sqrt(y) correctly rounded, for 0.25 <= y <= 1, as a constant expression (std::sqrt is not one in C++17):
// Newton's iteration, then of the candidate and its two neighbours (spacing 2^-53 in [0.5, 1)) the one whose
// square is nearest y, the square's error taken exactly by Veltkamp splitting.
inline constexpr double unit_sqrt(double y) noexcept {
    double x = 1.0;
    for (int k = 0; k < 8; ++k) x = 0.5 * (x + y / x);
    constexpr double ulp = 1.0 / 9007199254740992.0;  // 2^-53
    double best = x, best_error = -1.0;
    const double candidates[3] = {x - ulp, x, x + ulp};
    for (double c : candidates) {
        const double split = 134217729.0 * c, hi = split - (split - c), lo = c - hi;  // c = hi + lo, 26 bits each
        const double square = c * c;
        const double tail = ((hi * hi - square) + 2.0 * hi * lo) + lo * lo;  // c * c - square, exactly
        double error = (square - y) + tail;
        error = error < 0 ? -error : error;
        if (best_error < 0 || error < best_error) best = c, best_error = error;
    }
    return best;
}

// An ellipsoid of revolution by its equatorial radius a (km) and first eccentricity squared e^2; everything
// else derives from those two.
struct Ellipsoid {
    double a;
    double e2;

    constexpr double polar_ratio() const noexcept { return unit_sqrt(1.0 - e2); }  // b / a = sqrt(1 - e^2)
    constexpr double polar_radius() const noexcept { return a * polar_ratio(); }
};

// The package's ellipsoid.
inline constexpr Ellipsoid earth_ellipsoid{6378.1374, 0.0066943799901414};

// The Earth's gravitational parameter of the planner and of every default (km^3/s^2).
inline constexpr double mu_earth = 398600.5;
// Other central bodies the grids name (km^3/s^2): the Sun (IAU 2015 nominal), the Moon and Mars (JPL DE440).
inline constexpr double mu_sun = 132712440041.279;
inline constexpr double mu_moon = 4902.800118;
inline constexpr double mu_mars = 42828.375816;

// The Earth's oblateness term (dimensionless), with the ellipsoid's equatorial radius as its reference radius.
inline constexpr double j2_earth = 1.08262668e-3;

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
