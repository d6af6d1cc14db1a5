// The host's noise library and solid noise (see host/noise/noise.h for the types and arguments).
//
// Speed: the noise operator samples up to 4001 x 4001 cells times the octave count, so every table a
// sample reads is built at Create/InitFbm time and the per-sample code is straight-line arithmetic on
// those tables: no allocation, no locks, no libm call on the lattice path (the floor is done by integer
// conversion, with one range check per sample), octave loops over precomputed frequencies, weights and
// offsets. Each octave's position is formed from the input position directly (not by repeated
// scaling), which keeps the octaves independent for the CPU to overlap.
//
// Fast paths, all exact: (1) a sample on a lattice plane of Y (Y fraction 0) blends only the four
// corners of that plane, since the other four have weight 0; (2) the noise operator samples the plane
// Y = 0 unless it is rotated, and every octave offset has a whole Y, so for a sample with Y = 0 each
// octave's Y cell is known in advance and a per-octave row table replaces two of the hash lookups
// (HostNoise3D has one for its plane Y = 0); (3) on that flat path the octaves run two at a time in
// two-lane vectors. Wider vectors were tried: AVX2 gathers are slower than the two-lane loads on the
// machines this was measured on, so there is no such path. (4) The ridged multifractal of a flat sample
// over whole octaves (the noise operator's type 64) has a path of its own: pairs of octaves shaped in
// vectors, the usual octave counts unrolled, and the weight's clamp left out where it can change
// nothing. The plain scalar 3-D formula stays as the reference: host::SetNoiseFastPaths(false) makes
// generators use it everywhere, and the tests compare the two.
//
// Determinism: tables come from a SplitMix64 stream of the seed; sampling is a pure function of the
// position and those tables, so results do not depend on the thread or the order of calls. The unit
// is built with -ffp-contract=off, so no path fuses a multiply-add that another path rounds twice.
#include "host/noise/noise.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <utility>

#include "host/core/alloc.h"

namespace
{
constexpr Int32 LATTICE_SIZE = 256;   // the lattice repeats every 256 cells
constexpr Int32 LATTICE_MASK = LATTICE_SIZE - 1;
constexpr Int32 ROW_SIZE = LATTICE_SIZE + 1;   // a row table is read at X and X + 1
// Beyond 2^52 a double has no fraction left, and within it the integer conversion below is exact.
constexpr Float COORD_LIMIT = 4503599627370496.0;
constexpr Float TWO_PI = 2.0 * std::numbers::pi;

// The cellular lattice is shifted half a cell along Y, so that the plane Y = 0, where the noise operator
// samples, cuts through the middle of its cells and passes within 0.2 cells of every feature point
// (on a lattice plane no point would come nearer than 0.3, and small features would never show).
constexpr Vector CELL_SHIFT{0.0, 0.5, 0.0};
// Feature points lie in [0.3, 0.7] of their cell on each axis. This keeps the 27-cell search exact for
// F1: the own cell's point is at most 0.7 sqrt(3) = 1.21 away, every point outside the 3 x 3 x 3 block
// at least 1.3 (Euclidean and Chebyshev alike).
constexpr Float FEATURE_MIN = 0.3;
constexpr Float FEATURE_SPAN = 0.4;
// Bounds of the searched distances, by which the cellular types scale into [0, 1]: F1 by the own
// point's farthest position; F2 (and F2 - F1) by the eight cells around the nearest lattice corner,
// whose points all lie within 1.2 cells along each axis.
constexpr Float F1_BOUND = 0.7 * 1.7320508075688772;
constexpr Float F1_CHEBYSHEV_BOUND = 0.7;
constexpr Float F2_BOUND = 1.2 * 1.7320508075688772;

// Gradient noise with unit gradients is bounded by sqrt(3) / 2, reached at a cell centre when all eight
// gradients point at it: 2 / sqrt(3) maps it onto [-1, 1]. Simplex noise with the r^2 = 0.5 kernel
// peaks near 0.0093 (one corner's (0.5 - d^2)^4 d is at most 0.0092; over 16 million samples of 40
// seeds the sum never passed 0.00926); its scale leaves some headroom and a clamp makes [-1, 1] a
// guarantee.
constexpr Float GRADIENT_SCALE = 1.1547005383792515;   // 2 / sqrt(3)
constexpr Float SIMPLEX_SCALE = 100.0;

// Type details (cells are lattice units).
constexpr Int32 MARBLE_OCTAVES = 3;
constexpr Float MARBLE_FREQUENCY = std::numbers::pi;   // one stripe per two cells along X + Z
constexpr Float MARBLE_TURBULENCE = 5.0;               // phase shift (radians) at full turbulence
constexpr Float WOOD_RINGS = 1.0;                      // rings per cell of radius
constexpr Float WOOD_NOISE = 0.35;                     // ring displacement, in rings
constexpr Int32 WAVE_FBM_OCTAVES = 4;
constexpr Float WAVE_FREQUENCY = 0.5;                  // modulation waves per cell along X
constexpr Float DUNE_FREQUENCY = 0.5;                  // dunes per cell along X
constexpr Float DUNE_BEND = 0.75;                      // crest displacement, in dunes
constexpr Float DUNE_SKEW = 0.7;                       // asymmetry of the phase-modulated sine
constexpr Float RIPPLE_RINGS = 3.0;                    // rings per cell of distance
constexpr Int32 WARP_FBM_OCTAVES = 2;
// A crater is a profile of F1 alone (bowl inside the radius, rim falling to the plain at twice the
// radius), so the field is as continuous as F1.
constexpr Float CRATER_RADIUS = 0.25;
constexpr Float CRATER_FLOOR = 0.2;
constexpr Float CRATER_PLAIN = 0.5;
constexpr Int32 TERRACE_OCTAVES = 3;
constexpr Float TERRACE_STEPS = 6.0;
constexpr Float SPOT_INNER = 0.15;
constexpr Float SPOT_OUTER = 0.3;
constexpr Float INTERFERENCE_FREQUENCY = 0.5;
constexpr Float INTERFERENCE_BEND = 2.0;               // radians at full noise
constexpr Int32 HYBRID_OCTAVES = 6;
constexpr Float HYBRID_RATIO = 0.8408964152537145;    // 2^-0.25: exponent 0.25 at lacunarity 2
constexpr Float HYBRID_GAIN = 2.0;

// The golden angle's cosine and sine, for the gradient directions without a libm call.
constexpr Float GOLDEN_COS = -0.7373688780783197;
constexpr Float GOLDEN_SIN = 0.6754902942615238;

constexpr Int32 HOST_NOISE_SEED = 1011190;

// Offsets of the auxiliary fields (warps, bends) in NoiseGenerator::auxOffset.
enum AUX : Int32
{
  AUX_WARP_X,
  AUX_WARP_Y,
  AUX_WARP_Z,
  AUX_WOOD,
  AUX_DUNES,
  AUX_WAVE_A,
  AUX_WAVE_B,
  AUX_COUNT
};

std::atomic<Bool> g_fastPaths{true};

struct SplitMix64
{
  UInt64 state;

  UInt64 Next()
  {
    UInt64 z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1) with 53 bits.
  Float Next01() { return static_cast<Float>(Next() >> 11) * 0x1.0p-53; }
  // Uniform in [0, n).
  UInt32 Below(UInt32 n) { return static_cast<UInt32>(((Next() >> 32) * n) >> 32); }
};

struct alignas(32) Gradient
{
  Float x, y, z, pad;
};

// The X and Z of a gradient: all the flat path reads, in half the cache lines.
struct alignas(16) GradientXZ
{
  Float x, z;
};

// An octave argument as a whole count and the fraction of one more octave.
struct OctaveCount
{
  Int32 whole;
  Float fraction;
};

inline OctaveCount SplitOctaves(Float octaves, Int32 limit)
{
  Float o = octaves >= 1.0 ? octaves : 1.0;   // NaN and values below 1 act as 1
  o = std::min(o, static_cast<Float>(limit));
  const Int32 whole = static_cast<Int32>(o);
  return {whole, o - static_cast<Float>(whole)};
}

inline Int32 OctavesToRun(OctaveCount oc)
{
  return oc.fraction > 0.0 ? oc.whole + 1 : oc.whole;
}

// Frequencies, weights and normalisers of a fractal spectrum.
struct FractalTable
{
  Int32 count = 0;
  Float frequency[MAX_SPECTRUM_OCTAVES];
  Float amplitude[MAX_SPECTRUM_OCTAVES];
  Float prefix[MAX_SPECTRUM_OCTAVES + 1];          // prefix[n]: sum of the first n amplitudes
  Float inversePrefix[MAX_SPECTRUM_OCTAVES + 1];
  Float reach[MAX_SPECTRUM_OCTAVES];               // reach[i]: the largest of frequency[0..i]

