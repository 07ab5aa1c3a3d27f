// A force model (a sum of forces, force.hpp) and motion under it: propagation with the state transition
// matrix, sampling of one orbit at many epochs by the dense output, all by DOP853 (dop853.hpp) on the
// time-dependent system d(r, v)/dt = (v, a(t, r, v)).
#pragma once

#include "core/forces/force.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vextal::numerics {

enum class PropagationStatus : uint8_t {
    ok,
    bad_input,       // non-finite state or time, zero position
    too_many_steps,  // the step budget (max_propagation_steps) ran out: a span of years in low orbit
    singular,        // the step shrank to nothing: the orbit runs into the centre
    out_of_memory,
    cancelled,       // the caller's Cancel asked to stop
};

const char* propagation_message(PropagationStatus status) noexcept;

// The relative tolerance of the step control: each step's error estimate is kept below this times the size
// of the position (for the position) and of the velocity (for the velocity). Chosen by measurement so that a
// day in LEO and in GEO stays within 1 mm of a far tighter integration.
constexpr double default_rtol = 1e-13;
constexpr long max_propagation_steps = 5'000'000;  // about 3 s of work, 13 years of low orbit
// How often (in steps) a long integration asks its Cancel: a few milliseconds of work.
constexpr long cancel_interval = 2000;

// Asked every cancel_interval steps, on the integrating thread; true stops the integration.
class Cancel {
public:
    virtual bool requested() noexcept = 0;

protected:
    ~Cancel() = default;
};

class ForceModel {
public:
    // Adds a force. False when it is null or a second central field (two central attractions).
    bool add(std::unique_ptr<Force> force) noexcept;
    bool empty() const noexcept { return forces_.empty(); }
    bool position_only() const noexcept { return position_only_; }
    // The central field's mu (the step control's scale of speeds), or 0 without one.
    double mu() const noexcept { return mu_; }
    void acceleration(double t, const double* r, const double* v, double* a) const noexcept;
    // a, da/dr and (when !position_only()) da/dv.
    void partials(double t, const double* r, const double* v, double* a, double* da_dr, double* da_dv) const noexcept;

private:
    std::vector<std::unique_ptr<Force>> forces_;
    double mu_ = 0.0;
    bool position_only_ = true;
};

// Moves (r0, v0) by dt seconds (either sign). With `phi` (36 values, row-major) the state transition matrix
// d(r, v) / d(r0, v0) is integrated alongside; it does not steer the steps, so r and v are the same bits
// with or without it. `steps` (optional) receives the number of step attempts.
PropagationStatus propagate(const ForceModel& model, const double r0[3], const double v0[3], double dt, double r[3],
                            double v[3], double* phi = nullptr, double rtol = default_rtol, long* steps = nullptr,
                            Cancel* cancel = nullptr) noexcept;

// The states of one orbit at n epochs given as offsets (s, any order, either side of 0) from the state
// (r0, v0), from one integration each way read by the dense output. r and v receive n x 3 values. The state
// at the farthest offset on each side is that of propagate to it, bit for bit.
PropagationStatus sample(const ForceModel& model, const double r0[3], const double v0[3], const double* offsets,
                         std::size_t n, double* r, double* v, double rtol = default_rtol,
                         Cancel* cancel = nullptr) noexcept;

// `steps` steps of equal size over dt with no step control (for measuring the order of the method). With
// `fraction` in (0, 1), the result is instead the dense output at that fraction of the last step.
void fixed_steps(const ForceModel& model, const double r0[3], const double v0[3], double dt, long steps,
                 double fraction, double r[3], double v[3]) noexcept;

}  // namespace vextal::numerics
