// The host's noise library and solid noise: the type table, determinism, ranges, what each argument
// changes, the fractal sums against their formulas, the fast paths against the scalar reference,
// continuity, threads and allocation.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/parallel.h"
#include "host/noise/noise.h"
#include "support/test_support.h"

// Every heap allocation of this test program is counted, so that a test can show that sampling makes
// none.
namespace
{
std::atomic<Int> g_heapAllocations{0};

// Kept out of line: once a deallocation is inlined next to a `new`, the compiler sees malloc'd memory
// released by a replaced operator delete and warns of a mismatch that is none (both ends are ours).
[[gnu::noinline]] void ReleaseBlock(void* p) noexcept
{
  std::free(p);
}
}

void* operator new(std::size_t size)
{
  g_heapAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size))
    return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
  return operator new(size);
}
void* operator new(std::size_t size, std::align_val_t align)
{
  g_heapAllocations.fetch_add(1, std::memory_order_relaxed);
  const std::size_t a = static_cast<std::size_t>(align);
  if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a))
    return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align)
{
  return operator new(size, align);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
  g_heapAllocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept
{
  g_heapAllocations.fetch_add(1, std::memory_order_relaxed);
  const std::size_t a = static_cast<std::size_t>(align);
  return std::aligned_alloc(a, (size + a - 1) / a * a);
}
void operator delete(void* p) noexcept
{
  ReleaseBlock(p);
}
void operator delete[](void* p) noexcept
{
  ReleaseBlock(p);
}
void operator delete(void* p, std::size_t) noexcept
{
  ReleaseBlock(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
  ReleaseBlock(p);
}
void operator delete(void* p, std::align_val_t) noexcept
{
  ReleaseBlock(p);
}
void operator delete[](void* p, std::align_val_t) noexcept
{
  ReleaseBlock(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept
{
  ReleaseBlock(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept
{
  ReleaseBlock(p);
}

namespace
{
constexpr Int32 SEED = 4242;
constexpr Float NaN = std::numeric_limits<Float>::quiet_NaN();
constexpr Float INF = std::numeric_limits<Float>::infinity();
// The operator's arguments: its default octave value and the fixed Floats and Int32.
constexpr Float OCTAVES = 5.0;
constexpr Float WARP = 0.25;
constexpr Float MODULATION = 0.25;
// The operator's spectra.
constexpr Int32 RIDGED_SPECTRUM = 20;
constexpr Float RIDGED_LACUNARITY = 2.2;
constexpr Float RIDGED_EXPONENT = 0.8;
constexpr Int32 FBM_SPECTRUM = 12;
constexpr Float FBM_LACUNARITY = 1.95;
constexpr Float FBM_EXPONENT = 0.95;

const std::set<Int32> OCTAVE_TYPES = {3, 7, 8, 12, 14, 20, 21, 23, 64};
const std::set<Int32> SPECTRUM_TYPES = {3, 8, 64};

std::vector<Int32> AllTypes()
{
  Int count = 0;
  const host::NoiseTypeInfo* types = host::GetNoiseTypes(count);
  std::vector<Int32> out;
  for (Int i = 0; i < count; ++i)
    out.push_back(types[i].type);
  return out;
}

// Frees the generator at the end of the scope.
struct Generator
{
  NoiseGenerator* g;
  explicit Generator(Int32 seed) : g(NoiseLibrary::Create(seed)) {}
  ~Generator() { NoiseLibrary::Free(g); }
  Generator(const Generator&) = delete;
  Generator& operator=(const Generator&) = delete;
  operator NoiseGenerator*() const { return g; }
};

// The arguments of one Noise call besides the generator, type and position.
struct Args
{
  Bool smooth = true;
  Float time = 0.0;
  Float octaves = OCTAVES;
  Bool absolute = false;
  Float warp = WARP;
  Float modulation = MODULATION;
  Int32 layer = 0;
};

Float Sample(const NoiseGenerator* g, Int32 type, const Vector& p, const Args& a = {})
{
  return NoiseLibrary::Noise(g, type, a.smooth, p, a.time, a.octaves, a.absolute, a.warp, a.modulation, a.layer);
}

// Positions of an n x n grid on the plane Y = y, spanning `span` lattice cells around `origin` (the
// operator's layout: the flat path when y is 0).
std::vector<Vector> Plane(Int n, Float span, Float y = 0.0, Vector origin = Vector(-3.3, 0.0, 2.1))
{
  std::vector<Vector> out;
  for (Int j = 0; j < n; ++j)
    for (Int i = 0; i < n; ++i)
      out.emplace_back(origin.x + span * static_cast<Float>(i) / static_cast<Float>(n - 1), y,
                       origin.z + span * static_cast<Float>(j) / static_cast<Float>(n - 1));
  return out;
}

// Pseudo-random positions in a box of +-extent, off every lattice plane.
std::vector<Vector> Scatter(Int n, Float extent, UInt32 seed = 7)
{
  std::vector<Vector> out;
  UInt64 s = seed;
  auto next = [&s]() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<Float>(s >> 11) * 0x1.0p-53 * 2.0 - 1.0;
  };
  for (Int i = 0; i < n; ++i)
  {
    const Float x = next() * extent, y = next() * extent, z = next() * extent;
    out.emplace_back(x, y, z);
  }
  return out;
}

std::vector<Float> Field(const NoiseGenerator* g, Int32 type, const std::vector<Vector>& ps, const Args& a = {})
{
  std::vector<Float> out;
  out.reserve(ps.size());
  for (const Vector& p : ps)
    out.push_back(Sample(g, type, p, a));
  return out;
}

Bool SameField(const std::vector<Float>& a, const std::vector<Float>& b)
{
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!Same(a[i], b[i]))
      return false;
  return true;
}

Float Correlation(const std::vector<Float>& a, const std::vector<Float>& b)
{
  const Float n = static_cast<Float>(a.size());
  Float ma = 0.0, mb = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i)
  {
    ma += a[i];
    mb += b[i];
  }
  ma /= n;
  mb /= n;
  Float sab = 0.0, saa = 0.0, sbb = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i)
  {
    sab += (a[i] - ma) * (b[i] - mb);
    saa += (a[i] - ma) * (a[i] - ma);
    sbb += (b[i] - mb) * (b[i] - mb);
  }
  return (saa == 0.0 || sbb == 0.0) ? 0.0 : sab / std::sqrt(saa * sbb);
}

Float StdDev(const std::vector<Float>& a)
{
  Float m = 0.0;
  for (Float v : a)
    m += v;
  m /= static_cast<Float>(a.size());
  Float s = 0.0;
  for (Float v : a)
    s += (v - m) * (v - m);
  return std::sqrt(s / static_cast<Float>(a.size()));
}
} // namespace

// ---- the type table --------------------------------------------------------------------------------

TEST(NoiseTypes, TableListsOneToThirtyThenSixtyFourWithDistinctNames)
{
  Int count = 0;
  const host::NoiseTypeInfo* types = host::GetNoiseTypes(count);
  ASSERT_EQ(count, 31);
  std::set<std::string> names;
  for (Int i = 0; i < count; ++i)
  {
    EXPECT_EQ(types[i].type, i < 30 ? static_cast<Int32>(i + 1) : NOISE_RIDGED_MULTIFRACTAL);
    ASSERT_NE(types[i].name, nullptr);
    EXPECT_FALSE(std::string(types[i].name).empty());
    names.insert(types[i].name);
    EXPECT_STREQ(host::GetNoiseTypeName(types[i].type), types[i].name);
    EXPECT_TRUE(host::IsKnownNoiseType(types[i].type));
    // The octave switch of the noise operator is enabled for exactly these types.
    EXPECT_EQ(types[i].usesOctaves, OCTAVE_TYPES.count(types[i].type) == 1) << types[i].type;
    EXPECT_EQ(types[i].usesSpectrum, SPECTRUM_TYPES.count(types[i].type) == 1) << types[i].type;
  }
  EXPECT_EQ(names.size(), 31u);
  EXPECT_STREQ(host::GetNoiseTypeName(NOISE_DEFAULT), "fBm");
  EXPECT_STREQ(host::GetNoiseTypeName(64), "Ridged Multifractal");
  for (Int32 unknown : {0, -1, 31, 63, 65, std::numeric_limits<Int32>::min()})
  {
    EXPECT_EQ(host::GetNoiseTypeName(unknown), nullptr) << unknown;
    EXPECT_FALSE(host::IsKnownNoiseType(unknown)) << unknown;
  }
}

// ---- generator lifetime and failures -----------------------------------------------------------------

TEST(NoiseLibrary, CreateAndInitFbmFailWhenTheirAllocationFails)
{
  {
    host::ScopedAllocationFailure fail(1);
    NoiseGenerator* g = NoiseLibrary::Create(SEED);
    EXPECT_EQ(g, nullptr);
  }
  Generator g(SEED);
  ASSERT_NE(g.g, nullptr);
  const std::vector<Vector> ps = Plane(16, 4.0);
  const std::vector<Float> before = Field(g, NOISE_SPECTRAL_FBM, ps);
  {
    host::ScopedAllocationFailure fail(1);
    EXPECT_FALSE(NoiseLibrary::InitFbm(g, FBM_SPECTRUM, FBM_LACUNARITY, FBM_EXPONENT));
  }
  EXPECT_TRUE(SameField(Field(g, NOISE_SPECTRAL_FBM, ps), before)) << "a failed InitFbm keeps the spectrum";
  EXPECT_TRUE(NoiseLibrary::InitFbm(g, FBM_SPECTRUM, FBM_LACUNARITY, FBM_EXPONENT));
}

TEST(NoiseLibrary, InitFbmRefusesBadArgumentsAndKeepsTheSpectrum)
{
  Generator g(SEED);
  ASSERT_TRUE(NoiseLibrary::InitFbm(g, RIDGED_SPECTRUM, RIDGED_LACUNARITY, RIDGED_EXPONENT));
  const std::vector<Vector> ps = Plane(16, 4.0);
  const std::vector<Float> before = Field(g, NOISE_RIDGED_MULTIFRACTAL, ps);
  struct Case
  {
    const char* name;
    Int32 octaves;
    Float lacunarity;
    Float exponent;
  };
  const Case cases[] = {
    {"no octave", 0, 2.0, 1.0},
    {"negative octaves", -3, 2.0, 1.0},
    {"more than the limit", MAX_SPECTRUM_OCTAVES + 1, 2.0, 1.0},
    {"NaN lacunarity", 12, NaN, 1.0},
    {"infinite lacunarity", 12, INF, 1.0},
    {"NaN exponent", 12, 2.0, NaN},
    {"infinite exponent", 12, 2.0, -INF},
  };
  for (const Case& c : cases)
  {
    EXPECT_FALSE(NoiseLibrary::InitFbm(g, c.octaves, c.lacunarity, c.exponent)) << c.name;
    EXPECT_TRUE(SameField(Field(g, NOISE_RIDGED_MULTIFRACTAL, ps), before)) << c.name;
  }
  EXPECT_FALSE(NoiseLibrary::InitFbm(nullptr, 12, 2.0, 1.0));
}

TEST(NoiseLibrary, NullGeneratorSamplesZeroAndFreeClearsThePointer)
{
  EXPECT_EQ(Sample(nullptr, NOISE_FBM, Vector(1.0, 2.0, 3.0)), 0.0);
  EXPECT_EQ(NoiseLibrary::RidgedMultifractal(nullptr, Vector(1.0, 2.0, 3.0), 0.0, OCTAVES, 1.0, 1.0, 1023), 0.0);
  NoiseGenerator* g = NoiseLibrary::Create(SEED);
  ASSERT_NE(g, nullptr);
  NoiseLibrary::Free(g);
  EXPECT_EQ(g, nullptr);
  NoiseLibrary::Free(g);   // freeing null is allowed
}

// ---- determinism ------------------------------------------------------------------------------------

TEST(NoiseLibrary, SameSeedGivesBitIdenticalFieldsAndOtherSeedsDiffer)
{
  Generator a(SEED), b(SEED), c(SEED + 1), d(-SEED);
  for (NoiseGenerator* g : {a.g, b.g, c.g, d.g})
    ASSERT_TRUE(NoiseLibrary::InitFbm(g, RIDGED_SPECTRUM, RIDGED_LACUNARITY, RIDGED_EXPONENT));
  const std::vector<Vector> flat = Plane(24, 6.0);
  const std::vector<Vector> solid = Scatter(400, 40.0);
  for (Int32 type : AllTypes())
    for (const std::vector<Vector>* ps : {&flat, &solid})
    {
      const std::vector<Float> fa = Field(a, type, *ps);
      EXPECT_TRUE(SameField(fa, Field(b, type, *ps))) << "type " << type;
      EXPECT_FALSE(SameField(fa, Field(c, type, *ps))) << "type " << type;
      EXPECT_FALSE(SameField(fa, Field(d, type, *ps))) << "type " << type;
    }
  for (const Vector& p : solid)
    EXPECT_TRUE(Same(NoiseLibrary::RidgedMultifractal(a, p, 0.0, OCTAVES, 1.0, 1.0, 1023),
                     NoiseLibrary::RidgedMultifractal(b, p, 0.0, OCTAVES, 1.0, 1.0, 1023)));
}

// Values pinned from a reference run: scenes saved with a seed must look the same in every later run
// and build. A change here changes every saved terrain that uses the noise. The tables are built
// without the maths library (the spectrum's one power aside), so the values do not depend on it.
TEST(NoiseLibrary, ValuesStayTheSameFromRunToRun)
{
  Generator g(SEED);
  ASSERT_TRUE(NoiseLibrary::InitFbm(g, RIDGED_SPECTRUM, RIDGED_LACUNARITY, RIDGED_EXPONENT));
  struct Case
  {
    Vector p;
    Float fbm, ridged, cells, host;
  };
  const Case cases[] = {
    {Vector(1.25, 0.0, -3.5), 0x1.192fbdb234b79p-1, 0x1.3698026cad948p-1, 0x1.f343e00935cb1p-3, 0x1.1dbb583ad6ce1p-1},
    {Vector(-7.125, 2.375, 0.625), 0x1.09b61434cdafp-1, 0x1.345f78366459dp-1, 0x1.f943b1ca351c9p-2,
     0x1.b5f828b60bdf9p-2},
  };
  for (const Case& c : cases)
  {
    EXPECT_EQ(Sample(g, NOISE_FBM, c.p), c.fbm);
    EXPECT_EQ(NoiseLibrary::RidgedMultifractal(g, c.p, 0.0, OCTAVES, 1.0, 1.0, 1023), c.ridged);
    EXPECT_EQ(Sample(g, NOISE_CELLS_F1, c.p), c.cells);
    EXPECT_EQ(HostNoise3D(c.p), c.host);
  }
}

// ---- ranges -----------------------------------------------------------------------------------------

// Every plain type stays in [0, 1] over many samples, including hostile positions and arguments.
TEST(NoiseLibrary, PlainTypesStayInZeroToOne)
{
  Generator g(SEED);
  ASSERT_TRUE(NoiseLibrary::InitFbm(g, FBM_SPECTRUM, FBM_LACUNARITY, FBM_EXPONENT));
  std::vector<Vector> ps = Scatter(3000, 300.0);
  const std::vector<Vector> flat = Plane(40, 12.0);
  ps.insert(ps.end(), flat.begin(), flat.end());
  const Float big = 1.0e300;
  for (const Vector& hostile : {Vector(NaN, 0.0, 0.0), Vector(INF, -INF, 1.0), Vector(big, -big, big),
                                Vector(4503599627370496.0, 0.5, -4503599627370497.0), Vector(-1.0e-300, 0.0, 3.0),
                                Vector(255.0, 256.0, -256.0), Vector(1.0e9, 0.0, 1.0e9)})
    ps.push_back(hostile);
  const Args argSets[] = {
    {},
    {.smooth = false, .absolute = true},
    {.octaves = 0.3},
    {.octaves = 1.0e9},
    {.octaves = NaN, .warp = NaN, .modulation = NaN},
    {.time = INF, .warp = 1.0e6, .modulation = -3.0},
    {.octaves = 7.75, .warp = -40.0, .modulation = 4.0, .layer = std::numeric_limits<Int32>::min()},
  };
  std::vector<Int32> types = AllTypes();
  types.push_back(0);   // unknown
  for (Int32 type : types)
    for (const Args& a : argSets)
      for (const Vector& p : ps)
      {
        const Float v = Sample(g, type, p, a);
        ASSERT_TRUE(v >= 0.0 && v <= 1.0) << "type " << type << " at (" << p.x << ", " << p.y << ", " << p.z
                                          << ") octaves " << a.octaves << ": " << v;
      }
}

// The types are not stuck at a constant either: each spreads its values.
TEST(NoiseLibrary, EveryTypeVaries)
{
  Generator g(SEED);
  const std::vector<Vector> ps = Plane(48, 8.0);
  for (Int32 type : AllTypes())
    EXPECT_GT(StdDev(Field(g, type, ps)), 0.01) << "type " << type;
}

// The ridged multifractal is not normalised: with offset 1 it lies in [0, sum of the weights of the
// octaves asked for], the weights being lacunarity^(-exponent i) of InitFbm's spectrum.
TEST(NoiseLibrary, RidgedMultifractalStaysWithinTheSumOfItsWeights)
{
  Generator g(SEED);
  ASSERT_TRUE(NoiseLibrary::InitFbm(g, RIDGED_SPECTRUM, RIDGED_LACUNARITY, RIDGED_EXPONENT));
  std::vector<Vector> ps = Scatter(2000, 50.0);
  const std::vector<Vector> flat = Plane(40, 10.0);
  ps.insert(ps.end(), flat.begin(), flat.end());
  for (Float octaves : {1.0, 2.0, 3.5, 5.0, 8.0, 20.0, 40.0})
  {
    Float bound = 0.0;
    for (Int i = 0; i < RIDGED_SPECTRUM && i < static_cast<Int>(std::ceil(octaves)); ++i)
      bound += std::pow(RIDGED_LACUNARITY, -RIDGED_EXPONENT * static_cast<Float>(i)) *
               std::min(1.0, octaves - static_cast<Float>(i));
    Float highest = 0.0;
    for (const Vector& p : ps)
    {
      const Float r = NoiseLibrary::RidgedMultifractal(g, p, 0.0, octaves, 1.0, 1.0, -1);
      ASSERT_GE(r, 0.0);
      ASSERT_LE(r, bound * (1.0 + 1e-12)) << "octaves " << octaves;
      highest = std::max(highest, r);
      // Type 64 of Noise is the same sum divided by that bound.
      ASSERT_NEAR(Sample(g, NOISE_RIDGED_MULTIFRACTAL, p, {.octaves = octaves}), r / bound, 1e-12);
    }
    EXPECT_GT(highest, 0.5 * bound) << "octaves " << octaves << ": the ridges reach well up";
  }
  // Five octaves of the operator's spectrum: about 2.05, as documented.
  Float five = 0.0;
  for (Int i = 0; i < 5; ++i)
    five += std::pow(RIDGED_LACUNARITY, -RIDGED_EXPONENT * static_cast<Float>(i));
  EXPECT_NEAR(five, 2.05, 0.01);
}

TEST(NoiseLibrary, RidgedOctaveMaskSelectsOctaves)
{
  Generator g(SEED);
  ASSERT_TRUE(NoiseLibrary::InitFbm(g, RIDGED_SPECTRUM, RIDGED_LACUNARITY, RIDGED_EXPONENT));
  for (const Vector& p : Scatter(300, 20.0))
  {
    auto ridged = [&](Float octaves, Int32 mask, Float offset = 1.0, Float gain = 1.0) {
      return NoiseLibrary::RidgedMultifractal(g, p, 0.0, octaves, offset, gain, mask);
    };
    EXPECT_EQ(ridged(OCTAVES, 0), 0.0);
    EXPECT_TRUE(Same(ridged(OCTAVES, 1), ridged(1.0, -1)));
    EXPECT_TRUE(Same(ridged(OCTAVES, 1023), ridged(OCTAVES, -1))) << "1023 keeps the first ten octaves";
    EXPECT_TRUE(Same(ridged(12.0, 1023), ridged(10.0, -1)));
    EXPECT_EQ(ridged(OCTAVES, -1, NaN), 0.0) << "a result that is not finite reads 0";
    EXPECT_EQ(ridged(OCTAVES, -1, INF), 0.0);
    EXPECT_TRUE(Same(ridged(OCTAVES, -1, 1.0, NaN), ridged(1.0, -1))) << "a NaN gain weighs the later octaves 0";
  }
}

// ---- every type its own field --------------------------------------------------------------------

TEST(NoiseLibrary, TypesAreDistinctFieldsAndUnknownTypesFallBackToFbm)
{
  Generator g(SEED);
  ASSERT_TRUE(NoiseLibrary::InitFbm(g, RIDGED_SPECTRUM, RIDGED_LACUNARITY, RIDGED_EXPONENT));
  const std::vector<Vector> ps = Plane(64, 8.0);
  const std::vector<Int32> types = AllTypes();
  std::vector<std::vector<Float>> fields;
  for (Int32 type : types)
    fields.push_back(Field(g, type, ps));
  // Not identical, and not an affine copy of each other either: a copy would correlate at +-1, while
  // related types (one metric against another, fBm against its terraces) stay near 0.95 at most.
  for (std::size_t a = 0; a < types.size(); ++a)
    for (std::size_t b = a + 1; b < types.size(); ++b)
    {
      EXPECT_FALSE(SameField(fields[a], fields[b])) << types[a] << " and " << types[b];
      EXPECT_LT(std::abs(Correlation(fields[a], fields[b])), 0.99) << types[a] << " and " << types[b];
    }
  const std::vector<Float> fbm = Field(g, NOISE_FBM, ps);
  for (Int32 unknown :
       {0, -1, 31, 32, 63, 65, 1000, std::numeric_limits<Int32>::max(), std::numeric_limits<Int32>::min()})
    EXPECT_TRUE(SameField(Field(g, unknown, ps), fbm)) << unknown;
}

// ---- what each argument changes ----------------------------------------------------------------------

TEST(NoiseLibrary, OctaveArgumentChangesOnlyTheOctaveTypes)
{
  Generator g(SEED);
  ASSERT_TRUE(NoiseLibrary::InitFbm(g, FBM_SPECTRUM, FBM_LACUNARITY, FBM_EXPONENT));
  const std::vector<Vector> ps = Plane(24, 6.0);
  for (Int32 type : AllTypes())
  {
    const Bool octaveType = OCTAVE_TYPES.count(type) == 1;
    const std::vector<Float> two = Field(g, type, ps, {.octaves = 2.0});
    EXPECT_EQ(!SameField(two, Field(g, type, ps, {.octaves = 6.0})), octaveType) << "type " << type;
    EXPECT_EQ(!SameField(two, Field(g, type, ps, {.octaves = 2.5})), octaveType) << "type " << type;
    // Below 1 and NaN act as 1; beyond the spectrum's end as its end.
    const std::vector<Float> one = Field(g, type, ps, {.octaves = 1.0});
    EXPECT_TRUE(SameField(one, Field(g, type, ps, {.octaves = 0.25})));
    EXPECT_TRUE(SameField(one, Field(g, type, ps, {.octaves = -8.0})));
    EXPECT_TRUE(SameField(one, Field(g, type, ps, {.octaves = NaN})));
    const Float limit = SPECTRUM_TYPES.count(type) ? FBM_SPECTRUM : MAX_FRACTAL_OCTAVES;
    EXPECT_TRUE(SameField(Field(g, type, ps, {.octaves = limit}), Field(g, type, ps, {.octaves = 1.0e12})));
  }
}

// The octave count is continuous: a fractional octave blends the next one in by its fraction.
TEST(NoiseLibrary, FractionalOctavesBlendContinuously)
{
  Generator g(SEED);
  ASSERT_TRUE(NoiseLibrary::InitFbm(g, RIDGED_SPECTRUM, RIDGED_LACUNARITY, RIDGED_EXPONENT));
  const std::vector<Vector> ps = Scatter(200, 10.0);
  for (Int32 type : OCTAVE_TYPES)
    for (const Vector& p : ps)
    {
      const Float at3 = Sample(g, type, p, {.octaves = 3.0});
      EXPECT_NEAR(Sample(g, type, p, {.octaves = 3.0 + 1e-9}), at3, 1e-7) << "type " << type;
      EXPECT_NEAR(Sample(g, type, p, {.octaves = 3.0 - 1e-9}), at3, 1e-7) << "type " << type;
    }
}

// fBm against its formula: with weights a_i = 0.5^i and P_n = a_0 + ... + a_(n-1), the value v_n of n
// octaves satisfies (2 v_n - 1) P_n = sum of a_i G_i, so each octave adds at most its weight, and a
// fractional octave n + f adds f times what octave n adds.
TEST(NoiseLibrary, FbmFollowsItsWeights)
{
  Generator g(SEED);
  auto signedSum = [&](const Vector& p, Float octaves, Float prefix) {
    return (2.0 * Sample(g, NOISE_FBM, p, {.octaves = octaves}) - 1.0) * prefix;
  };
  for (const Vector& p : Scatter(300, 30.0))
  {
    Float prefix = 0.0;
    for (Int n = 1; n <= 8; ++n)
    {
      const Float weight = std::pow(FRACTAL_GAIN, static_cast<Float>(n - 1));
      const Float before = n > 1 ? signedSum(p, static_cast<Float>(n - 1), prefix) : 0.0;
      prefix += weight;
      const Float after = signedSum(p, static_cast<Float>(n), prefix);
      EXPECT_LE(std::abs(after - before), weight * (1.0 + 1e-9)) << "octave " << n;
      // A fractional octave: f of the octave's contribution, normalised by P_(n-1) + f a_(n-1).
      if (n > 1)
      {
        const Float f = 0.375;
        const Float partial = signedSum(p, static_cast<Float>(n - 1) + f, prefix - weight + f * weight);
        EXPECT_NEAR(partial - before, f * (after - before), 1e-12) << "octave " << n;
      }
    }
  }
}

// InitFbm's spectrum changes the spectrum types, and nothing else.
TEST(NoiseLibrary, SpectrumChangesOnlyTheSpectrumTypes)
{
  Generator a(SEED), b(SEED), plain(SEED);
  ASSERT_TRUE(NoiseLibrary::InitFbm(a, FBM_SPECTRUM, FBM_LACUNARITY, FBM_EXPONENT));
  ASSERT_TRUE(NoiseLibrary::InitFbm(b, FBM_SPECTRUM, 2.8, 0.5));
  const std::vector<Vector> ps = Plane(24, 6.0);
  for (Int32 type : AllTypes())
  {
    const std::vector<Float> fa = Field(a, type, ps);
    EXPECT_EQ(!SameField(fa, Field(b, type, ps)), SPECTRUM_TYPES.count(type) == 1) << "type " << type;
    if (SPECTRUM_TYPES.count(type) == 0)
    {
      EXPECT_TRUE(SameField(fa, Field(plain, type, ps))) << "type " << type;
    }
  }
}

TEST(NoiseLibrary, InitFbmUsesTheLacunarityMagnitudeAndClampsItsRange)
{
  Generator a(SEED), b(SEED), c(SEED), d(SEED);
  ASSERT_TRUE(NoiseLibrary::InitFbm(a, FBM_SPECTRUM, FBM_LACUNARITY, FBM_EXPONENT));
  ASSERT_TRUE(NoiseLibrary::InitFbm(b, FBM_SPECTRUM, -FBM_LACUNARITY, FBM_EXPONENT));
  // 10001 x 0.19 + 1 at 10001 = -1/0.19: a lacunarity of 0, clamped to MIN_LACUNARITY.
  ASSERT_TRUE(NoiseLibrary::InitFbm(c, FBM_SPECTRUM, 0.0, FBM_EXPONENT));
  ASSERT_TRUE(NoiseLibrary::InitFbm(d, FBM_SPECTRUM, MIN_LACUNARITY, FBM_EXPONENT));
  const std::vector<Vector> ps = Plane(24, 6.0);
  for (Int32 type : SPECTRUM_TYPES)
  {
    EXPECT_TRUE(SameField(Field(a, type, ps), Field(b, type, ps))) << type;
    EXPECT_TRUE(SameField(Field(c, type, ps), Field(d, type, ps))) << type;
  }
}

// Each remaining argument changes exactly the types documented for it.
TEST(NoiseLibrary, ArgumentsChangeTheirDocumentedTypes)
{
  Generator g(SEED);
  ASSERT_TRUE(NoiseLibrary::InitFbm(g, FBM_SPECTRUM, FBM_LACUNARITY, FBM_EXPONENT));
  const std::vector<Vector> ps = Plane(24, 6.0);
  std::set<Int32> all;
  for (Int32 type : AllTypes())
    all.insert(type);
  // The lattice types (value and gradient based) interpolate with the fade that `smooth` picks; the
  // simplex and cellular types, the non-interpolated blocks and the ridged multifractal ignore it.
  const std::set<Int32> lattice = {1, 2, 3, 7, 8, 11, 13, 15, 16, 17, 18, 20, 21, 23, 25, 26, 29, 30};
  struct Case
  {
    const char* name;
    Args changed;
    std::set<Int32> types;
  };
  const Case cases[] = {
    {"smooth", {.smooth = false}, lattice},
    {"warp", {.warp = 0.6}, {13, 23, 25}},
    {"modulation", {.modulation = 0.8}, {17}},
    {"time", {.time = 0.75}, all},
    {"layer", {.layer = 3}, all},
  };
  for (const Case& c : cases)
    for (Int32 type : AllTypes())
      EXPECT_EQ(!SameField(Field(g, type, ps), Field(g, type, ps, c.changed)), c.types.count(type) == 1)
        << c.name << ", type " << type;
}

TEST(NoiseLibrary, TimeMovesThePositionAlongTheDrift)
{
  Generator g(SEED);
  for (Int32 type : {NOISE_FBM, NOISE_CELLS_F1, NOISE_SIMPLEX})
    for (const Vector& p : Scatter(100, 10.0))
      EXPECT_TRUE(Same(Sample(g, type, p, {.time = 2.5}), Sample(g, type, p + TIME_DRIFT * 2.5))) << type;
}

TEST(NoiseLibrary, AbsoluteFoldsTheValueAboutItsMiddle)
{
  Generator g(SEED);
  ASSERT_TRUE(NoiseLibrary::InitFbm(g, RIDGED_SPECTRUM, RIDGED_LACUNARITY, RIDGED_EXPONENT));
  for (Int32 type : AllTypes())
    for (const Vector& p : Scatter(50, 10.0))
      EXPECT_TRUE(Same(Sample(g, type, p, {.absolute = true}), std::abs(2.0 * Sample(g, type, p) - 1.0))) << type;
}

// ---- the fast paths against the scalar reference ------------------------------------------------------

// The plane shortcut, the row tables and the two-octave vectors give the values of the plain scalar
// 3-D formula: on the plane Y = 0 (all three shortcuts), on other lattice planes (the plane shortcut),
// off the planes, with odd, even and fractional octave counts, and beyond the range of the vector path.
TEST(NoiseLibrary, FastPathsEqualTheScalarReference)
{
  NoiseGenerator* reference = nullptr;
  {
    host::ScopedNoiseReference scope;
    reference = NoiseLibrary::Create(SEED);
  }
  Generator fast(SEED);
  ASSERT_NE(reference, nullptr);
  std::vector<Vector> ps = Plane(40, 9.0);
  for (Float y : {3.0, -17.0})
  {
    const std::vector<Vector> plane = Plane(12, 5.0, y);
    ps.insert(ps.end(), plane.begin(), plane.end());
  }
  const std::vector<Vector> solid = Scatter(300, 30.0);
  ps.insert(ps.end(), solid.begin(), solid.end());
  const std::vector<Vector> far = Plane(8, 1.0e6, 0.0, Vector(2.0e9, 0.0, -3.0e9));
  ps.insert(ps.end(), far.begin(), far.end());
  ps.push_back(Vector(-0.0, -0.0, -0.0));
  ps.push_back(Vector(-1.0, 0.0, 1.0));   // lattice points, where every term is 0

  for (Int32 lacunarityCase = 0; lacunarityCase < 2; ++lacunarityCase)
  {
    const Float lacunarity = lacunarityCase == 0 ? RIDGED_LACUNARITY : 0.7;   // below 1: falling frequencies
    ASSERT_TRUE(NoiseLibrary::InitFbm(reference, RIDGED_SPECTRUM, lacunarity, RIDGED_EXPONENT));
    ASSERT_TRUE(NoiseLibrary::InitFbm(fast, RIDGED_SPECTRUM, lacunarity, RIDGED_EXPONENT));
    for (Int32 type : AllTypes())
      for (Float octaves : {1.0, 2.0, 3.0, 4.5, 5.0, 7.25, 20.0})
        for (Bool smooth : {true, false})
          for (const Vector& p : ps)
          {
            const Args a{.smooth = smooth, .octaves = octaves};
            // EXPECT_EQ, not Same: the shortcuts may turn a -0 into a +0 inside, never a value.
            ASSERT_EQ(Sample(fast, type, p, a), Sample(reference, type, p, a))
              << "type " << type << " octaves " << octaves << " at (" << p.x << ", " << p.y << ", " << p.z << ")";
          }
    for (Float octaves : {1.0, 4.0, 5.0, 5.5, 20.0})
      for (Int32 mask : {-1, 1023, 0x15})
        for (const Vector& p : ps)
          ASSERT_EQ(NoiseLibrary::RidgedMultifractal(fast, p, 0.0, octaves, 1.0, 1.0, mask),
                    NoiseLibrary::RidgedMultifractal(reference, p, 0.0, octaves, 1.0, 1.0, mask))
            << "octaves " << octaves << " mask " << mask;
  }
  NoiseLibrary::Free(reference);

  std::vector<Float> fastHost;
  for (const Vector& p : ps)
    fastHost.push_back(HostNoise3D(p));
  host::ScopedNoiseReference scope;
  for (std::size_t i = 0; i < ps.size(); ++i)
    ASSERT_EQ(HostNoise3D(ps[i]), fastHost[i]);
}

// The ridged multifractal's own flat path (whole octave counts, every octave taking part, Y = 0) gives
// the reference's values: with offset 1 and gains in (0, 1], where it leaves out the weight's clamp,
// for every octave count it unrolls and beyond, and with the arguments that keep the clamp or leave the
// path (a gain above 1 or of -0, another offset, fractional counts, masks, time, off the plane). A
// spectrum of more octaves than the fixed one also reads the row tables that InitFbm builds for it.
TEST(NoiseLibrary, RidgedFlatPathEqualsTheScalarReference)
{
  NoiseGenerator* reference = nullptr;
  {
    host::ScopedNoiseReference scope;
    reference = NoiseLibrary::Create(SEED);
  }
  Generator fast(SEED);
  ASSERT_NE(reference, nullptr);
  std::vector<Vector> ps = Plane(16, 9.0);
  const std::vector<Vector> far = Plane(4, 1.0e6, 0.0, Vector(2.0e8, 0.0, -3.0e8));   // at the flat path's reach
  ps.insert(ps.end(), far.begin(), far.end());
  ps.push_back(Vector(-0.0, -0.0, -0.0));
  ps.push_back(Vector(-1.0, 0.0, 1.0));   // a lattice point
  ps.push_back(Vector(0.3, 0.5, -0.7));   // off the plane

  struct Shape
  {
    Float offset, gain;
  };
  const Shape shapes[] = {
    {1.0, 1.0}, {1.0, 0.5}, {1.0, 1.0e-300},   // the clamp left out
    {1.0, std::nextafter(1.0, 2.0)}, {1.0, 2.0}, {1.0, 0.0}, {1.0, -0.0}, {1.0, -0.5}, {1.0, NaN},   // kept
    {1.3, 1.0}, {0.5, 0.8}, {-1.0, 1.0}, {std::nextafter(1.0, 0.0), 1.0}, {INF, 1.0},                 // kept
  };
  const Float octaveCounts[] = {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0, 20.0, 25.0, 40.0, 4.5, 0.5};
  struct Spectrum
  {
    Int32 octaves;
    Float lacunarity;
  };
  // 0.7: falling frequencies; 40 octaves, twice the fixed spectrum's, at 1.1 stay on the flat path.
  for (const Spectrum& spectrum : {Spectrum{RIDGED_SPECTRUM, RIDGED_LACUNARITY}, Spectrum{RIDGED_SPECTRUM, 0.7},
                                   Spectrum{40, 1.1}})
  {
    ASSERT_TRUE(NoiseLibrary::InitFbm(reference, spectrum.octaves, spectrum.lacunarity, RIDGED_EXPONENT));
    ASSERT_TRUE(NoiseLibrary::InitFbm(fast, spectrum.octaves, spectrum.lacunarity, RIDGED_EXPONENT));
    for (const Float octaves : octaveCounts)
    {
      for (const Shape& s : shapes)
        for (const Int32 mask : {-1, 1023, 0x15})
          for (const Vector& p : ps)
            ASSERT_EQ(NoiseLibrary::RidgedMultifractal(fast, p, 0.0, octaves, s.offset, s.gain, mask),
                      NoiseLibrary::RidgedMultifractal(reference, p, 0.0, octaves, s.offset, s.gain, mask))
              << "octaves " << octaves << " offset " << s.offset << " gain " << s.gain << " mask " << mask
              << " at (" << p.x << ", " << p.y << ", " << p.z << ")";
      for (const Vector& p : ps)
      {
        // Type 64 divides by the sum of the weights, which the flat path takes from the table.
        ASSERT_EQ(Sample(fast, NOISE_RIDGED_MULTIFRACTAL, p, {.octaves = octaves}),
                  Sample(reference, NOISE_RIDGED_MULTIFRACTAL, p, {.octaves = octaves}))
          << "octaves " << octaves;
        ASSERT_EQ(NoiseLibrary::RidgedMultifractal(fast, p, 0.5, octaves, 1.0, 1.0, -1),
                  NoiseLibrary::RidgedMultifractal(reference, p, 0.5, octaves, 1.0, 1.0, -1))
          << "octaves " << octaves << " at time 0.5";
        // The other spectrum types read the same row tables.
        for (const Int32 type : {NOISE_SPECTRAL_FBM, NOISE_SPECTRAL_RIDGES})
          ASSERT_EQ(Sample(fast, type, p, {.octaves = octaves}), Sample(reference, type, p, {.octaves = octaves}))
            << "type " << type << " octaves " << octaves;
      }
    }
  }
  NoiseLibrary::Free(reference);
}

// ---- HostNoise3D -------------------------------------------------------------------------------------

TEST(HostNoise3D, SmoothGradientNoiseInZeroToOne)
{
  std::vector<Vector> ps = Scatter(20000, 500.0);
  const std::vector<Vector> flat = Plane(60, 10.0);
  ps.insert(ps.end(), flat.begin(), flat.end());
  std::vector<Float> values;
  for (const Vector& p : ps)
  {
    const Float v = HostNoise3D(p);
    ASSERT_TRUE(v >= 0.0 && v <= 1.0) << v;
    values.push_back(v);
  }
  Float mean = 0.0;
  for (Float v : values)
    mean += v;
  mean /= static_cast<Float>(values.size());
  EXPECT_NEAR(mean, 0.5, 0.02);
  EXPECT_GT(StdDev(values), 0.05);
  for (const Vector& hostile : {Vector(NaN, 1.0, 2.0), Vector(INF, 0.0, -INF), Vector(1.0e300, 1.0e-300, -1.0e300)})
  {
    const Float v = HostNoise3D(hostile, NaN);
    EXPECT_TRUE(v >= 0.0 && v <= 1.0) << v;
  }
}

TEST(HostNoise3D, PositionOnlyFormIsTimeZeroAndTimeDrifts)
{
  for (const Vector& p : Scatter(500, 40.0))
  {
    EXPECT_TRUE(Same(HostNoise3D(p), HostNoise3D(p, 0.0)));
    EXPECT_TRUE(Same(HostNoise3D(p, 1.5), HostNoise3D(p + TIME_DRIFT * 1.5, 0.0)));
  }
}

// A small step makes a small change everywhere: inside cells, across cell faces, across 0 and across
// the lattice period (256), in every direction. The slope of the mapped noise stays below 3 per cell.
TEST(HostNoise3D, SmallStepsMakeSmallChanges)
{
  constexpr Float STEP = 1e-6;
  constexpr Float SLOPE_BOUND = 3.0;
  std::vector<Vector> ps = Scatter(3000, 300.0);
  for (Float x : {-1.0, 0.0, 1.0, 7.0, 255.0, 256.0, -256.0})
    for (Float frac : {-1e-9, 0.0, 1e-9})
    {
      ps.emplace_back(x + frac, 0.5, 0.25);
      ps.emplace_back(0.5, x + frac, 0.25);
      ps.emplace_back(0.25, 0.5, x + frac);
      ps.emplace_back(x + frac, 0.0, x - frac);
    }
  const Vector steps[] = {Vector(STEP, 0.0, 0.0), Vector(0.0, STEP, 0.0), Vector(0.0, 0.0, STEP),
                          Vector(-STEP, STEP, -STEP) * (1.0 / std::sqrt(3.0))};
  for (const Vector& p : ps)
    for (const Vector& d : steps)
    {
      const Float change = std::abs(HostNoise3D(p + d) - HostNoise3D(p));
      ASSERT_LE(change, SLOPE_BOUND * STEP) << "at (" << p.x << ", " << p.y << ", " << p.z << ")";
    }
  // And the slope is not 0 everywhere: the noise does change.
  Float largest = 0.0;
  for (const Vector& p : Scatter(500, 30.0))
    largest = std::max(largest, std::abs(HostNoise3D(p + steps[0]) - HostNoise3D(p)));
  EXPECT_GT(largest, 0.1 * STEP);
}

// The hot fractal types are continuous in the position as well.
TEST(NoiseLibrary, FractalTypesAreContinuous)
{
  constexpr Float STEP = 1e-7;
  Generator g(SEED);
  ASSERT_TRUE(NoiseLibrary::InitFbm(g, RIDGED_SPECTRUM, RIDGED_LACUNARITY, RIDGED_EXPONENT));
  for (Int32 type : OCTAVE_TYPES)
    for (const Vector& p : Scatter(400, 20.0))
      for (const Vector& d : {Vector(STEP, 0.0, 0.0), Vector(0.0, STEP, 0.0), Vector(0.0, 0.0, STEP)})
        ASSERT_LE(std::abs(Sample(g, type, p + d) - Sample(g, type, p)), 1e-4) << "type " << type;
}

TEST(HostNoise3D, CallCounterCountsOnlyWhileOn)
{
  HostNoise3D(Vector(1.0, 2.0, 3.0));
  {
    host::ScopedHostNoiseCounter counter;
    EXPECT_EQ(counter.GetCount(), 0);
    for (Int i = 0; i < 10; ++i)
      HostNoise3D(Vector(static_cast<Float>(i), 0.0, 0.0));
    HostNoise3D(Vector(0.5, 0.5, 0.5), 2.0);
    EXPECT_EQ(counter.GetCount(), 11);
    // From the pool's threads too.
    ASSERT_TRUE(ParallelFor(0, 1000, [](Int i) { HostNoise3D(Vector(static_cast<Float>(i), 0.0, 0.0)); }).IsOk());
    EXPECT_EQ(counter.GetCount(), 1011);
  }
  HostNoise3D(Vector(1.0, 2.0, 3.0));
  EXPECT_EQ(host::GetHostNoiseCallCount(), 1011) << "counting stopped with the scope";
}

// ---- threads and allocation ---------------------------------------------------------------------------

// Rows sampled concurrently on one generator from the host's parallel loop give the values of a
// plain loop on the calling thread.
TEST(NoiseLibrary, ConcurrentSamplingMatchesSequentialSampling)
{
  constexpr Int SIDE = 129;
  Generator g(SEED);
  ASSERT_TRUE(NoiseLibrary::InitFbm(g, RIDGED_SPECTRUM, RIDGED_LACUNARITY, RIDGED_EXPONENT));
  const std::vector<Vector> ps = Plane(SIDE, 7.0);
  std::vector<Int32> types = AllTypes();
  types.push_back(-64);   // stands for RidgedMultifractal
  types.push_back(-1);    // stands for HostNoise3D
  auto value = [&](Int32 type, const Vector& p) {
    if (type == -64)
      return NoiseLibrary::RidgedMultifractal(g, p, 0.0, OCTAVES, 1.0, 1.0, 1023);
    if (type == -1)
      return HostNoise3D(p, 0.0);
    return Sample(g, type, p);
  };
  for (Int32 type : types)
  {
    std::vector<Float> sequential(ps.size()), parallel(ps.size());
    for (std::size_t i = 0; i < ps.size(); ++i)
      sequential[i] = value(type, ps[i]);
    const Result<void> res = ParallelFor(
      0, SIDE,
      [&](Int j) {
        for (Int i = 0; i < SIDE; ++i)
          parallel[static_cast<std::size_t>(j * SIDE + i)] = value(type, ps[static_cast<std::size_t>(j * SIDE + i)]);
      },
      0, 16);
    ASSERT_TRUE(res.IsOk());
    EXPECT_TRUE(SameField(sequential, parallel)) << "type " << type;
  }
}

TEST(NoiseLibrary, SamplingAllocatesNothing)
{
  Generator g(SEED);
  ASSERT_TRUE(NoiseLibrary::InitFbm(g, RIDGED_SPECTRUM, RIDGED_LACUNARITY, RIDGED_EXPONENT));
  const std::vector<Vector> ps = Scatter(200, 20.0);
  const std::vector<Int32> types = AllTypes();
  HostNoise3D(Vector());   // the solid noise's tables are made on first use
  Float sink = 0.0;
  const Int before = g_heapAllocations.load();
  for (Int32 type : types)
    for (const Vector& p : ps)
      sink += Sample(g, type, p) + Sample(g, type, Vector(p.x, 0.0, p.z), {.octaves = 7.5});
  for (const Vector& p : ps)
    sink += NoiseLibrary::RidgedMultifractal(g, p, 0.0, OCTAVES, 1.0, 1.0, 1023) + HostNoise3D(p) + HostNoise3D(p, 1.0);
  EXPECT_EQ(g_heapAllocations.load(), before);
  EXPECT_TRUE(std::isfinite(sink));
}