  // Octave i: frequency lacunarity^i, amplitude ratio^i (ratio = lacunarity^-exponent), both by
  // repeated multiplication, which rounds alike on every platform.
  void Build(Int32 n, Float lacunarity, Float ratio)
  {
    count = n;
    prefix[0] = 0.0;
    inversePrefix[0] = 0.0;
    for (Int32 i = 0; i < n; ++i)
    {
      frequency[i] = i > 0 ? frequency[i - 1] * lacunarity : 1.0;
      amplitude[i] = i > 0 ? amplitude[i - 1] * ratio : 1.0;
      prefix[i + 1] = prefix[i] + amplitude[i];
      inversePrefix[i + 1] = 1.0 / prefix[i + 1];
      reach[i] = std::max(i > 0 ? reach[i - 1] : 0.0, frequency[i]);
    }
  }

  // The largest frequency the octave count samples.
  Float ReachFrequency(OctaveCount oc) const { return reach[std::min(oc.whole, count - 1)]; }

  // Weight of octave k: its amplitude, times the fraction for the partial octave past the whole ones.
  Float Weight(OctaveCount oc, Int32 k) const { return k < oc.whole ? amplitude[k] : oc.fraction * amplitude[k]; }

  Float Normalize(Float sum, OctaveCount oc) const
  {
    if (oc.fraction > 0.0)
      return sum / (prefix[oc.whole] + oc.fraction * amplitude[oc.whole]);
    return sum * inversePrefix[oc.whole];
  }
};

// The seeded offsets of a spectrum's octaves and, per octave, the row table of the flat path:
// row[i][X] = perm[perm[X] + Y_i] with Y_i the offset's (whole) Y, kept as the byte offset of that
// entry in the gradient table, so that a corner's address is one addition (built only for the octaves a
// spectrum reaches; see NoiseGenerator::spectrumRows). The offsets' X and Z are repeated as arrays, from
// which the two-octave path loads a pair at once.
struct OctaveSet
{
  Vector offset[MAX_SPECTRUM_OCTAVES];
  alignas(16) Float offsetX[MAX_SPECTRUM_OCTAVES];
  alignas(16) Float offsetZ[MAX_SPECTRUM_OCTAVES];
  UInt32 row[MAX_SPECTRUM_OCTAVES][ROW_SIZE];
};

inline Float Clamp01(Float v)
{
  return std::min(std::max(0.0, v), 1.0);   // this operand order maps NaN to 0
}

inline Float Clamp11(Float v)
{
  return std::min(std::max(-1.0, v), 1.0);
}

inline Float To01(Float v)
{
  return 0.5 + 0.5 * v;
}

inline Float SmoothStep(Float t)
{
  t = Clamp01(t);
  return t * t * (3.0 - 2.0 * t);
}

// Lattice cell (wrapped to the table size) and the position inside it, without a libm call.
struct Axis
{
  Int32 cell;
  Float frac;
};

inline Float ClampCoord(Float v)
{
  return std::min(std::max(-COORD_LIMIT, v), COORD_LIMIT);   // this operand order maps NaN to -COORD_LIMIT
}

// For |v| <= COORD_LIMIT only: there the integer conversion is exact and defined.
inline Axis FastSplit(Float v)
{
  const Int64 t = static_cast<Int64>(v);
  const Int64 f = t - static_cast<Int64>(v < static_cast<Float>(t));
  return {static_cast<Int32>(f & LATTICE_MASK), v - static_cast<Float>(f)};
}

inline Axis SplitAxis(Float v)
{
  return FastSplit(ClampCoord(v));
}

// True when no coordinate needs the clamp (false for NaN and infinities).
inline Bool InRange(Float x, Float y, Float z)
{
  return std::abs(x) + std::abs(y) + std::abs(z) < COORD_LIMIT;
}

// Octave positions p f + o stay in range when (|p.x| + |p.y| + |p.z|) f is below this (offsets are
// below 256), so a fractal sum checks its input once instead of every octave.
constexpr Float FAST_REACH = COORD_LIMIT / 4.0;

// A constant of the value type (so that the vector path loads whole vector constants).
template <typename T>
[[gnu::always_inline]] inline T Splat(Float c)
{
  return T{} + c;
}

// Fades and blends are templates so that the two-octave path runs the very same expressions.
struct Quintic
{
  template <typename T>
  [[gnu::always_inline]] static T Fade(T t)
  {
    return t * t * t * (t * (t * Splat<T>(6.0) - Splat<T>(15.0)) + Splat<T>(10.0));
  }
};
struct Cubic
{
  template <typename T>
  [[gnu::always_inline]] static T Fade(T t)
  {
    return t * t * (Splat<T>(3.0) - Splat<T>(2.0) * t);
  }
};

template <typename T>
[[gnu::always_inline]] inline T Lerp(T t, T a, T b)
{
  return a + t * (b - a);
}

// Gradient noise on a lattice plane of Y, from the X and Z of the four corner gradients of the plane
// (a: X0 Z0, b: X1 Z0, c: X0 Z1, d: X1 Z1) and the position inside the cell.
// x1 = x - 1, z1 = z - 1 and the fades u, w of x and z come in precomputed, so that a single octave can
// form them for X and Z in one two-lane operation.
template <typename T>
[[gnu::always_inline]] inline T SliceBlend(T ax, T az, T bx, T bz, T cx, T cz, T dx, T dz, T x, T z, T x1, T z1, T u,
                                           T w)
{
  const T n000 = ax * x + az * z;
  const T n100 = bx * x1 + bz * z;
  const T n001 = cx * x + cz * z1;
  const T n101 = dx * x1 + dz * z1;
  return Lerp(w, Lerp(u, n000, n100), Lerp(u, n001, n101)) * Splat<T>(GRADIENT_SCALE);
}

// Two octaves at a time: each lane runs the scalar flat path's IEEE operations in the same order, so
// both give identical values. Written with the compiler's generic vectors (plain SSE2 on x86-64); the
// conversions use 32-bit integers, so pair positions must stay below 2^31.
#if defined(__GNUC__)
#define HOST_NOISE_PAIRS 1
typedef Float Float2 __attribute__((vector_size(16)));
typedef Int64 Int64x2 __attribute__((vector_size(16)));
typedef Int32 Int32x2 __attribute__((vector_size(8)));

// FastSplit for two lanes.
[[gnu::always_inline]] inline Float2 SplitPair(Float2 v, Int32x2& cell)
{
  const Float2 one = {1.0, 1.0};
  const Int32x2 t = __builtin_convertvector(v, Int32x2);
  const Float2 tf = __builtin_convertvector(t, Float2);
  const Int64x2 below = v < tf;   // all ones where the truncation rounded up (negative fractions)
  const Float2 floor = tf - (Float2)(below & (Int64x2)one);
  cell = __builtin_convertvector(floor, Int32x2) & LATTICE_MASK;
  return v - floor;
}

// std::abs for two lanes: the sign bit cleared, as fabs does.
[[gnu::always_inline]] inline Float2 Abs(Float2 v)
{
  const Int64x2 magnitude = {0x7FFFFFFFFFFFFFFF, 0x7FFFFFFFFFFFFFFF};
  return (Float2)((Int64x2)v & magnitude);
}
#else
#define HOST_NOISE_PAIRS 0
#endif
constexpr Float FLAT_REACH = 1073741824.0;   // 2^30: flat positions stay below 2^31

// Octave shapes of the fractal sums.
struct Signed
{
  Float operator()(Float n) const { return n; }
};
struct Absolute
{
  Float operator()(Float n) const { return std::abs(n); }
};
struct Squared
{
  Float operator()(Float n) const { return n * n; }
};
struct RidgeSquared
{
  Float operator()(Float n) const
  {
    const Float r = 1.0 - std::abs(n);
    return r * r;
  }
};
} // namespace

