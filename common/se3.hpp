// Small fixed-size rigid-motion algebra shared by the offline and CAD-side modules.
//
// Conventions: matrices are row-major `std::array`s of doubles; a twist or screw
// is (omega, v), rotational part first; a transform is homogeneous 4x4 with the
// rotation in [0:3,0:3] and the translation in [0:3,3].  Every expression is
// evaluated in the order it is written (the build disables contraction), so the
// results round like the equivalent element-wise numpy expressions.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define CELLPATH_HAVE_AVX_CHAIN 1
#endif

namespace cellpath {

using Vec3 = std::array<double, 3>;
using Vec6 = std::array<double, 6>;
using Mat3 = std::array<double, 9>;   // row-major 3x3
using Mat4 = std::array<double, 16>;  // row-major 4x4
using Mat6 = std::array<double, 36>;  // row-major 6x6

inline constexpr Mat3 kIdentity3{1, 0, 0, 0, 1, 0, 0, 0, 1};
inline constexpr Mat4 kIdentity4{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// [w]: skew(w) * b == w x b.
inline Mat3 skew(const Vec3& w) { return {0.0, -w[2], w[1], w[2], 0.0, -w[0], -w[1], w[0], 0.0}; }

// sum_k a[k] * b[k * stride] for k = 0 .. K-1, added in increasing k: the
// order numpy's matrix product uses for these small sizes, so results match
// it bit for bit.
template <int K>
inline double dot_strided(const double* a, const double* b, int stride) {
  double s = a[0] * b[0];
  for (int k = 1; k < K; ++k) s += a[k] * b[k * stride];
  return s;
}

// A * B for row-major N x N matrices.
template <int N>
inline std::array<double, N * N> mul_square(const std::array<double, N * N>& A,
                                            const std::array<double, N * N>& B) {
  std::array<double, N * N> C{};
  for (int i = 0; i < N; ++i)
    for (int j = 0; j < N; ++j) C[i * N + j] = dot_strided<N>(&A[i * N], &B[j], N);
  return C;
}

inline Mat3 mul3(const Mat3& A, const Mat3& B) { return mul_square<3>(A, B); }

inline Vec3 mul3v(const Mat3& A, const Vec3& x) {
  Vec3 y{};
  for (int i = 0; i < 3; ++i) y[i] = dot_strided<3>(&A[i * 3], x.data(), 1);
  return y;
}

inline Mat4 mul4(const Mat4& A, const Mat4& B) { return mul_square<4>(A, B); }

// 3-vector arithmetic, each component in the order written.
inline Vec3 add(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
inline Vec3 sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline Vec3 scale(const Vec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
inline double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline double norm2(const Vec3& a) { return dot(a, a); }
inline double dist(const Vec3& a, const Vec3& b) { return std::sqrt(norm2(sub(a, b))); }
// o + t * d: the point at parameter t of the line through o along d.
inline Vec3 along(const Vec3& o, const Vec3& d, double t) { return add(o, scale(d, t)); }
// The nearest point to x of the line through o along the unit vector d.
inline Vec3 foot(const Vec3& x, const Vec3& o, const Vec3& d) {
  return along(o, d, dot(sub(x, o), d));
}
inline Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline Vec3 load3(const double* p) { return {p[0], p[1], p[2]}; }

// T applied to the point p: R p + t, summed over the columns in order.
inline Vec3 transform_point(const Mat4& T, const double* p) {
  Vec3 w;
  for (int r = 0; r < 3; ++r)
    w[r] = T[r * 4 + 0] * p[0] + T[r * 4 + 1] * p[1] + T[r * 4 + 2] * p[2] + T[r * 4 + 3];
  return w;
}

// T^-1 for a rigid transform T = (R, t): (R^T, -R^T t).
inline Mat4 rigid_inverse(const Mat4& T) {
  Mat4 out = kIdentity4;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) out[r * 4 + c] = T[c * 4 + r];
  for (int r = 0; r < 3; ++r)
    out[r * 4 + 3] = -(out[r * 4 + 0] * T[3] + out[r * 4 + 1] * T[7] + out[r * 4 + 2] * T[11]);
  return out;
}

// A transform from 16 row-major values.
inline Mat4 load4(const double* p) {
  Mat4 T;
  for (int k = 0; k < 16; ++k) T[k] = p[k];
  return T;
}

// The axis of a joint that turns, screw S = (w, v) with w != 0: its point
// nearest the origin, w x v / |w|^2, its unit direction w / |w|, and |w|,
// the radians turned per unit of joint value.
struct ScrewAxis {
  Vec3 point, dir;
  double rate;
};
inline double turn_rate2(const Vec6& S) { return norm2({S[0], S[1], S[2]}); }
inline ScrewAxis screw_axis(const Vec6& S) {
  const Vec3 w{S[0], S[1], S[2]}, v{S[3], S[4], S[5]};
  const double w2 = norm2(w);
  const Vec3 c = cross(w, v);
  const double rate = std::sqrt(w2);
  return {{c[0] / w2, c[1] / w2, c[2] / w2}, {w[0] / rate, w[1] / rate, w[2] / rate}, rate};
}

// Column i (a screw (omega, v)) of a row-major (6, n) screw list.
inline Vec6 screw_column(const double* slist, std::size_t n, std::size_t i) {
  return {slist[0 * n + i], slist[1 * n + i], slist[2 * n + i],
          slist[3 * n + i], slist[4 * n + i], slist[5 * n + i]};
}

inline Mat3 rotation(const Mat4& T) {
  return {T[0], T[1], T[2], T[4], T[5], T[6], T[8], T[9], T[10]};
}
inline Vec3 translation(const Mat4& T) { return {T[3], T[7], T[11]}; }

// Adjoint of T = (R, p) for (omega, v) twists:
//   [ R      0 ]
//   [ [p]R   R ]
// maps a twist given in the frame of T into the frame T is expressed in.
inline Mat6 adjoint(const Mat4& T) {
  const Mat3 R = rotation(T);
  const Mat3 pR = mul3(skew(translation(T)), R);
  Mat6 Ad{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      Ad[i * 6 + j] = R[i * 3 + j];
      Ad[(i + 3) * 6 + (j + 3)] = R[i * 3 + j];
      Ad[(i + 3) * 6 + j] = pR[i * 3 + j];
    }
  return Ad;
}

// exp([S] theta) for a screw S = (w, v) with unit w, or w = 0 (pure translation
// theta * v).  One closed form, no branch:
//   R = I + sin t [w] + (1 - cos t) [w]^2
//   p = (I t + (1 - cos t) [w] + (t - sin t) [w]^2) v
// A non-unit w gives a non-orthonormal R without complaint.
inline Mat4 exp_se3(const Vec6& S, double theta) {
  const Mat3 W = skew({S[0], S[1], S[2]});
  const Mat3 W2 = mul3(W, W);
  const double s = std::sin(theta), c = std::cos(theta);
  const double one_c = 1.0 - c, t_s = theta - s;
  Mat3 R{}, G{};
  for (int k = 0; k < 9; ++k) {
    R[k] = kIdentity3[k] + s * W[k] + one_c * W2[k];
    G[k] = kIdentity3[k] * theta + one_c * W[k] + t_s * W2[k];
  }
  const Vec3 p = mul3v(G, {S[3], S[4], S[5]});
  return {R[0], R[1], R[2], p[0], R[3], R[4], R[5], p[1],
          R[6], R[7], R[8], p[2], 0.0,  0.0,  0.0,  1.0};
}

// Row-vector points into the world: out_k = R p_k + t for the n row-major
// points p (a frame's own coordinates) of a frame at T = (R, t); each sum runs
// over the columns in order, as numpy's p @ R.T + t rounds element by element.
inline void transform_points(const double* p, std::size_t n, const Mat4& T, double* out) {
  for (std::size_t k = 0; k < n; ++k) {
    const double* a = p + 3 * k;
    for (int r = 0; r < 3; ++r) {
      double s = a[0] * T[r * 4 + 0];
      s += a[1] * T[r * 4 + 1];
      s += a[2] * T[r * 4 + 2];
      out[3 * k + r] = s + T[r * 4 + 3];
    }
  }
}

// One step of the running product below: running <- running exp([S] t),
// and link i's pose running M_i.  Every bit-for-bit caller goes through it.
inline Mat4 chain_step(Mat4& running, const Vec6& screw, double theta, const Mat4& home) {
  running = mul4(running, exp_se3(screw, theta));
  return mul4(running, home);
}

// Space-frame product of exponentials with one home transform per link:
//   out[i] = exp([S_0] t_0) ... exp([S_i] t_i) M_i,   i = 0 .. n-1.
// `slist` is column-major per joint here: slist[i] is joint i's screw.
template <class ScrewAt, class HomeAt, class ThetaAt, class Out>
inline void forward_kinematics(std::size_t n, ScrewAt&& screw, HomeAt&& home, ThetaAt&& theta,
                               Out&& out) {
  Mat4 running = kIdentity4;
  for (std::size_t i = 0; i < n; ++i) out(i, chain_step(running, screw(i), theta(i), home(i)));
}

// The same product computed quicker where bit-for-bit agreement with numpy
// is not needed: each exponential taken apart once (W, W^2 and what they
// make of the linear part), then a sine, a cosine and two rigid products per
// joint.  Equal to forward_kinematics up to round-off.
class QuickChain {
 public:
  QuickChain() = default;
  QuickChain(const std::vector<Vec6>& screws, const std::vector<Mat4>& home) : home_(home) {
    parts_.reserve(screws.size());
    for (const Vec6& S : screws) {
      const Mat3 W = skew({S[0], S[1], S[2]});
      const Mat3 W2 = mul3(W, W);
      const Vec3 v{S[3], S[4], S[5]};
      parts_.push_back({W, W2, v, mul3v(W, v), mul3v(W2, v)});
    }
  }
  std::size_t size() const { return parts_.size(); }

  // out[i] = link i's pose at theta (rows 0-2 written; row 3 left as it is).
  void pose(const double* theta, Mat4* out) const {
#ifdef CELLPATH_HAVE_AVX_CHAIN
    if (has_avx()) return pose_avx(theta, out);
#endif
    Mat4 running = kIdentity4, next = kIdentity4, E = kIdentity4;
    for (std::size_t i = 0; i < parts_.size(); ++i) {
      exponential(parts_[i], theta[i], E);
      rigid_mul(running, E, next);
      running = next;
      rigid_mul(running, home_[i], out[i]);
    }
  }

 private:
  struct Parts {
    Mat3 W, W2;
    Vec3 v, Wv, W2v;
  };
  // Rows 0-2 of exp([S] t), S taken apart in e.
  static void exponential(const Parts& e, double t, Mat4& E) {
    const double s = std::sin(t), c = std::cos(t);
    const double one_c = 1.0 - c, t_s = t - s;
    for (int r = 0; r < 3; ++r) {
      for (int k = 0; k < 3; ++k)
        E[4 * r + k] = (r == k ? 1.0 : 0.0) + s * e.W[3 * r + k] + one_c * e.W2[3 * r + k];
      E[4 * r + 3] = t * e.v[r] + one_c * e.Wv[r] + t_s * e.W2v[r];
    }
  }
  // C = A B for rigid transforms (rows 0-2 of C written).
  static void rigid_mul(const Mat4& A, const Mat4& B, Mat4& C) {
    for (int r = 0; r < 3; ++r) {
      const double a0 = A[4 * r], a1 = A[4 * r + 1], a2 = A[4 * r + 2];
      for (int c = 0; c < 4; ++c) C[4 * r + c] = a0 * B[c] + a1 * B[4 + c] + a2 * B[8 + c];
      C[4 * r + 3] += A[4 * r + 3];
    }
  }
#ifdef CELLPATH_HAVE_AVX_CHAIN
  static bool has_avx() {
    static const bool has = __builtin_cpu_supports("avx");
    return has;
  }
  // rigid_mul a row at a time, four columns to a register: the same products
  // and sums in the same order, so the same bits.
  __attribute__((target("avx"))) static void rigid_mul_avx(const Mat4& A, const Mat4& B, Mat4& C) {
    const __m256d b0 = _mm256_loadu_pd(&B[0]), b1 = _mm256_loadu_pd(&B[4]),
                  b2 = _mm256_loadu_pd(&B[8]);
    for (int r = 0; r < 3; ++r) {
      const __m256d sum =
          _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(A[4 * r]), b0),
                                      _mm256_mul_pd(_mm256_set1_pd(A[4 * r + 1]), b1)),
                        _mm256_mul_pd(_mm256_set1_pd(A[4 * r + 2]), b2));
      // The translation's column alone gets A's: adding zero to the others
      // could turn a -0 into +0.
      const __m256d moved = _mm256_add_pd(sum, _mm256_set1_pd(A[4 * r + 3]));
      _mm256_storeu_pd(&C[4 * r], _mm256_blend_pd(sum, moved, 0x8));
    }
  }
  __attribute__((target("avx"))) void pose_avx(const double* theta, Mat4* out) const {
    Mat4 chain[2] = {kIdentity4, kIdentity4}, E = kIdentity4;
    int at = 0;
    for (std::size_t i = 0; i < parts_.size(); ++i) {
      exponential(parts_[i], theta[i], E);
      rigid_mul_avx(chain[at], E, chain[1 - at]);
      at = 1 - at;
      rigid_mul_avx(chain[at], home_[i], out[i]);
    }
  }
#endif
  std::vector<Parts> parts_;
  std::vector<Mat4> home_;
};

}  // namespace cellpath
