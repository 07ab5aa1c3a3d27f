// The Earth ellipsoid and geodetic coordinates, on plain doubles.
//
// The ellipsoid is given by its equatorial radius a and first eccentricity squared e^2 alone; everything else
// (polar radius, radii of curvature) is derived from those two where it is used. Latitudes and longitudes are
// in degrees at every interface, lengths in km. Nothing here checks ranges or divisions: non-finite inputs
// and degenerate points give IEEE infinities and NaNs.
#pragma once
#include "core/constants.hpp"
#include "core/vec3.hpp"

#include <cmath>

namespace vextal::numerics {

inline constexpr double EARTH_EQUATORIAL_RADIUS = earth_ellipsoid.a;  // km
inline constexpr double EARTH_ECCENTRICITY_SQ = earth_ellipsoid.e2;
inline constexpr double DEG_TO_RAD = 0.017453292519943295;
inline constexpr double RAD_TO_DEG = 57.29577951308232;

inline double radians(double degrees) noexcept { return degrees * DEG_TO_RAD; }
inline double degrees(double radians) noexcept { return radians * RAD_TO_DEG; }

// Radius of curvature in the prime vertical, N = a / sqrt(1 - e^2 sin^2(lat)), from sin(lat).
inline double earth_radius_n(double sin_latitude) noexcept {
    return EARTH_EQUATORIAL_RADIUS / std::sqrt(1.0 - EARTH_ECCENTRICITY_SQ * sin_latitude * sin_latitude);
}

// Distance from the centre to the ellipsoid surface at a geodetic latitude (degrees): a at the equator,
// a sqrt(1 - e^2) at the poles.
inline double earth_radius(double latitude) noexcept {
    double phi = radians(latitude);
    double s = std::sin(phi);
    double n = earth_radius_n(s);
    double u = n * (1.0 - EARTH_ECCENTRICITY_SQ) * s;  // distance from the equatorial plane
    double w = n * std::cos(phi);                        // distance from the polar axis
    return std::sqrt(u * u + w * w);
}

// Geodetic latitude (degrees) of the point with geocentric latitude `latitude_gc` (degrees) at `height` km
// above the ellipsoid: the phi with tan(psi) = (1 - e^2 N(phi) / (N(phi) + height)) tan(phi). Two passes of
// phi = atan(tan(psi) / (1 - e^2 N / (N + height))) from phi = psi, N at the current estimate, without a
// convergence test: a start value, not a solution (each pass shrinks the error by about e^2). Exactly 0 at 0
// and +-90 at +-90; farther from the equator than latitude_gc when height >= 0.
inline double geocentric_to_geodetic(double latitude_gc, double height) noexcept {
    double tan_psi = std::tan(radians(latitude_gc));
    double phi = latitude_gc;
    for (int pass = 0; pass < 2; ++pass) {
        double n = earth_radius_n(std::sin(radians(phi)));
        phi = degrees(std::atan(tan_psi / (1.0 - EARTH_ECCENTRICITY_SQ * n / (n + height))));
    }
    return phi;
}

struct Geodetic {
    double latitude;   // degrees, -90 to 90
    double longitude;  // degrees, [0, 360)
    double height;     // km above the ellipsoid
};

// Longitude in [0, 360) of the Earth-fixed point (x, y); 0 on (or within 1e-10 km of) the polar axis.
inline double longitude_of(double x, double y) noexcept {
    if (!(std::fabs(x) + std::fabs(y) >= 1e-10)) return 0.0;
    double lon = degrees(std::atan2(y, x));
    if (lon < 0.0) {
        lon += 360.0;
        // A longitude a hair below 0 rounds up to 360 itself, which is outside the range: it is 0.
        if (lon == 360.0) lon = 0.0;
    }
    return lon;
}

// Geodetic coordinates of the Earth-fixed point (x, y, z), whose distance from the centre is r (the caller
// supplies it, as the vector's own length operation gives it).
//
// On the polar axis (p = hypot(x, y) < 1e-10 km): latitude +-90 (+90 at the centre), height r minus the
// polar radius. Elsewhere the fixed-point iteration phi <- atan((N e^2 sin(phi) + z) / p), started from
// geocentric_to_geodetic at zero height of the geocentric latitude asin(z / r). At most five passes, stopping
// once a pass moves phi by less than 1e-12 degree (a NaN step never stops early). Each pass takes s = sin of
// the estimate it started from, and N is recomputed from that same s after the update, for the next pass and
// for the height. The estimate is carried as the unit direction (cos(phi), sin(phi)) instead of an angle, so
// a pass takes square roots and divisions but no sine or arc tangent (a quarter of the time); only the final
// latitude takes an arc tangent. The values are those of the same passes on angles, to rounding.
// Height from the final direction and N: h = p / cos(phi) - N up to 45 degrees, and h = z / sin(phi) -
// N (1 - e^2) beyond, where cos(phi) is tiny and carries all of phi's rounding (the first form would be off by
// metres to kilometres within 1e-5 to 1e-9 degree of a pole).
inline Geodetic efg_to_llh(double x, double y, double z, double r) noexcept {
    const double a = EARTH_EQUATORIAL_RADIUS, e2 = EARTH_ECCENTRICITY_SQ;
    const double tolerance = 1e-12 * DEG_TO_RAD;  // for sin(step): this small, sine and angle agree to 28 digits
    double p = std::sqrt(x * x + y * y);
    if (p < 1e-10) {
        double latitude = z < 0.0 ? -90.0 : 90.0;
        return {latitude, longitude_of(x, y), r - earth_radius(latitude)};
    }
    // Start: at zero height each pass of geocentric_to_geodetic sets tan(phi) = tan(psi) / (1 - e^2) whatever
    // N is, so its two passes come to the direction (cos(psi) (1 - e^2), sin(psi)), psi = asin(z / r), of
    // squared length l2; (c, s) is its unit direction. With q = l2 - e^2 sin^2(psi) = l2 (1 - e^2 s^2), the
    // first pass's N e^2 s is a e^2 sin(psi) / sqrt(q): one square root before the first pass, not three.
    double inverse_p = 1.0 / p;  // ready before the last pass ends, which the latitude's division would wait for
    double sin_psi = z / r;
    double cos2_psi = (1.0 - sin_psi) * (1.0 + sin_psi);
    double l2 = cos2_psi * ((1.0 - e2) * (1.0 - e2)) + sin_psi * sin_psi;
    double root_l2 = std::sqrt(l2);
    double c = std::sqrt(cos2_psi) * (1.0 - e2) / root_l2, s = sin_psi / root_l2;
    double w = a * e2 * sin_psi / std::sqrt(l2 - e2 * sin_psi * sin_psi) + z;  // N e^2 s + z of the pass to come
    double n, rho;  // N for the next pass; the length of (p, w), which divided by it is the new estimate
    for (int pass = 1;; ++pass) {
        rho = std::sqrt(p * p + w * w);
        double c_next = p / rho, s_next = w / rho;
        // sin(phi_next - phi); the cosine must be positive too, or a step of nearly 180 degrees would pass
        double sin_step = s_next * c - c_next * s;
        bool small = std::fabs(sin_step) < tolerance && c_next * c + s_next * s > 0.0;
        n = earth_radius_n(s);
        c = c_next;
        s = s_next;
        if (small || pass == 5) break;
        w = n * e2 * s + z;
    }
    double latitude = degrees(std::atan(w * inverse_p));
    double height = std::fabs(latitude) > 45.0 ? z * (rho / w) - n * (1.0 - e2) : rho - n;
    // The longitude last: its arc tangent then overlaps the latitude's.
    return {latitude, longitude_of(x, y), height};
}

// Earth-fixed position (km) of geodetic latitude, longitude (degrees, any value) and height (km).
inline Vec3 llh_to_efg(double latitude, double longitude, double height) noexcept {
    double phi = radians(latitude);
    double s = std::sin(phi);
    double n = earth_radius_n(s);
    double lambda = radians(longitude);
    double k = std::cos(phi) * (height + n);
    return {std::cos(lambda) * k, std::sin(lambda) * k, ((1.0 - EARTH_ECCENTRICITY_SQ) * n + height) * s};
}

}  // namespace vextal::numerics