class NoiseGenerator
{
public:
  alignas(64) Int32 perm[2 * LATTICE_SIZE];   // doubled, so chained lookups need no masking
  // gradAt[k] = the gradient of hash perm[k]: the last lookup of a corner's hash and its gradient in
  // one load instead of two dependent ones. gradXZ holds the same gradients' X and Z.
  alignas(64) Gradient gradAt[2 * LATTICE_SIZE];
  alignas(64) GradientXZ gradXZ[2 * LATTICE_SIZE];
  UInt32 planeRow[ROW_SIZE];   // the row table of the lattice plane Y = 0 (see OctaveSet)
  Float value[LATTICE_SIZE];
  Vector feature[LATTICE_SIZE];
  OctaveSet fixedOctaves;      // octaves of the fixed spectrum
  OctaveSet spectrumOctaves;   // octaves of the InitFbm spectrum
  OctaveSet ridgeOctaves;      // the spectral ridges' own, so they do not copy the ridged multifractal
  Vector auxOffset[AUX_COUNT];
  Float hybridAmplitude[HYBRID_OCTAVES];
  Float hybridInverseSum = 0.0;
  FractalTable fixed;
  std::unique_ptr<FractalTable> spectrum;   // null until InitFbm succeeds
  Bool fastPaths = true;   // false: the plain scalar 3-D reference (test switch)

  // Row tables are built only for the octaves a spectrum reaches: the fixed spectrum's
  // MAX_FRACTAL_OCTAVES in all three sets at once, further octaves of the InitFbm spectrum's two sets
  // when InitFbm asks for them. Building all 3 x 64 up front was three quarters of the cost of Create
  // and InitFbm, which the noise operator pays once per computation: a large share of a small grid.
  Int32 spectrumRows = 0;   // octaves of spectrumOctaves and ridgeOctaves whose rows are built

  explicit NoiseGenerator(Int32 seed) : fastPaths(g_fastPaths.load(std::memory_order_relaxed)) { Build(seed); }

  // Makes the row tables of the InitFbm spectrum cover `octaves` octaves.
  void ReachSpectrumRows(Int32 octaves)
  {
    if (octaves <= spectrumRows)
      return;
    BuildRows(spectrumOctaves, spectrumRows, octaves);
    BuildRows(ridgeOctaves, spectrumRows, octaves);
    spectrumRows = octaves;
  }

  const FractalTable& Spectrum() const { return spectrum ? *spectrum : fixed; }

  // ---- lattice primitives -------------------------------------------------------------------------

  Int32 Hash(Int32 x, Int32 y, Int32 z) const { return perm[perm[perm[x] + y] + z]; }

  // Gradient noise; the result lies in [-1, 1] up to rounding (see GRADIENT_SCALE), so callers that
  // promise a range clamp their final value. SLICE allows the plane shortcut (fast path 1); GUARD false
  // skips the coordinate clamp for callers that checked the range themselves.
  template <typename F, Bool SLICE = true, Bool GUARD = true>
  [[gnu::always_inline]] Float GradientNoise(Float px, Float py, Float pz) const
  {
    if constexpr (GUARD)
      if (!InRange(px, py, pz)) [[unlikely]]
      {
        px = ClampCoord(px);
        py = ClampCoord(py);
        pz = ClampCoord(pz);
      }
    const Axis ax = FastSplit(px), ay = FastSplit(py), az = FastSplit(pz);
    const Float x = ax.frac, y = ay.frac, z = az.frac;
    const Int32* P = perm;
    const Int32 A = P[ax.cell] + ay.cell, B = P[ax.cell + 1] + ay.cell;
    const Int32 AA = P[A] + az.cell, BA = P[B] + az.cell;
    if (SLICE && y == 0.0 && fastPaths)
    {
      const Gradient &a = gradAt[AA], &b = gradAt[BA], &c = gradAt[AA + 1], &d = gradAt[BA + 1];
      return SliceBlend(a.x, a.z, b.x, b.z, c.x, c.z, d.x, d.z, x, z, x - 1.0, z - 1.0, F::Fade(x), F::Fade(z));
    }
    const Int32 AB = P[A + 1] + az.cell, BB = P[B + 1] + az.cell;
    const Gradient& g000 = gradAt[AA];
    const Gradient& g100 = gradAt[BA];
    const Gradient& g010 = gradAt[AB];
    const Gradient& g110 = gradAt[BB];
    const Gradient& g001 = gradAt[AA + 1];
    const Gradient& g101 = gradAt[BA + 1];
    const Gradient& g011 = gradAt[AB + 1];
    const Gradient& g111 = gradAt[BB + 1];
    const Float x1 = x - 1.0, y1 = y - 1.0, z1 = z - 1.0;
    const Float n000 = g000.x * x + g000.y * y + g000.z * z;
    const Float n100 = g100.x * x1 + g100.y * y + g100.z * z;
    const Float n010 = g010.x * x + g010.y * y1 + g010.z * z;
    const Float n110 = g110.x * x1 + g110.y * y1 + g110.z * z;
    const Float n001 = g001.x * x + g001.y * y + g001.z * z1;
    const Float n101 = g101.x * x1 + g101.y * y + g101.z * z1;
    const Float n011 = g011.x * x + g011.y * y1 + g011.z * z1;
    const Float n111 = g111.x * x1 + g111.y * y1 + g111.z * z1;
    const Float u = F::Fade(x), v = F::Fade(y), w = F::Fade(z);
    const Float nx00 = Lerp(u, n000, n100), nx10 = Lerp(u, n010, n110);
    const Float nx01 = Lerp(u, n001, n101), nx11 = Lerp(u, n011, n111);
    const Float nxy0 = Lerp(v, nx00, nx10), nxy1 = Lerp(v, nx01, nx11);
    return Lerp(w, nxy0, nxy1) * GRADIENT_SCALE;
  }

  template <typename F, Bool SLICE = true>
  [[gnu::always_inline]] Float GradientNoise(const Vector& p) const
  {
    return GradientNoise<F, SLICE>(p.x, p.y, p.z);
  }

  // The gradient at a byte offset of the gradient table (row table entry + Z cell x its entry size).
  // 64-bit offsets, so that the next entry's "+ 16" folds into the load's address.
  const GradientXZ& GradientAtByte(UInt64 offset) const
  {
    return *reinterpret_cast<const GradientXZ*>(reinterpret_cast<const char*>(gradXZ) + offset);
  }

  // Fast path 2: one octave of a sample with Y = 0, its Y cell folded into the octave's row table, for
  // |px|, |pz| < FLAT_REACH. LANES splits and fades X and Z together in the two lanes of a vector: it
  // shortens a lone evaluation (HostNoise3D), while inside an octave loop the scalar form overlaps
  // better with the neighbouring octaves.
  template <typename F, Bool LANES = false>
  [[gnu::always_inline]] Float FlatGradient(const UInt32* row, Float px, Float pz) const
  {
    Int32 cx, cz;
    Float x, z, x1, z1, u, w;
#if HOST_NOISE_PAIRS
    if constexpr (LANES)
    {
      Int32x2 cell;
      const Float2 f = SplitPair(Float2{px, pz}, cell);
      const Float2 f1 = f - Splat<Float2>(1.0);
      const Float2 fade = F::Fade(f);
      cx = cell[0];
      cz = cell[1];
      x = f[0];
      z = f[1];
      x1 = f1[0];
      z1 = f1[1];
      u = fade[0];
      w = fade[1];
    }
    else
#endif
    {
      const Axis ax = FastSplit(px), az = FastSplit(pz);
      cx = ax.cell;
      cz = az.cell;
      x = ax.frac;
      z = az.frac;
      x1 = x - 1.0;
      z1 = z - 1.0;
      u = F::Fade(x);
      w = F::Fade(z);
    }
    const UInt64 zBytes = static_cast<UInt64>(cz) * sizeof(GradientXZ);
    const UInt64 AA = row[cx] + zBytes, BA = row[cx + 1] + zBytes;
    const GradientXZ &a = GradientAtByte(AA), &b = GradientAtByte(BA);
    const GradientXZ &c = GradientAtByte(AA + sizeof(GradientXZ)), &d = GradientAtByte(BA + sizeof(GradientXZ));
    return SliceBlend(a.x, a.z, b.x, b.z, c.x, c.z, d.x, d.z, x, z, x1, z1, u, w);
  }

#if HOST_NOISE_PAIRS
  // Fast path 3: FlatGradient for two octaves (lanes 0 and 1).
  template <typename F>
  [[gnu::always_inline]] Float2 FlatGradientPair(const UInt32* row0, const UInt32* row1, Float2 px, Float2 pz) const
  {
    Int32x2 cx, cz;
    const Float2 x = SplitPair(px, cx);
    const Float2 z = SplitPair(pz, cz);
    cz *= static_cast<Int32>(sizeof(GradientXZ));
    const UInt64 zBytes0 = static_cast<UInt32>(cz[0]), zBytes1 = static_cast<UInt32>(cz[1]);
    const UInt64 AA0 = row0[cx[0]] + zBytes0, BA0 = row0[cx[0] + 1] + zBytes0;
    const UInt64 AA1 = row1[cx[1]] + zBytes1, BA1 = row1[cx[1] + 1] + zBytes1;
    constexpr UInt64 NEXT = sizeof(GradientXZ);
    const GradientXZ &a0 = GradientAtByte(AA0), &b0 = GradientAtByte(BA0);
    const GradientXZ &c0 = GradientAtByte(AA0 + NEXT), &d0 = GradientAtByte(BA0 + NEXT);
    const GradientXZ &a1 = GradientAtByte(AA1), &b1 = GradientAtByte(BA1);
    const GradientXZ &c1 = GradientAtByte(AA1 + NEXT), &d1 = GradientAtByte(BA1 + NEXT);
    return SliceBlend(Float2{a0.x, a1.x}, Float2{a0.z, a1.z}, Float2{b0.x, b1.x}, Float2{b0.z, b1.z},
                      Float2{c0.x, c1.x}, Float2{c0.z, c1.z}, Float2{d0.x, d1.x}, Float2{d0.z, d1.z}, x, z,
                      x - Splat<Float2>(1.0), z - Splat<Float2>(1.0), F::Fade(x), F::Fade(z));
  }
#endif

