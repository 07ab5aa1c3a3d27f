// The Lambert iteration written once over a lane type (internal header; lambert_batch*.cpp instantiate it
// for two lanes on the baseline target and four with AVX2). Each lane runs one arc (ArcJob) through exactly
// the operations of the scalar solver's Householder iteration (lambert.cpp: T(x) and its derivatives, the
// bracket, the step, the stopping tests), in the same order, with masks in place of branches; the arc
// tangents and inverse hyperbolic sines are the C library's, lane by lane, and the lanes near the parabola
// (Battin's series) take the scalar solver's own derivatives. So a lane's answer is the scalar solver's, bit
// for bit, whatever the other lanes hold. A lane whose arc has finished takes the next arc at once, so that
// arcs of different lengths keep the lanes busy, and the last arcs run in partly empty lane groups: no scalar
// tail.
#pragma once

#include "core/detail.hpp"
#include "core/lambert_batch_internal.hpp"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

namespace vextal::numerics::lambert_lanes {

// The lane maths beyond + - * /: V the GCC vector type of W doubles, B its mask type, S gives sqrt.
template <class V, class B, class S>
struct LaneMath {
    static V sqrt(V v) { return S::sqrt(v); }
    static V abs(V v) { return reinterpret_cast<V>(reinterpret_cast<B>(v) & ~sign_bit()); }
    static V select(B mask, V a, V b) {
        return reinterpret_cast<V>((mask & reinterpret_cast<B>(a)) | (~mask & reinterpret_cast<B>(b)));
    }
    static B finite(V v) { return abs(v) <= DBL_MAX; }
    // std::fmax(1.0, v) for v >= 0 (or NaN, which gives 1).
    static V max1(V v) { return select(v > 1.0, v, V{} + 1.0); }
    static V fma(V a, V b, V c) { return S::fma(a, b, c); }
    static bool any(B mask) {
        B folded = mask;
        for (unsigned k = 1; k < sizeof(B) / sizeof(long long); ++k) folded[0] |= mask[k];
        return folded[0] != 0;
    }

private:
    static B sign_bit() { return B{} + static_cast<long long>(0x8000000000000000ULL); }
};

// Named from the root: in the AVX2 unit this header sits inside a namespace of its own.
using Job = ::vextal::numerics::lambert_lanes::ArcJob;
using Solved = ::vextal::numerics::lambert_lanes::ArcSolved;
using Derivatives = ::vextal::numerics::TofDerivatives;
using Setup = ::vextal::numerics::LambertSetup;

inline constexpr double kPi = 3.14159265358979323846264338327950288;
inline constexpr double kEps = std::numeric_limits<double>::epsilon();
inline constexpr double kInf = std::numeric_limits<double>::infinity();  // a constant: no call in the unit
inline constexpr int kHouseholderLimit = 50;
inline constexpr double kBattinRegion = 0.02;

// T(x) and its first three derivatives on every lane: the scalar solver's derivatives_impl() and tof_impl()
// with both sides of each branch computed and the lane's side selected.
template <class M, int W, class V, class B>
inline void derivatives_lanes(V x, V N, V lam, V oml2, V& T, V& dT, V& ddT, V& dddT) {
    const V y = M::sqrt(oml2 + lam * lam * x * x);
    const V lx = lam * x;
    const V eta = M::select(lx <= 0.0, y - lx, oml2 / (y + lx));
    const V u = (1.0 - x) * (1.0 + x);
    const B ell = u > 0.0, hyp = u < 0.0;
    const V r = M::sqrt(M::abs(u));  // sqrt(u) on ellipses, sqrt(-u) on hyperbolas
    const V arg = r * eta, cos_psi = x * y + lam * u;
    // The C library's functions lane by lane, from and into plain arrays (no vector lives across the calls).
    double psi_k[W], arg_k[W], cos_k[W];
    for (int k = 0; k < W; ++k) arg_k[k] = arg[k], cos_k[k] = cos_psi[k];
    for (int k = 0; k < W; ++k)
        psi_k[k] = ell[k] ? std::atan2(arg_k[k], cos_k[k]) : hyp[k] ? std::asinh(arg_k[k]) : 0.0;
    V psi;
    for (int k = 0; k < W; ++k) psi[k] = psi_k[k];
    const V c3 = detail::stumpff_c3_series(M::select(ell, psi * psi, -psi * psi));
    const B small = psi < 1e-4;
    const V ratio_e = M::select(small, eta * (1.0 + psi * psi * (1.0 / 6 + 7.0 * psi * psi / 360)), psi / r);
    const V ratio_h = M::select(small, eta * (1.0 - psi * psi * (1.0 / 6 - 7.0 * psi * psi / 360)), psi / r);
    const V ratio = M::select(ell, ratio_e, ratio_h);
    const V series = c3 * (ratio * ratio * ratio);
    const V far_e = (psi - r * eta) / (u * r);
    const V far_h = (r * eta - psi) / (-u * r);
    V A = M::select(psi * psi < detail::stumpff_series_limit, series, M::select(ell, far_e, far_h));
    A = M::select(ell & (N > 0.0), A + N * kPi / (u * r), A);
    A = M::select(~(ell | hyp), eta * eta * eta / 6.0, A);
    const V lam1 = 1.0 + lam;
    T = A + M::select(x >= 0.0, lam1 * oml2 / (x + y), lam1 * (y - x) / u);
    T = M::select(~ell & (N > 0.0), V{} + kInf, T);

    const V l2 = lam * lam, l3 = l2 * lam;
    const V y3 = y * y * y, y5 = y3 * y * y;
    dT = (3.0 * T * x - 2.0 + 2.0 * l3 * x / y) / u;
    ddT = (3.0 * T + 5.0 * x * dT + 2.0 * oml2 * l3 / y3) / u;
    dddT = (7.0 * x * ddT + 8.0 * dT - 6.0 * oml2 * l3 * l2 * x / y5) / u;

    const B battin = (N == 0.0) & (M::abs(x - 1.0) < kBattinRegion);
    if (!M::any(battin)) return;
    for (int k = 0; k < W; ++k) {
        if (!battin[k]) continue;
        const Derivatives d = ::vextal::numerics::lambert_tof_derivatives(x[k], 0, lam[k], oml2[k]);
        T[k] = d.T;
        dT[k] = d.dT;
        ddT[k] = d.ddT;
        dddT[k] = d.dddT;
    }
}

// Solves jobs[0, n) into out[0, n).
template <class M, int W, class V, class B>
void solve_arcs(const Job* jobs, Solved* out, std::ptrdiff_t n) {
    // Lane state: the arc's data, the point, the bracket and the best point so far.
    V lam{}, oml2{}, Tstar{}, N{}, branch{}, x{}, lo{}, hi{}, best_x{}, best_res{}, best_slope{}, iterations{};
    B active{};
    std::ptrdiff_t job[W];
    std::ptrdiff_t next_job = 0;
    int live = 0;
    auto load = [&](int k) {
        if (next_job == n) {
            // An idle lane: a harmless problem (a circle's quarter arc) that nobody reads.
            job[k] = -1;
            active[k] = 0;
            lam[k] = 0.5, oml2[k] = 0.75, Tstar[k] = 1, N[k] = 0, branch[k] = 0, x[k] = 0, lo[k] = -1, hi[k] = 1;
            best_res[k] = 0;
            return;
        }
        const Job& a = jobs[next_job];
        job[k] = next_job++;
        active[k] = -1;
        ++live;
        lam[k] = a.lambda, oml2[k] = a.oml2, Tstar[k] = a.T, N[k] = a.revolutions, branch[k] = a.branch;
        x[k] = a.x0, lo[k] = a.lo, hi[k] = a.hi;
        best_x[k] = a.x0, best_res[k] = kInf, best_slope[k] = 0;
        iterations[k] = 0;
    };
    auto finish = [&](int k, double xk, bool ok) {
        out[job[k]] = {xk, static_cast<int>(iterations[k]), ok};
        --live;
        load(k);
    };
    for (int k = 0; k < W; ++k) load(k);
    while (live > 0) {
        V T, dT, ddT, dddT;
        derivatives_lanes<M, W, V, B>(x, N, lam, oml2, T, dT, ddT, dddT);
        const V res = T - Tstar;
        const B on_branch = (branch == 0.0) | ((branch < 0.0) & (dT <= 0.0)) | ((branch > 0.0) & (dT >= 0.0));
        const B better = on_branch & (M::abs(res) < M::abs(best_res));
        best_x = M::select(better, x, best_x);
        best_res = M::select(better, res, best_res);
        best_slope = M::select(better, dT, best_slope);
        const B matched = on_branch & (M::abs(res) <= kEps * Tstar);
        // Narrow the bracket: an overflow at a far end, a point off the branch, or the side of the root.
        const B finite = M::finite(res);
        const B root_above = ~((branch <= 0.0) ^ (res > 0.0));  // (branch <= 0) == (res > 0): x is below
        const B to_hi = (~finite & (x > 0.0)) | (finite & ~on_branch & (branch < 0.0)) | (finite & on_branch & ~root_above);
        hi = M::select(to_hi, x, hi);
        lo = M::select(to_hi, lo, x);
        const V d2 = dT * dT;
        const V step_to = x - res * (d2 - res * ddT / 2.0) / (dT * (d2 - res * ddT) + dddT * res * res / 6.0);
        V next = M::select(on_branch & finite, step_to, x);
        const V spacing = 4.0 * kEps * M::max1(M::abs(x));
        const B stalled = (on_branch & (M::abs(next - x) <= spacing)) | (hi - lo <= spacing);
        const B inside = (next > lo) & (next < hi);
        const V step = M::abs(next - x);
        const V q2 = ddT / dT, q3 = dddT / dT;
        const V bound = (0.25 * q2 * q2 + M::abs(q3) / 6.0) * 8.0 * step * step * step;
        const B final_step = inside & on_branch & (bound <= 0.5 * kEps * M::max1(M::abs(next))) &
                             (M::abs(res) <= 1e-3 * Tstar);
        const V outside_to = M::select(M::finite(hi), 0.5 * (lo + hi), lo + M::max1(2.0 * M::abs(lo)));
        const V stepped = next;
        x = M::select(inside, next, outside_to);
        iterations += 1.0;
        const B stop = matched | stalled | final_step | (iterations == double(kHouseholderLimit));
        if (!M::any(stop & active)) continue;
        for (int k = 0; k < W; ++k) {
            if (job[k] < 0) continue;
            if (matched[k] || stalled[k] || (!final_step[k] && iterations[k] == kHouseholderLimit)) {
                // Accept rounding in T and what the spacing of doubles near x allows.
                const double bx = best_x[k];
                finish(k, bx, std::fabs(best_res[k]) <= 64 * kEps * Tstar[k] +
                                  8 * kEps * std::fabs(best_slope[k]) * std::fmax(1.0, std::fabs(bx)));
            } else if (final_step[k]) {
                finish(k, stepped[k], true);
            }
        }
    }
}

// detail::accurate_cross() lane by lane: each component a difference of products correct to about an ulp.
template <class M, class V>
inline void cross_lanes(const V a[3], const V b[3], V out[3]) {
    auto dop = [](V p, V q, V r, V s) {
        const V w = r * s;
        const V e = M::fma(-r, s, w);
        const V f = M::fma(p, q, -w);
        return f + e;
    };
    out[0] = dop(a[1], b[2], a[2], b[1]);
    out[1] = dop(a[2], b[0], a[0], b[2]);
    out[2] = dop(a[0], b[1], a[1], b[0]);
}

template <class V>
inline V norm_lanes(const V a[3]) {
    return a[0] * a[0] + a[1] * a[1] + a[2] * a[2];
}

// lambert_setup() on W problems at once, up to the revolution count (see SetupKernel): the same operations in
// the same order, both sides of each choice computed and the lane's side selected. A short last group is
// padded with copies of its last problem.
template <class M, int W, class V, class B>
void setup_problems(const double* r1, const double* r2, const double* tof, std::ptrdiff_t n, double mu,
                    bool prograde, Setup* setups, unsigned char* clean) {
    for (std::ptrdiff_t first = 0; first < n; first += W) {
        double rows[7][W];  // x, y, z of r1 and r2, then tof: one row per lane vector
        for (int k = 0; k < W; ++k) {
            const std::ptrdiff_t i = first + k < n ? first + k : n - 1;
            for (int c = 0; c < 3; ++c) rows[c][k] = r1[3 * i + c], rows[3 + c][k] = r2[3 * i + c];
            rows[6][k] = tof[i];
        }
        V a[3], b[3], t;
        for (int c = 0; c < 3; ++c) {
            std::memcpy(&a[c], rows[c], sizeof(V));
            std::memcpy(&b[c], rows[3 + c], sizeof(V));
        }
        std::memcpy(&t, rows[6], sizeof(V));
        const V R1 = M::sqrt(norm_lanes(a)), R2 = M::sqrt(norm_lanes(b));
        const V d[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
        const V c = M::sqrt(norm_lanes(d));
        const V s = 0.5 * (R1 + R2 + c);
        V h[3];
        cross_lanes<M>(a, b, h);
        const V hn = M::sqrt(norm_lanes(h));
        B ok = M::finite(a[0]) & M::finite(a[1]) & M::finite(a[2]) & M::finite(b[0]) & M::finite(b[1]) &
               M::finite(b[2]) & M::finite(t) & (t > 0.0) & M::finite(R1) & M::finite(R2) & (R1 != 0.0) &
               (R2 != 0.0) & M::finite(s) & M::finite(hn) & ~(hn <= 1e-14 * R1 * R2) & (c != 0.0);
        V ir1[3], ir2[3];
        for (int k = 0; k < 3; ++k) {
            ir1[k] = a[k] / R1;
            ir2[k] = b[k] / R2;
            h[k] = h[k] / hn;
        }
        const V sense = V{} + (prograde ? 1.0 : -1.0);
        const B up = (h[2] > 0.0);
        const V way = M::select(M::abs(h[2]) <= 1e-12, sense, M::select(prograde ? up : ~up, V{} + 1.0, V{} - 1.0));
        for (int k = 0; k < 3; ++k) h[k] = h[k] * way;
        V it1[3], it2[3];
        cross_lanes<M>(h, ir1, it1);
        cross_lanes<M>(h, ir2, it2);
        const V sin_theta = hn / (R1 * R2);
        const V sum[3] = {ir1[0] + ir2[0], ir1[1] + ir2[1], ir1[2] + ir2[2]};
        const V dif[3] = {ir2[0] - ir1[0], ir2[1] - ir1[1], ir2[2] - ir1[2]};
        const V n_sum = M::sqrt(norm_lanes(sum)), n_dif = M::sqrt(norm_lanes(dif));
        const B by_sum = n_sum >= n_dif;
        const V ch_sum = 0.5 * n_sum, sh_dif = 0.5 * n_dif;
        const V cos_half = M::select(by_sum, ch_sum, sin_theta / (2.0 * sh_dif));
        const V sin_half = M::select(by_sum, sin_theta / (2.0 * ch_sum), sh_dif);
        const V sqrt_r1r2 = M::sqrt(R1) * M::sqrt(R2);
        const V lambda = way * sqrt_r1r2 * cos_half / s;
        const V oml2 = c / s;
        const V d_plus = c + (R1 - R2), d_minus = c - (R1 - R2);
        const V four = 4.0 * R1 * R2 * sin_half * sin_half;
        const B plus = d_plus >= d_minus;
        const V one_plus_rho = M::select(plus, d_plus, four / d_minus) / c;
        const V one_minus_rho = M::select(plus, four / d_plus, d_minus) / c;
        const V sigma = 2.0 * sqrt_r1r2 * sin_half / c;
        const V gamma = M::sqrt(mu * s / 2.0);
        const V T = t * (M::sqrt(2.0 * mu / s) / s);
        ok = ok & M::finite(T) & (T > 0.0) & M::finite(gamma) & (gamma > 0.0);
        const V root_oml2 = M::sqrt(oml2);
        for (int k = 0; k < W && first + k < n; ++k) {
            clean[first + k] = ok[k] != 0;
            if (!ok[k]) continue;
            Setup& u = setups[first + k];
            u.g.R1 = R1[k], u.g.R2 = R2[k], u.g.c = c[k], u.g.s = s[k];
            for (int e = 0; e < 3; ++e) {
                u.g.ir1[e] = ir1[e][k], u.g.ir2[e] = ir2[e][k];
                u.g.it1[e] = it1[e][k], u.g.it2[e] = it2[e][k];
            }
            u.g.one_plus_rho = one_plus_rho[k], u.g.one_minus_rho = one_minus_rho[k];
            u.g.sigma = sigma[k], u.g.gamma = gamma[k];
            u.g.shape = {lambda[k], oml2[k]};
            u.T = T[k];
            u.T00 = std::acos(lambda[k]) + lambda[k] * root_oml2[k];
        }
    }
}

}  // namespace vextal::numerics::lambert_lanes
