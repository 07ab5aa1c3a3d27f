// The trajectory seam: "the state of this object at this epoch", whatever moves the object.
//
// Two kinds: a two-body state (exact Kepler in universal variables) and a sampled table (epochs, positions,
// velocities) read by piecewise cubic Hermite interpolation from the position and velocity at the two
// bracketing samples; a table refuses epochs outside its span rather than extrapolate. A J2 model, SGP4 or an
// ephemeris file sample themselves into a table, so the grid and the array functions need no third kind.
//
// Epochs are seconds on the caller's time scale; the state asked for is the one at `epoch + offset`. A two-body
// state forms its step as (epoch - t0) + offset, so that an offset from its own epoch (epoch == t0) is taken
// exactly as given: the grid's chaser moves by the departure offset itself, not by (t0 + d) - t0.
#pragma once
#include "core/constants.hpp"
#include "core/kepler.hpp"
#include "core/vec3.hpp"

#include <cstddef>

namespace vextal::numerics {

enum class TrajectoryStatus {
    ok,
    outside_span,      // the epoch lies outside a table's samples
    propagation_failed,  // the two-body step failed (see KeplerStatus)
};

const char* trajectory_status_message(TrajectoryStatus status) noexcept;

struct TwoBody {
    double t0;
    Vec3 r0, v0;
    double mu = mu_earth;
};

// The two-body kind's motion: `body` moved on by `step` seconds (exact Kepler). The array functions move
// their states with it, the grid through Trajectory::state.
KeplerStatus move(const TwoBody& body, double step, Vec3& r, Vec3& v) noexcept;

// Samples at strictly increasing epochs; positions and velocities are n rows of 3 doubles. The table does not
// own the memory.
struct Table {
    const double* epochs;
    const double* positions;
    const double* velocities;
    std::ptrdiff_t n;  // >= 2
};

// Piecewise cubic Hermite interpolation of `table` at `t`. Exact at the samples (the interval that starts at a
// sample is used, or the last one for the last sample).
TrajectoryStatus interpolate(const Table& table, double t, Vec3& r, Vec3& v) noexcept;

class Trajectory {
public:
    static Trajectory two_body(const TwoBody& state) noexcept {
        Trajectory t;
        t.kind_ = Kind::two_body;
        t.two_body_ = state;
        return t;
    }
    static Trajectory table(const Table& samples) noexcept {
        Trajectory t;
        t.kind_ = Kind::table;
        t.table_ = samples;
        return t;
    }

    // The object's reference epoch: the two-body state's time, a table's first sample.
    double epoch() const noexcept { return kind_ == Kind::two_body ? two_body_.t0 : table_.epochs[0]; }

    // The state at epoch + offset.
    TrajectoryStatus state(double epoch, double offset, Vec3& r, Vec3& v) const noexcept;

private:
    enum class Kind { two_body, table };
    Kind kind_ = Kind::two_body;
    TwoBody two_body_{};
    Table table_{};
};

}  // namespace vextal::numerics