  // Calls visit(k, n_k) for the gradient noise n_k of octaves k = 0 .. last - 1 of a sample with
  // Y = 0, in increasing k: by pairs, and an odd last octave alone (a pair with a spare lane costs
  // nearly two single octaves, most of the work being per lane).
  template <typename F, typename Visit>
  [[gnu::always_inline]] void FlatOctaves(const FractalTable& t, const OctaveSet& set, const Vector& p, Int32 last,
                                          Visit visit) const
  {
    Int32 i = 0;
#if HOST_NOISE_PAIRS
    for (; i + 1 < last; i += 2)
    {
      Float2 f, ox, oz;
      std::memcpy(&f, &t.frequency[i], sizeof f);
      std::memcpy(&ox, &set.offsetX[i], sizeof ox);
      std::memcpy(&oz, &set.offsetZ[i], sizeof oz);
      const Float2 px = p.x * f + ox;
      const Float2 pz = p.z * f + oz;
      const Float2 n = FlatGradientPair<F>(set.row[i], set.row[i + 1], px, pz);
      visit(i, n[0]);
      visit(i + 1, n[1]);
    }
#endif
    for (; i < last; ++i)
    {
      const Float f = t.frequency[i];
      visit(i, FlatGradient<F>(set.row[i], p.x * f + set.offsetX[i], p.z * f + set.offsetZ[i]));
    }
  }

  // Calls visit(k, n_k) for octaves k = 0 .. last - 1 of any sample (GUARD: clamp each octave).
  template <Bool GUARD, typename Noise, typename Visit>
  [[gnu::always_inline]] static void PlainOctaves(const FractalTable& t, const OctaveSet& set, const Vector& p,
                                                  Int32 last, Noise noise, Visit visit)
  {
    for (Int32 i = 0; i < last; ++i)
    {
      const Float f = t.frequency[i];
      const Vector& o = set.offset[i];
      visit(i, noise.template Eval<GUARD>(p.x * f + o.x, p.y * f + o.y, p.z * f + o.z));
    }
  }

  template <typename F>
  Float ValueNoise(const Vector& p) const
  {
    const Axis ax = SplitAxis(p.x), ay = SplitAxis(p.y), az = SplitAxis(p.z);
    const Int32* P = perm;
    const Int32 A = P[ax.cell] + ay.cell, B = P[ax.cell + 1] + ay.cell;
    const Int32 AA = P[A] + az.cell, AB = P[A + 1] + az.cell, BA = P[B] + az.cell, BB = P[B + 1] + az.cell;
    const Float u = F::Fade(ax.frac), v = F::Fade(ay.frac), w = F::Fade(az.frac);
    const Float nx00 = Lerp(u, value[P[AA]], value[P[BA]]), nx10 = Lerp(u, value[P[AB]], value[P[BB]]);
    const Float nx01 = Lerp(u, value[P[AA + 1]], value[P[BA + 1]]), nx11 = Lerp(u, value[P[AB + 1]], value[P[BB + 1]]);
    return Lerp(w, Lerp(v, nx00, nx10), Lerp(v, nx01, nx11));
  }

  // Simplex noise over the skewed lattice. Only the fractional parts of the skewed coordinates are
  // needed to unskew (x0 = fx - (fx + fy + fz) / 6), so the wrapped lattice loses no precision. The
  // kernel radius r^2 = 0.5 keeps every corner's influence inside the simplices that share it, so the
  // field is continuous.
  Float SimplexNoise(const Vector& p) const
  {
    constexpr Float F3 = 1.0 / 3.0;
    constexpr Float G3 = 1.0 / 6.0;
    const Float s = (p.x + p.y + p.z) * F3;
    const Axis ax = SplitAxis(p.x + s), ay = SplitAxis(p.y + s), az = SplitAxis(p.z + s);
    const Float t = (ax.frac + ay.frac + az.frac) * G3;
    const Float x0 = ax.frac - t, y0 = ay.frac - t, z0 = az.frac - t;
    // Which simplex: the corners are visited along the axes in decreasing order of x0, y0, z0.
    const Int32 i1 = (x0 >= y0) & (x0 >= z0), j1 = (y0 > x0) & (y0 >= z0), k1 = (z0 > x0) & (z0 > y0);
    const Int32 i2 = (x0 >= y0) | (x0 >= z0), j2 = (y0 > x0) | (y0 >= z0), k2 = (z0 > x0) | (z0 > y0);
    const Float x1 = x0 - i1 + G3, y1 = y0 - j1 + G3, z1 = z0 - k1 + G3;
    const Float x2 = x0 - i2 + 2.0 * G3, y2 = y0 - j2 + 2.0 * G3, z2 = z0 - k2 + 2.0 * G3;
    const Float x3 = x0 - 1.0 + 3.0 * G3, y3 = y0 - 1.0 + 3.0 * G3, z3 = z0 - 1.0 + 3.0 * G3;
    const Int32 X = ax.cell, Y = ay.cell, Z = az.cell;
    const Gradient& g0 = gradAt[X + perm[Y + perm[Z]]];
    const Gradient& g1 = gradAt[X + i1 + perm[Y + j1 + perm[Z + k1]]];
    const Gradient& g2 = gradAt[X + i2 + perm[Y + j2 + perm[Z + k2]]];
    const Gradient& g3 = gradAt[X + 1 + perm[Y + 1 + perm[Z + 1]]];
    auto corner = [](const Gradient& g, Float x, Float y, Float z) {
      Float a = std::max(0.5 - x * x - y * y - z * z, 0.0);
      a *= a;
      return a * a * (g.x * x + g.y * y + g.z * z);
    };
    const Float n = corner(g0, x0, y0, z0) + corner(g1, x1, y1, z1) + corner(g2, x2, y2, z2) + corner(g3, x3, y3, z3);
    return Clamp11(n * SIMPLEX_SCALE);
  }

  // Nearest and second-nearest feature point over the 27 cells around the sample.
  struct Cells
  {
    Float f1, f2;
    Int32 nearest;   // hash of the nearest point's cell
  };

  template <Bool CHEBYSHEV>
  Cells CellSearch(const Vector& position) const
  {
    const Vector p = position + CELL_SHIFT;
    const Axis ax = SplitAxis(p.x), ay = SplitAxis(p.y), az = SplitAxis(p.z);
    Cells c{MAXVALUE_FLOAT, MAXVALUE_FLOAT, 0};
    for (Int32 dz = -1; dz <= 1; ++dz)
      for (Int32 dy = -1; dy <= 1; ++dy)
        for (Int32 dx = -1; dx <= 1; ++dx)
        {
          const Int32 h =
            Hash((ax.cell + dx) & LATTICE_MASK, (ay.cell + dy) & LATTICE_MASK, (az.cell + dz) & LATTICE_MASK);
          const Vector& f = feature[h];
          const Float ex = dx + f.x - ax.frac, ey = dy + f.y - ay.frac, ez = dz + f.z - az.frac;
          Float d;
          if constexpr (CHEBYSHEV)
            d = std::max(std::abs(ex), std::max(std::abs(ey), std::abs(ez)));
          else
            d = ex * ex + ey * ey + ez * ez;
          if (d < c.f1)
          {
            c.f2 = c.f1;
            c.f1 = d;
            c.nearest = h;
          }
          else if (d < c.f2)
          {
            c.f2 = d;
          }
        }
    if constexpr (!CHEBYSHEV)
    {
      c.f1 = std::sqrt(c.f1);
      c.f2 = std::sqrt(c.f2);
    }
    return c;
  }

