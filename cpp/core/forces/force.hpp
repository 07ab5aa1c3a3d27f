// The force seam: a force gives the acceleration a(t, r, v) of a satellite and its partials da/dr and da/dv
// (for the state transition matrix), and says whether it depends on the position only (then da/dv is zero and
// the matrix skips that block). A model (model.hpp) is a sum of forces, integrated by DOP853.
//
// Adding a force: one file `cpp/core/forces/force_<name>.cpp` that defines the class and its factory
// `make_force_<name>`, and one line `X(<name>)` in the list of registry.cpp. The bindings build forces by name
// through `make_force`, so they need no change.
//
// Units: km, km/s, s; t is seconds from the start of the propagation.
#pragma once

#include <cmath>
#include <cstddef>
#include <memory>

namespace vextal::numerics {

class Force {
public:
    virtual ~Force() = default;
    // True when the acceleration depends on the position only (da/dv = 0).
    virtual bool position_only() const noexcept { return true; }
    // The gravitational parameter when the force includes the central attraction mu r / r^3 (a gravity
    // field), else 0: a model holds at most one such force, and its mu scales the step control.
    virtual double central_mu() const noexcept { return 0.0; }
    // a (3 values, written, not added).
    virtual void acceleration(double t, const double* r, const double* v, double* a) const noexcept = 0;
    // a, and the partials da/dr (3 x 3, row-major: d a_i / d r_j) and, unless position_only(), da/dv.
    virtual void partials(double t, const double* r, const double* v, double* a, double* da_dr,
                          double* da_dv) const noexcept = 0;
};

// What a force is built from: its parameters in the order its file documents, and for a field that acts
// about a pole, the rotation from the inertial frame to the frame whose z axis is that pole (9 values,
// row-major, r_pole = R r), or null for the inertial z axis.
struct ForceArgs {
    const double* values;
    std::size_t count;
    const double* pole;
};

// The force registered under `name`, or null with `error` set to a message (unknown name, wrong parameter
// count or values, no memory).
std::unique_ptr<Force> make_force(const char* name, const ForceArgs& args, const char*& error) noexcept;

// The registered names, null-terminated.
const char* const* force_names() noexcept;

// The rotation of a field about the pole of date: vectors into the pole frame and accelerations and their
// gradients back. Without a pole it is not applied at all, so the arithmetic is that of the inertial frame.
class PoleFrame {
public:
    explicit PoleFrame(const double* pole) noexcept : active_(pole != nullptr) {
        if (pole)
            for (int i = 0; i < 9; ++i) m_[i] = pole[i];
    }
    bool active() const noexcept { return active_; }
    void to_pole(const double* r, double* out) const noexcept {
        for (int i = 0; i < 3; ++i) out[i] = m_[3 * i] * r[0] + m_[3 * i + 1] * r[1] + m_[3 * i + 2] * r[2];
    }
    void from_pole(const double* a, double* out) const noexcept {
        for (int i = 0; i < 3; ++i) out[i] = m_[i] * a[0] + m_[3 + i] * a[1] + m_[6 + i] * a[2];
    }
    // g (3 x 3 in the pole frame) -> R^T g R.
    void gradient_from_pole(const double* g, double* out) const noexcept {
        double t[9];  // g R
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                t[3 * i + j] = g[3 * i] * m_[j] + g[3 * i + 1] * m_[3 + j] + g[3 * i + 2] * m_[6 + j];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                out[3 * i + j] = m_[i] * t[j] + m_[3 + i] * t[3 + j] + m_[6 + i] * t[6 + j];
    }

private:
    bool active_;
    double m_[9] = {};
};

// A gravity field with the central attraction, acting about a pole: `Field` gives mu, acceleration(r, a)
// and gradient(r, a, g) in its own frame (z along the pole). Without a pole no rotation is applied at all, so
// the arithmetic is that of the inertial frame.
template <class Field>
class FieldForce final : public Force {
public:
    FieldForce(const Field& field, const double* pole) noexcept : field_(field), pole_(pole) {}
    double central_mu() const noexcept override { return field_.mu; }
    void acceleration(double, const double* r, const double*, double* a) const noexcept override {
        if (!pole_.active()) return field_.acceleration(r, a);
        double rp[3], ap[3];
        pole_.to_pole(r, rp);
        field_.acceleration(rp, ap);
        pole_.from_pole(ap, a);
    }
    void partials(double, const double* r, const double*, double* a, double* da_dr, double*) const noexcept override {
        if (!pole_.active()) return field_.gradient(r, a, da_dr);
        double rp[3], ap[3], gp[9];
        pole_.to_pole(r, rp);
        field_.gradient(rp, ap, gp);
        pole_.from_pole(ap, a);
        pole_.gradient_from_pole(gp, da_dr);
    }

private:
    Field field_;
    PoleFrame pole_;
};

// A positive finite number.
inline bool positive_finite(double x) noexcept { return x > 0 && std::isfinite(x); }

// No pole, or one of finite values whose rows are orthonormal to 1e-9 (a rotation).
inline bool valid_pole(const double* pole) noexcept {
    if (!pole) return true;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const double d = pole[3 * i] * pole[3 * j] + pole[3 * i + 1] * pole[3 * j + 1] + pole[3 * i + 2] * pole[3 * j + 2];
            if (!(std::fabs(d - (i == j ? 1.0 : 0.0)) <= 1e-9)) return false;
        }
    return true;
}

}  // namespace vextal::numerics
