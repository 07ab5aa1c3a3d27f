#include "core/trajectory.hpp"

#include <algorithm>

namespace vextal::numerics {

const char* trajectory_status_message(TrajectoryStatus status) noexcept {
    switch (status) {
        case TrajectoryStatus::ok: return "ok";
        case TrajectoryStatus::outside_span: return "the epoch lies outside the trajectory's table";
        case TrajectoryStatus::propagation_failed: return "the state could not be propagated";
    }
    return "unknown trajectory status";
}

namespace {

Vec3 row(const double* rows, std::ptrdiff_t k) { return {rows[3 * k], rows[3 * k + 1], rows[3 * k + 2]}; }

}  // namespace

TrajectoryStatus interpolate(const Table& table, double t, Vec3& r, Vec3& v) noexcept {
    const double* first = table.epochs;
    const double* last = table.epochs + table.n;
    if (!(t >= first[0] && t <= last[-1])) return TrajectoryStatus::outside_span;
    // The interval [k, k + 1] with epochs[k] <= t < epochs[k + 1] (the last interval for t on the last sample).
    std::ptrdiff_t k = std::upper_bound(first, last, t) - first - 1;
    k = std::min(k, table.n - 2);
    const double t0 = first[k], h = first[k + 1] - t0;
    const double s = (t - t0) / h, u = 1.0 - s;
    // Basis functions in factored forms that are exact 0 or 1 at s = 0 and s = 1, so that the samples come
    // back bit for bit.
    const double h00 = (1.0 + 2.0 * s) * u * u, h10 = s * u * u * h;
    const double h01 = s * s * (3.0 - 2.0 * s), h11 = s * s * (s - 1.0) * h;
    const double d00 = 6.0 * s * (s - 1.0) / h, d10 = u * (1.0 - 3.0 * s);
    const double d01 = 6.0 * s * u / h, d11 = s * (3.0 * s - 2.0);
    const Vec3 p0 = row(table.positions, k), p1 = row(table.positions, k + 1);
    const Vec3 v0 = row(table.velocities, k), v1 = row(table.velocities, k + 1);
    r = h00 * p0 + h10 * v0 + h01 * p1 + h11 * v1;
    v = d00 * p0 + d10 * v0 + d01 * p1 + d11 * v1;
    return TrajectoryStatus::ok;
}

KeplerStatus move(const TwoBody& body, double step, Vec3& r, Vec3& v) noexcept {
    const double r0[3] = {body.r0.x, body.r0.y, body.r0.z};
    const double v0[3] = {body.v0.x, body.v0.y, body.v0.z};
    double r1[3], v1[3];
    const KeplerStatus status = propagate(r0, v0, step, body.mu, r1, v1);
    if (status == KeplerStatus::ok) {
        r = load(r1);
        v = load(v1);
    }
    return status;
}

TrajectoryStatus Trajectory::state(double epoch, double offset, Vec3& r, Vec3& v) const noexcept {
    if (kind_ == Kind::table) return interpolate(table_, epoch + offset, r, v);
    const double step = (epoch - two_body_.t0) + offset;
    return move(two_body_, step, r, v) == KeplerStatus::ok ? TrajectoryStatus::ok
                                                           : TrajectoryStatus::propagation_failed;
}

}  // namespace vextal::numerics