  // ---- fractal sums ---------------------------------------------------------------------------------

  // The base noises of the fractal sums. FLAT marks gradient noise, which has the flat fast path.
  template <typename F>
  struct GradientFn
  {
    using Fade = F;
    static constexpr Bool FLAT = true;
    const NoiseGenerator* g;
    template <Bool GUARD>
    [[gnu::always_inline]] Float Eval(Float x, Float y, Float z) const
    {
      return g->GradientNoise<F, true, GUARD>(x, y, z);
    }
  };
  template <typename F>
  struct ValueFn
  {
    static constexpr Bool FLAT = false;
    const NoiseGenerator* g;
    template <Bool GUARD>
    Float Eval(Float x, Float y, Float z) const
    {
      return g->ValueNoise<F>(Vector(x, y, z));
    }
  };
  struct SimplexFn
  {
    static constexpr Bool FLAT = false;
    const NoiseGenerator* g;
    template <Bool GUARD>
    Float Eval(Float x, Float y, Float z) const
    {
      return g->SimplexNoise(Vector(x, y, z));
    }
  };

  // True when the sample may take the flat path over the octaves that reach `frequency`.
  Bool IsFlat(const Vector& p, Float frequency) const
  {
    return p.y == 0.0 && (std::abs(p.x) + std::abs(p.z)) * frequency < FLAT_REACH && fastPaths;
  }

  // sum(a_i shape(noise(p f_i + o_i))) / sum(a_i) over the octaves the argument asks for, the octave
  // values added in increasing order on every path.
  template <typename Noise, typename Shape>
  [[gnu::always_inline]] Float FractalSum(const FractalTable& t, const OctaveSet& set, const Vector& p, Float octaves,
                                          Noise noise, Shape shape) const
  {
    const OctaveCount oc = SplitOctaves(octaves, t.count);
    const Int32 last = OctavesToRun(oc);
    const Float frequency = t.ReachFrequency(oc);
    Float sum = 0.0;
    auto add = [&](Int32 k, Float n) { sum += t.Weight(oc, k) * shape(n); };
    if constexpr (Noise::FLAT)
      if (IsFlat(p, frequency)) [[likely]]
      {
        FlatOctaves<typename Noise::Fade>(t, set, p, last, add);
        return t.Normalize(sum, oc);
      }
    if ((std::abs(p.x) + std::abs(p.y) + std::abs(p.z)) * frequency < FAST_REACH) [[likely]]
      PlainOctaves<false>(t, set, p, last, noise, add);
    else
      PlainOctaves<true>(t, set, p, last, noise, add);
    return t.Normalize(sum, oc);
  }

  template <typename F>
  Float Fbm(const Vector& p, Float octaves) const
  {
    return FractalSum(fixed, fixedOctaves, p, octaves, GradientFn<F>{this}, Signed{});
  }

  template <typename F>
  Vector WarpField(const Vector& p, Float octaves) const
  {
    return Vector(Fbm<F>(p + auxOffset[AUX_WARP_X], octaves), Fbm<F>(p + auxOffset[AUX_WARP_Y], octaves),
                  Fbm<F>(p + auxOffset[AUX_WARP_Z], octaves));
  }

  static Float WarpScale(Float warp) { return std::isfinite(warp) ? warp * WARP_GAIN : 0.0; }

  // Musgrave's ridged multifractal over the InitFbm spectrum (see the header); `norm` receives the sum
  // of the weights of the octaves that took part (the bound of the result for offset 1).
  [[gnu::always_inline]] Float Ridged(const Vector& p, Float octaves, Float offset, Float gain, Int32 mask,
                                      Float* norm) const
  {
#if HOST_NOISE_PAIRS
    // Fast path 4 takes the noise operator's case: whole octaves, all taking part, on the plane Y = 0.
    // The tests that pick it are a sizeable share of a five-octave sample, so they are kept few, and
    // everything else goes to the general sum out of line. The weights taking part are the first
    // `last` amplitudes, whose sum, added in the same order, is the table's prefix.
    const FractalTable& t = Spectrum();
    const Float o = std::min(octaves, static_cast<Float>(t.count));   // as SplitOctaves limits it
    if (o >= 1.0) [[likely]]   // false for NaN
    {
      const Int32 last = static_cast<Int32>(o);
      if (static_cast<Float>(last) == o && AllOctavesTakePart(static_cast<UInt32>(mask), last) &&
          IsFlat(p, t.ReachFrequency({last, 0.0}))) [[likely]]
      {
        if (norm != nullptr)
          *norm = t.prefix[last];
        return RidgedFlatWhole(t, p, last, offset, gain);
      }
    }
#endif
    return RidgedGeneral(p, octaves, offset, gain, mask, norm);
  }

  // Octave k takes part when bit min(k, 31) of the mask is set: true when that holds for the first
  // `last` octaves.
  static Bool AllOctavesTakePart(UInt32 bits, Int32 last)
  {
    const UInt32 needed = last >= 32 ? ~0u : (1u << last) - 1u;
    return (bits & needed) == needed && (last < 32 || (bits >> 31) != 0);
  }

  // Any octave count, mask and position. Out of line: inlined, it made the fast path's caller spill
  // registers around the fast path too.
  [[gnu::noinline]] Float RidgedGeneral(const Vector& p, Float octaves, Float offset, Float gain, Int32 mask,
                                        Float* norm) const
  {
    const FractalTable& t = Spectrum();
    const OctaveCount oc = SplitOctaves(octaves, t.count);
    const UInt32 bits = static_cast<UInt32>(mask);
    // When every octave asked for takes part (as for 1023 and five octaves), the per-octave test is left
    // out.
    const Bool allEnabled = AllOctavesTakePart(bits, OctavesToRun(oc));
    Float bound = 0.0;
    const Float result = allEnabled ? RidgedSum<false>(t, oc, p, offset, gain, bits, bound)
                                    : RidgedSum<true>(t, oc, p, offset, gain, bits, bound);
    if (norm != nullptr)
      *norm = bound;
    return result;
  }

#if HOST_NOISE_PAIRS
  // Fast path 4: the ridged multifractal of a flat sample over `last` whole octaves that all take part.
  // Where the weight's clamp can change nothing (RidgedWeightStaysInRange) it is left out, and octave
  // counts up to 8 run fully unrolled, with no loop and the first octave's weight of exactly 1 folded
  // away; each of the two saves about an eighth of a five-octave sample.
  [[gnu::always_inline]] Float RidgedFlatWhole(const FractalTable& t, const Vector& p, Int32 last, Float offset,
                                               Float gain) const
  {
    if (!RidgedWeightStaysInRange(offset, gain)) [[unlikely]]
      return RidgedFlatSum<true>(t, p, last, offset, gain);
    switch (last)
    {
      case 1: return RidgedFlatSum<false, 1>(t, p, last, offset, gain);
      case 2: return RidgedFlatSum<false, 2>(t, p, last, offset, gain);
      case 3: return RidgedFlatSum<false, 3>(t, p, last, offset, gain);
      case 4: return RidgedFlatSum<false, 4>(t, p, last, offset, gain);
      case 5: return RidgedFlatSum<false, 5>(t, p, last, offset, gain);
      case 6: return RidgedFlatSum<false, 6>(t, p, last, offset, gain);
      case 7: return RidgedFlatSum<false, 7>(t, p, last, offset, gain);
      case 8: return RidgedFlatSum<false, 8>(t, p, last, offset, gain);
      default: return RidgedFlatSum<false>(t, p, last, offset, gain);
    }
  }

  // True when the weight's clamp to [0, 1] can never change it. Gradient noise on the flat path is
  // finite and below 1.7 in magnitude (corner terms g.x dx + g.z dz of unit gradients and offsets with
  // |(dx, dz)| < sqrt 2, blended with weights in [0, 1], times GRADIENT_SCALE). So with offset 1,
  // 1 - |n| lies in [-1, 1] and r = (1 - |n|)^2 in [0, 1], and with a gain in (0, 1] every weight, a
  // product of such factors starting from 1, stays in [0, 1]. The rounded products do too: rounding is
  // monotonic and 1 x 1 rounds to 1. (A gain of -0 makes the unclamped weight -0 where the clamp gives
  // +0, so it stays on the clamped path.)
  static Bool RidgedWeightStaysInRange(Float offset, Float gain) { return offset == 1.0 && gain > 0.0 && gain <= 1.0; }

