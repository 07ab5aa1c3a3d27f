// Classical orbital elements <-> Cartesian state, on plain doubles (angles in radians).
//
// Elements: semi-major axis a (negative for a hyperbola), eccentricity e, inclination i, right ascension of
// the ascending node raan, argument of periapsis argp, true anomaly nu (mean anomaly m on the way back).
// Where an angle is undefined the state fixes a convention instead of a NaN:
//   circular (e < kCircular):           argp = 0, nu = argument of latitude (from the ascending node);
//   equatorial (sin i < kEquatorial):   raan = 0, argp = longitude of periapsis (from the x axis);
//   both:                               raan = argp = 0, nu = true longitude.
// Angles of the ellipse are in [0, 2 pi); a hyperbola's nu and m are signed (negative before periapsis).
// Parabolic (|e - 1| < kParabolic) and degenerate input (zero angular momentum, non-finite values, mu <= 0)
// are refused with a status.
#pragma once

namespace vextal::numerics {

// The conventions apply only where e (sin i) is at the level of the rounding of a state's arithmetic (about
// 1e-15 for an exactly circular or equatorial state): above that the fixed angle would move the orbit by up
// to 2 a e (a sin i), mm at GEO for 1e-10, where the true angles rebuild the state to the rounding.
constexpr double kCircular = 1e-14;
constexpr double kEquatorial = 1e-14;
constexpr double kParabolic = 1e-9;

enum class ElementsStatus {
    ok,
    not_finite,          // an input is NaN or infinite
    bad_mu,              // mu <= 0
    negative_e,          // e < 0
    parabolic,           // |e - 1| too small: a parabola has no semi-major axis
    sign_mismatch,       // a > 0 with e > 1, or a < 0 with e < 1
    beyond_asymptote,    // a hyperbola's true anomaly at or beyond its asymptote (1 + e cos nu <= 0)
    zero_vector,         // |r| == 0 or |v| == 0
    rectilinear,         // r and v parallel: no orbital plane
    no_convergence,      // Kepler's equation did not converge (not expected)
};

const char* elements_status_message(ElementsStatus status) noexcept;

struct Elements {
    double a, e, i, raan, argp, nu, m;
};

// True anomaly of a mean anomaly: Kepler's equation M = E - e sin E (e < 1) or M = e sinh H - H (e > 1).
ElementsStatus true_from_mean(double m, double e, double& nu) noexcept;

// Mean anomaly of a true anomaly (e < 1 or e > 1).
double mean_from_true(double nu, double e) noexcept;

// Position (km) and velocity (km/s) of the elements, with the anomaly true (mean_anomaly false) or mean.
ElementsStatus elements_to_state(double a, double e, double i, double raan, double argp, double anomaly,
                                 bool mean_anomaly, double mu, double r[3], double v[3]) noexcept;

// Elements of a state, with the conventions above.
ElementsStatus state_to_elements(const double r[3], const double v[3], double mu, Elements& out) noexcept;

}  // namespace vextal::numerics