  // RidgedSum's fold over the whole octaves 0 .. count - 1 (or N, when N > 0 fixes the count at compile
  // time), each weighted by its amplitude: the octaves in pairs as in FlatOctaves, each pair shaped into
  // r, r a and r gain in one vector (per lane the scalar fold's IEEE operations, in its order), so that
  // only the weight's chain from one octave to the next is scalar. CLAMP false leaves out the weight's
  // clamp. The lambdas are forced inline: called, they cost more than their bodies.
  template <Bool CLAMP, Int32 N = 0>
  [[gnu::always_inline]] Float RidgedFlatSum(const FractalTable& t, const Vector& p, Int32 count, Float offset,
                                             Float gain) const
  {
    const OctaveSet& set = spectrumOctaves;
    Float result = 0.0, weight = 1.0;
    auto chain = [&](Float ra, Float rg) __attribute__((always_inline)) {
      result += ra * weight;
      weight = CLAMP ? Clamp01(rg * weight) : rg * weight;
    };
    const Float2 offset2 = {offset, offset}, gain2 = {gain, gain};
    auto pair = [&](Int32 i) __attribute__((always_inline)) {
      Float2 f, ox, oz, a;
      std::memcpy(&f, &t.frequency[i], sizeof f);
      std::memcpy(&ox, &set.offsetX[i], sizeof ox);
      std::memcpy(&oz, &set.offsetZ[i], sizeof oz);
      std::memcpy(&a, &t.amplitude[i], sizeof a);
      const Float2 n = FlatGradientPair<Quintic>(set.row[i], set.row[i + 1], p.x * f + ox, p.z * f + oz);
      Float2 r = offset2 - Abs(n);
      r *= r;
      const Float2 ra = r * a, rg = r * gain2;
      chain(ra[0], rg[0]);
      chain(ra[1], rg[1]);
    };
    auto single = [&](Int32 i) __attribute__((always_inline)) {
      const Float f = t.frequency[i];
      const Float n = FlatGradient<Quintic>(set.row[i], p.x * f + set.offsetX[i], p.z * f + set.offsetZ[i]);
      Float r = offset - std::abs(n);
      r *= r;
      result += (r * t.amplitude[i]) * weight;
    };
    if constexpr (N > 0)
    {
      // Unrolled here rather than left to the compiler, which keeps a loop around bodies this long.
      [&]<Int32... K>(std::integer_sequence<Int32, K...>) __attribute__((always_inline)) {
        (pair(2 * K), ...);
      }(std::make_integer_sequence<Int32, N / 2>{});
      if constexpr (N % 2 != 0)
        single(N - 1);
    }
    else
    {
      Int32 i = 0;
      for (; i + 1 < count; i += 2)
        pair(i);
      if (i < count)
        single(i);
    }
    return result;
  }
#endif

  template <Bool MASKED>
  [[gnu::always_inline]] Float RidgedSum(const FractalTable& t, OctaveCount oc, const Vector& p, Float offset,
                                         Float gain, UInt32 bits, Float& bound) const
  {
    const Int32 last = OctavesToRun(oc);
    const Float frequency = t.ReachFrequency(oc);
    // With r_k = (offset - |n_k|)^2 and w the weight so far, octave k adds (r_k a_k) w and leaves the
    // weight clamp((r_k gain) w): the products that do not need w are formed first, so that only one
    // multiply and the clamp lie on the chain from one octave's weight to the next.
    Float result = 0.0, weight = 1.0, sum = 0.0;
    auto fold = [&](Int32 k, Float n) {
      if constexpr (MASKED)
        if (((bits >> std::min(k, 31)) & 1u) == 0)
          return;
      const Float a = t.Weight(oc, k);
      Float r = offset - std::abs(n);
      r *= r;
      result += (r * a) * weight;
      sum += a;
      weight = Clamp01((r * gain) * weight);
    };
    if (IsFlat(p, frequency)) [[likely]]
      FlatOctaves<Quintic>(t, spectrumOctaves, p, last, fold);
    else if ((std::abs(p.x) + std::abs(p.y) + std::abs(p.z)) * frequency < FAST_REACH) [[likely]]
      PlainOctaves<false>(t, spectrumOctaves, p, last, GradientFn<Quintic>{this}, fold);
    else
      PlainOctaves<true>(t, spectrumOctaves, p, last, GradientFn<Quintic>{this}, fold);
    bound = sum;
    return result;
  }

  // ---- the noise types ------------------------------------------------------------------------------

  template <typename F>
  Float Evaluate(Int32 type, const Vector& p, Float octaves, Float warp, Float modulation) const
  {
    auto G = [this](const Vector& q) { return GradientNoise<F>(q); };
    switch (type)
    {
      case NOISE_VALUE:
        return To01(ValueNoise<F>(p));
      case NOISE_GRADIENT:
        return To01(G(p));
      case NOISE_SPECTRAL_FBM:
        return To01(FractalSum(Spectrum(), spectrumOctaves, p, octaves, GradientFn<F>{this}, Signed{}));
      case NOISE_SIMPLEX:
        return To01(SimplexNoise(p));
      case NOISE_CELLS_F1:
        return CellSearch<false>(p).f1 / F1_BOUND;
      case NOISE_CELLS_F2:
        return CellSearch<false>(p).f2 / F2_BOUND;
      case NOISE_TURBULENCE:
        return FractalSum(fixed, fixedOctaves, p, octaves, GradientFn<F>{this}, Absolute{});
      case NOISE_SPECTRAL_RIDGES:
        return FractalSum(Spectrum(), ridgeOctaves, p, octaves, GradientFn<F>{this}, RidgeSquared{});
      case NOISE_CELL_EDGES:
      {
        const Cells c = CellSearch<false>(p);
        return (c.f2 - c.f1) / F2_BOUND;
      }
      case NOISE_CELL_MOSAIC:
        return To01(value[perm[CellSearch<false>(p).nearest]]);   // a second hash: not the blocks' value
      case NOISE_RIDGE:
        return 1.0 - std::abs(G(p));
      case NOISE_SIMPLEX_FBM:
        return To01(FractalSum(fixed, fixedOctaves, p, octaves, SimplexFn{this}, Signed{}));
      case NOISE_WARPED_GRADIENT:
        return To01(G(p + WarpField<F>(p, 1.0) * WarpScale(warp)));
      case NOISE_BILLOW:
        return FractalSum(fixed, fixedOctaves, p, octaves, SimplexFn{this}, Squared{});
      case NOISE_MARBLE:
      {
        const Float turbulence = FractalSum(fixed, fixedOctaves, p, MARBLE_OCTAVES, GradientFn<F>{this}, Absolute{});
        return To01(std::sin(MARBLE_FREQUENCY * (p.x + p.z) + MARBLE_TURBULENCE * turbulence));
      }
      case NOISE_WOOD:
      {
        const Float r = std::sqrt(p.x * p.x + p.z * p.z);
        const Float bend = WOOD_NOISE * G(p * 2.0 + auxOffset[AUX_WOOD]);
        return To01(std::cos(TWO_PI * (r * WOOD_RINGS + bend)));
      }
      case NOISE_WAVE_MODULATED_FBM:
      {
        const Float m = Clamp01(modulation);
        const Float wave = To01(std::sin(TWO_PI * WAVE_FREQUENCY * p.x));
        return To01(Fbm<F>(p, WAVE_FBM_OCTAVES)) * (1.0 - m + m * wave);
      }
      case NOISE_DUNES:
      {
        const Float phase =
          TWO_PI * (p.x * DUNE_FREQUENCY + DUNE_BEND * G(p * DUNE_FREQUENCY + auxOffset[AUX_DUNES]));
        return To01(std::sin(phase - DUNE_SKEW * std::cos(phase)));
      }
      case NOISE_CELLS_CHEBYSHEV:
        return CellSearch<true>(p).f1 / F1_CHEBYSHEV_BOUND;
      case NOISE_VALUE_FBM:
        return To01(FractalSum(fixed, fixedOctaves, p, octaves, ValueFn<F>{this}, Signed{}));
      case NOISE_CELL_RIPPLES:
      {
        const Float f1 = CellSearch<false>(p).f1;
        return To01(std::cos(TWO_PI * RIPPLE_RINGS * f1) * (1.0 - f1 / F1_BOUND));
      }
      case NOISE_WARPED_FBM:
        return To01(Fbm<F>(p + WarpField<F>(p, WARP_FBM_OCTAVES) * WarpScale(warp), octaves));
      case NOISE_CRATERS:
      {
        const Float d = CellSearch<false>(p).f1 / CRATER_RADIUS;
        if (d < 1.0)
          return CRATER_FLOOR + (1.0 - CRATER_FLOOR) * d * d;
        if (d < 2.0)
          return 1.0 - (1.0 - CRATER_PLAIN) * SmoothStep(d - 1.0);
        return CRATER_PLAIN;
      }
      case NOISE_WARPED_CELLS:
        return CellSearch<false>(p + WarpField<F>(p, 1.0) * WarpScale(warp)).f1 / F1_BOUND;
      case NOISE_TERRACES:
      {
        const Float t = Clamp01(To01(Fbm<F>(p, TERRACE_OCTAVES))) * TERRACE_STEPS;
        const Float step = std::floor(t);
        return (step + SmoothStep(SmoothStep(t - step))) / TERRACE_STEPS;
      }
      case NOISE_BLOCKS:
      {
        const Axis ax = SplitAxis(p.x), ay = SplitAxis(p.y), az = SplitAxis(p.z);
        return To01(value[Hash(ax.cell, ay.cell, az.cell)]);
      }
      case NOISE_SPOTS:
        return 1.0 - SmoothStep((CellSearch<false>(p).f1 - SPOT_INNER) / (SPOT_OUTER - SPOT_INNER));
      case NOISE_INTERFERENCE:
      {
        const Float bendA = INTERFERENCE_BEND * G(p + auxOffset[AUX_WAVE_A]);
        const Float bendB = INTERFERENCE_BEND * G(p + auxOffset[AUX_WAVE_B]);
        const Float a = std::sin(TWO_PI * INTERFERENCE_FREQUENCY * p.x + bendA);
        const Float b = std::sin(TWO_PI * INTERFERENCE_FREQUENCY * p.z + bendB);
        return 0.5 + 0.25 * (a + b);
      }
      case NOISE_HYBRID_MULTIFRACTAL:
      {
        Float result = 0.0, weight = 1.0;
        for (Int32 i = 0; i < HYBRID_OCTAVES; ++i)
        {
          const Float signal = To01(G(p * fixed.frequency[i] + fixedOctaves.offset[i]));
          result += weight * hybridAmplitude[i] * signal;
          weight = std::min(weight * signal * HYBRID_GAIN, 1.0);
        }
        return result * hybridInverseSum;
      }
      case NOISE_RIDGED_MULTIFRACTAL:
      {
        Float bound = 0.0;
        const Float r = Ridged(p, octaves, 1.0, 1.0, -1, &bound);
        return bound > 0.0 ? r / bound : 0.0;
      }
      default:
        return To01(Fbm<F>(p, octaves));   // NOISE_FBM and every unknown type
    }
  }

private:
  void BuildRows(OctaveSet& set, Int32 from, Int32 to)
  {
    for (Int32 i = from; i < to; ++i)
    {
      const Int32 y = static_cast<Int32>(set.offset[i].y);
      for (Int32 x = 0; x < ROW_SIZE; ++x)
        set.row[i][x] = static_cast<UInt32>(perm[perm[x] + y]) * sizeof(GradientXZ);
    }
  }

  void Build(Int32 seed)
  {
    SplitMix64 rng{static_cast<UInt64>(static_cast<UInt32>(seed)) ^ 0x6A09E667F3BCC909ull};
    auto shuffle = [&rng](Int32* a, Int32 n) {
      for (Int32 i = n - 1; i > 0; --i)
        std::swap(a[i], a[rng.Below(static_cast<UInt32>(i + 1))]);
    };
    Int32 order[LATTICE_SIZE];
    auto shuffledOrder = [&]() {
      for (Int32 i = 0; i < LATTICE_SIZE; ++i)
        order[i] = i;
      shuffle(order, LATTICE_SIZE);
    };

    shuffledOrder();
    for (Int32 i = 0; i < LATTICE_SIZE; ++i)
      perm[i] = perm[i + LATTICE_SIZE] = order[i];

    // Gradients: the 256 directions of a Fibonacci sphere (evenly spread, unlike random draws, which
    // clump and leave visible streaks), dealt out to the hash values in a seeded order. The angles k
    // times the golden angle come from a rotation recurrence and the lengths are normalised with sqrt,
    // so the directions are the same with any maths library.
    Gradient sphere[LATTICE_SIZE];
    Float c = 1.0, sn = 0.0;
    for (Int32 k = 0; k < LATTICE_SIZE; ++k)
    {
      const Float z = 1.0 - (2.0 * k + 1.0) / LATTICE_SIZE;
      const Float r = std::sqrt(1.0 - z * z);
      const Float x = r * c, y = r * sn;
      const Float len = std::sqrt(x * x + y * y + z * z);
      sphere[k] = {x / len, y / len, z / len, 0.0};
      const Float nc = c * GOLDEN_COS - sn * GOLDEN_SIN;
      sn = sn * GOLDEN_COS + c * GOLDEN_SIN;
      c = nc;
    }
    shuffledOrder();
    Gradient grad[LATTICE_SIZE];
    for (Int32 i = 0; i < LATTICE_SIZE; ++i)
      grad[i] = sphere[order[i]];
    for (Int32 k = 0; k < 2 * LATTICE_SIZE; ++k)
    {
      gradAt[k] = grad[perm[k]];
      gradXZ[k] = {gradAt[k].x, gradAt[k].z};
    }

    // Lattice values evenly spaced over [-1, 1], in a seeded order.
    shuffledOrder();
    for (Int32 i = 0; i < LATTICE_SIZE; ++i)
      value[i] = -1.0 + 2.0 * order[i] / (LATTICE_SIZE - 1);

    for (Vector& f : feature)
    {
      f.x = FEATURE_MIN + FEATURE_SPAN * rng.Next01();
      f.y = FEATURE_MIN + FEATURE_SPAN * rng.Next01();
      f.z = FEATURE_MIN + FEATURE_SPAN * rng.Next01();
    }
    // Offsets have a whole Y in [0, 256), so that a sample on a lattice plane of Y stays on one in every
    // octave and field, and a sample with Y = 0 sits in the octave's row table's Y cell.
    auto randomOffset = [&rng]() {
      const Float x = rng.Next01(), y = rng.Next01(), z = rng.Next01();
      return Vector(x * LATTICE_SIZE, std::floor(y * LATTICE_SIZE), z * LATTICE_SIZE);
    };
    for (OctaveSet* set : {&fixedOctaves, &spectrumOctaves, &ridgeOctaves})
    {
      for (Int32 i = 0; i < MAX_SPECTRUM_OCTAVES; ++i)
      {
        set->offset[i] = randomOffset();
        set->offsetX[i] = set->offset[i].x;
        set->offsetZ[i] = set->offset[i].z;
      }
      BuildRows(*set, 0, MAX_FRACTAL_OCTAVES);
    }
    spectrumRows = MAX_FRACTAL_OCTAVES;
    for (Vector& o : auxOffset)
      o = randomOffset();
    for (Int32 x = 0; x < ROW_SIZE; ++x)
      planeRow[x] = static_cast<UInt32>(perm[perm[x]]) * sizeof(GradientXZ);

    fixed.Build(MAX_FRACTAL_OCTAVES, FRACTAL_LACUNARITY, FRACTAL_GAIN);
    Float sum = 0.0;
    for (Int32 i = 0; i < HYBRID_OCTAVES; ++i)
    {
      hybridAmplitude[i] = i > 0 ? hybridAmplitude[i - 1] * HYBRID_RATIO : 1.0;
      sum += hybridAmplitude[i];
    }
    hybridInverseSum = 1.0 / sum;
  }
};

NoiseGenerator* NoiseLibrary::Create(Int32 seed)
{
  return NewObj<NoiseGenerator>(seed);
}

void NoiseLibrary::Free(NoiseGenerator*& generator)
{
  DeleteObj(generator);
}

Bool NoiseLibrary::InitFbm(NoiseGenerator* generator, Int32 octaves, Float lacunarity, Float exponent)
{
  if (generator == nullptr || octaves < 1 || octaves > MAX_SPECTRUM_OCTAVES || !std::isfinite(lacunarity) ||
      !std::isfinite(exponent))
    return false;
  std::unique_ptr<FractalTable> table(NewObj<FractalTable>());
  if (!table)
    return false;
  // A negative lacunarity would only mirror the octaves, and weights from a lacunarity near 0 or an
  // extreme exponent would overflow: the clamps keep every weight finite and positive.
  const Float lac = std::clamp(std::abs(lacunarity), MIN_LACUNARITY, MAX_LACUNARITY);
  const Float exp = std::clamp(exponent, MIN_SPECTRAL_EXPONENT, MAX_SPECTRAL_EXPONENT);
  table->Build(octaves, lac, std::pow(lac, -exp));
  generator->ReachSpectrumRows(octaves);
  generator->spectrum = std::move(table);
  return true;
}

Float NoiseLibrary::Noise(const NoiseGenerator* generator, Int32 type, Bool smooth, const Vector& position, Float time,
                          Float octaves, Bool absolute, Float warp, Float modulation, Int32 layer)
{
  if (generator == nullptr)
    return 0.0;
  // At time 0 the drift would only turn a -0 into a +0, which changes no value.
  Vector p = time == 0.0 ? position : position + TIME_DRIFT * time;
  if (layer != 0)
  {
    // A fixed shift per layer value, within one lattice period so that it costs no precision, and with
    // a whole Y like the octave offsets.
    SplitMix64 h{static_cast<UInt64>(static_cast<UInt32>(layer))};
    const Float x = h.Next01(), y = h.Next01(), z = h.Next01();
    p += Vector(x * LATTICE_SIZE, std::floor(y * LATTICE_SIZE), z * LATTICE_SIZE);
  }
  Float v;
  if (type == NOISE_FBM && smooth)   // the default type, inlined here: the hot path of the noise operator
    v = To01(generator->FractalSum(generator->fixed, generator->fixedOctaves, p, octaves,
                                   NoiseGenerator::GradientFn<Quintic>{generator}, Signed{}));
  else
    v = smooth ? generator->Evaluate<Quintic>(type, p, octaves, warp, modulation)
               : generator->Evaluate<Cubic>(type, p, octaves, warp, modulation);
  v = Clamp01(v);
  if (absolute)
    v = std::abs(2.0 * v - 1.0);
  return v;
}

Float NoiseLibrary::RidgedMultifractal(const NoiseGenerator* generator, const Vector& position, Float time,
                                       Float octaves, Float offset, Float gain, Int32 octaveMask)
{
  if (generator == nullptr)
    return 0.0;
  // At time 0 the position is read where it lies. (A local copy, which the out-of-line general sum
  // would need in memory, stalled on the caller's fresh stores and cost a fifth of a sample.) A drifted
  // position lies on the plane Y = 0 only by chance, so it goes straight to the general sum.
  const Float r = time == 0.0 ? generator->Ridged(position, octaves, offset, gain, octaveMask, nullptr)
                              : generator->RidgedGeneral(position + TIME_DRIFT * time, octaves, offset, gain,
                                                         octaveMask, nullptr);
  return std::isfinite(r) ? r : 0.0;
}

// ---- HostNoise3D ------------------------------------------------------------------------------------

namespace
{
// The test switches that concern HostNoise3D, in one word so that a call tests them with one load.
constexpr UInt32 HOSTNOISE_COUNT = 1;       // count the calls
constexpr UInt32 HOSTNOISE_REFERENCE = 2;   // the fast paths are off
std::atomic<UInt32> g_hostNoiseSwitches{0};
std::atomic<Int> g_hostNoiseCalls{0};

void SetHostNoiseSwitch(UInt32 bit, Bool on)
{
  if (on)
    g_hostNoiseSwitches.fetch_or(bit, std::memory_order_relaxed);
  else
    g_hostNoiseSwitches.fetch_and(~bit, std::memory_order_relaxed);
}

// Built when the library loads rather than on first use, so that a call pays no guard test. Nothing
// samples noise while static objects are still being constructed.
const NoiseGenerator g_hostNoiseTables(HOST_NOISE_SEED);

[[gnu::always_inline]] inline const NoiseGenerator& HostNoiseTables()
{
  return g_hostNoiseTables;
}

[[gnu::noinline]] Float HostNoise3DWithSwitches(const Vector& position, Float time, UInt32 switches)
{
  if ((switches & HOSTNOISE_COUNT) != 0)
    g_hostNoiseCalls.fetch_add(1, std::memory_order_relaxed);
  const Vector p = position + TIME_DRIFT * time;
  const NoiseGenerator& tables = HostNoiseTables();
  const Float n = (switches & HOSTNOISE_REFERENCE) != 0 ? tables.GradientNoise<Quintic, false>(p)
                                                         : tables.GradientNoise<Quintic, true>(p);
  return Clamp01(To01(n));
}
} // namespace

Float HostNoise3D(const Vector& position, Float time)
{
  const UInt32 switches = g_hostNoiseSwitches.load(std::memory_order_relaxed);
  if (switches != 0) [[unlikely]]
    return HostNoise3DWithSwitches(position, time, switches);
  const NoiseGenerator& tables = HostNoiseTables();
  // The terrain plane at time 0 (the drift would only turn a -0 into a +0 there): its row table.
  if (time == 0.0 && position.y == 0.0 && std::abs(position.x) + std::abs(position.z) < FLAT_REACH) [[likely]]
    return Clamp01(To01(tables.FlatGradient<Quintic, true>(tables.planeRow, position.x, position.z)));
  return Clamp01(To01(tables.GradientNoise<Quintic, true>(position + TIME_DRIFT * time)));
}

Float HostNoise3D(const Vector& position)
{
  return HostNoise3D(position, 0.0);
}

namespace host
{
namespace
{
constexpr NoiseTypeInfo NOISE_TYPES[] = {
  {NOISE_VALUE, "Value", false, false},
  {NOISE_GRADIENT, "Gradient", false, false},
  {NOISE_SPECTRAL_FBM, "Spectral fBm", true, true},
  {NOISE_SIMPLEX, "Simplex", false, false},
  {NOISE_CELLS_F1, "Cells F1", false, false},
  {NOISE_CELLS_F2, "Cells F2", false, false},
  {NOISE_TURBULENCE, "Turbulence", true, false},
  {NOISE_SPECTRAL_RIDGES, "Spectral Ridges", true, true},
  {NOISE_CELL_EDGES, "Cell Edges", false, false},
  {NOISE_CELL_MOSAIC, "Cell Mosaic", false, false},
  {NOISE_RIDGE, "Ridge", false, false},
  {NOISE_SIMPLEX_FBM, "Simplex fBm", true, false},
  {NOISE_WARPED_GRADIENT, "Warped Gradient", false, false},
  {NOISE_BILLOW, "Billow", true, false},
  {NOISE_MARBLE, "Marble", false, false},
  {NOISE_WOOD, "Wood", false, false},
  {NOISE_WAVE_MODULATED_FBM, "Wave-Modulated fBm", false, false},
  {NOISE_DUNES, "Dunes", false, false},
  {NOISE_CELLS_CHEBYSHEV, "Cells Chebyshev", false, false},
  {NOISE_VALUE_FBM, "Value fBm", true, false},
  {NOISE_FBM, "fBm", true, false},
  {NOISE_CELL_RIPPLES, "Cell Ripples", false, false},
  {NOISE_WARPED_FBM, "Warped fBm", true, false},
  {NOISE_CRATERS, "Craters", false, false},
  {NOISE_WARPED_CELLS, "Warped Cells", false, false},
  {NOISE_TERRACES, "Terraces", false, false},
  {NOISE_BLOCKS, "Blocks", false, false},
  {NOISE_SPOTS, "Spots", false, false},
  {NOISE_INTERFERENCE, "Interference", false, false},
  {NOISE_HYBRID_MULTIFRACTAL, "Hybrid Multifractal", false, false},
  {NOISE_RIDGED_MULTIFRACTAL, "Ridged Multifractal", true, true},
};
} // namespace

const NoiseTypeInfo* GetNoiseTypes(Int& count)
{
  count = static_cast<Int>(std::size(NOISE_TYPES));
  return NOISE_TYPES;
}

const char* GetNoiseTypeName(Int32 type)
{
  for (const NoiseTypeInfo& t : NOISE_TYPES)
    if (t.type == type)
      return t.name;
  return nullptr;
}

Bool IsKnownNoiseType(Int32 type)
{
  return GetNoiseTypeName(type) != nullptr;
}

void SetHostNoiseCounting(Bool enabled)
{
  if (enabled)
    g_hostNoiseCalls.store(0, std::memory_order_relaxed);
  SetHostNoiseSwitch(HOSTNOISE_COUNT, enabled);
}

Int GetHostNoiseCallCount()
{
  return g_hostNoiseCalls.load(std::memory_order_relaxed);
}

void SetNoiseFastPaths(Bool enabled)
{
  g_fastPaths.store(enabled, std::memory_order_relaxed);
  SetHostNoiseSwitch(HOSTNOISE_REFERENCE, !enabled);
}
} // namespace host
