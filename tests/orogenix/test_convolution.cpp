#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "host/core/alloc.h"
#include "host/core/thread.h"
#include "orogenix/convolution.h"
#include "support/filter_reference.h"
#include "support/test_support.h"

using namespace OGX::Convolution;
using namespace ogx_test;

namespace
{
// A kernel with whatever weights a test hands it (argument: the width; extra: size x size weights).
class TableKernel final : public BaseKernel
{
public:
  Result<void> InitKernel(UInt32 width, const Float* table) override
  {
    size = width;
    HOST_TRY(weights.Resize(static_cast<Int>(width) * width));
    for (Int i = 0; i < weights.GetCount(); ++i)
      weights[i] = table[i];
    return OK;
  }
};

std::vector<Float> Weights(const BaseKernel& k)
{
  return std::vector<Float>(k.weights.begin(), k.weights.end());
}

Float Sum(const std::vector<Float>& v)
{
  Float s = 0.0;
  for (const Float x : v)
    s += x;
  return s;
}

Border ToBorder(OUTOFBOUNDSMODE mode)
{
  switch (mode)
  {
    case OUTOFBOUNDSMODE::CLAMP: return Border::CLAMP;
    case OUTOFBOUNDSMODE::TILE: return Border::TILE;
    case OUTOFBOUNDSMODE::MIRROR: return Border::MIRROR;
    default: return Border::NONE;
  }
}

// Runs a test body once per vector width of the row loops (those the processor lacks fall back to a
// narrower one), restoring the widest afterwards.
constexpr detail::VECTORWIDTH WIDTHS[] = {detail::VECTORWIDTH::SSE2, detail::VECTORWIDTH::AVX2,
                                          detail::VECTORWIDTH::AVX512};
struct WidthScope
{
  explicit WidthScope(detail::VECTORWIDTH w) : width(detail::LimitVectorWidth(w)) {}
  ~WidthScope() { detail::LimitVectorWidth(detail::VECTORWIDTH::AVX512); }
  WidthScope(const WidthScope&) = delete;
  WidthScope& operator=(const WidthScope&) = delete;
  detail::VECTORWIDTH width;
};

constexpr OUTOFBOUNDSMODE MODES[] = {OUTOFBOUNDSMODE::NONE, OUTOFBOUNDSMODE::CLAMP, OUTOFBOUNDSMODE::TILE,
                                     OUTOFBOUNDSMODE::MIRROR};

ConvolutionJob Job(const Grid2D<Float>& src, Grid2D<Float>& dst, const BaseKernel& k, OUTOFBOUNDSMODE mode)
{
  ConvolutionJob job;
  job.source = &src;
  job.destination = &dst;
  job.kernel = &k;
  job.kernelSize = k.size;
  job.width = src.width;
  job.halfWidthX = k.size >> 1;
  job.halfWidthY = k.size >> 1;
  job.mode = mode;
  return job;
}

// The Gaussian samples of radius r as the definition gives them, before any normalisation.
std::vector<Float> GaussianSamples(Int r)
{
  const Int size = 2 * r + 1;
  const Float s = static_cast<Float>(r) * 0.5;
  std::vector<Float> w(static_cast<std::size_t>(size * size));
  for (Int ky = 0; ky < size; ++ky)
    for (Int kx = 0; kx < size; ++kx)
    {
      const Float a = (static_cast<Float>(kx) - static_cast<Float>(r)) / s;
      const Float b = (static_cast<Float>(ky) - static_cast<Float>(r)) / s;
      w[static_cast<std::size_t>(ky * size + kx)] = std::exp(-0.5 * (a * a)) * std::exp(-0.5 * (b * b));
    }
  return w;
}
} // namespace

// ---------------------------------------------------------------------------------------------------
// Kernels

TEST(ConvolutionKernels, PresetTables)
{
  const std::vector<Float> b = {1, 4, 6, 4, 1};
  std::vector<Float> gauss5(25), unsharp5(25);
  for (std::size_t ky = 0; ky < 5; ++ky)
    for (std::size_t kx = 0; kx < 5; ++kx)
    {
      gauss5[ky * 5 + kx] = b[ky] * b[kx] / 256.0;
      unsharp5[ky * 5 + kx] = -b[ky] * b[kx] / 256.0;
    }
  unsharp5[12] = 476.0 / 256.0;

  struct Case
  {
    const char* name;
    std::function<std::unique_ptr<BaseKernel>()> make;
    UInt32 size;
    std::vector<Float> weights;
  };
  const Case cases[] = {
    {"GaussBlur3x3",
     [] { return std::make_unique<PresetKernels::GaussBlur3x3>(); },
     3,
     {1 / 16.0, 2 / 16.0, 1 / 16.0, 2 / 16.0, 4 / 16.0, 2 / 16.0, 1 / 16.0, 2 / 16.0, 1 / 16.0}},
    {"GaussBlur5x5", [] { return std::make_unique<PresetKernels::GaussBlur5x5>(); }, 5, gauss5},
    {"Sharpen3x3", [] { return std::make_unique<PresetKernels::Sharpen3x3>(); }, 3, {0, -1, 0, -1, 5, -1, 0, -1, 0}},
    {"UnsharpMask5x5", [] { return std::make_unique<PresetKernels::UnsharpMask5x5>(); }, 5, unsharp5},
  };
  for (const Case& c : cases)
  {
    std::unique_ptr<BaseKernel> k = c.make();
    // Arguments are ignored by the fixed presets.
    ASSERT_TRUE(k->InitKernel(9, nullptr).IsOk()) << c.name;
    EXPECT_EQ(k->size, c.size) << c.name;
    EXPECT_EQ(Weights(*k), c.weights) << c.name;
    EXPECT_EQ(Sum(Weights(*k)), 1.0) << c.name;
  }
}

TEST(ConvolutionKernels, GaussBlurOfRadiusOne)
{
  PresetKernels::GaussBlur k;
  ASSERT_TRUE(k.InitKernel(1).IsOk());
  ASSERT_EQ(k.size, 3u);
  // Sigma 0.5: the centre weighs 1, its four neighbours exp(-2), the corners exp(-2)^2, then all over
  // their sum (multiplied by its reciprocal).
  const Float e = std::exp(-2.0);
  const std::vector<Float> raw = {e * e, e, e * e, e, 1.0, e, e * e, e, e * e};
  EXPECT_NEAR(e * e, std::exp(-4.0), 1e-17);
  const Float factor = 1.0 / Sum(raw);
  std::vector<Float> want;
  for (const Float v : raw)
    want.push_back(v * factor);
  EXPECT_EQ(Weights(k), want);
  EXPECT_NEAR(Sum(Weights(k)), 1.0, 1e-15);
}

TEST(ConvolutionKernels, GaussianFamilies)
{
  for (const UInt32 r : {0u, 1u, 2u, 3u, 10u})
  {
    PresetKernels::GaussBlur blur;
    ASSERT_TRUE(blur.InitKernel(r).IsOk());
    const Int size = 2 * static_cast<Int>(r) + 1;
    ASSERT_EQ(blur.size, static_cast<UInt32>(size)) << r;
    ASSERT_EQ(blur.weights.GetCount(), size * size) << r;
    EXPECT_NEAR(Sum(Weights(blur)), 1.0, 1e-14) << r;
    if (r > 0)
    {
      // Bit for bit the definition's samples over their sum.
      const std::vector<Float> raw = GaussianSamples(static_cast<Int>(r));
      const Float factor = 1.0 / Sum(raw);
      for (std::size_t i = 0; i < raw.size(); ++i)
        ASSERT_TRUE(Same(blur.weights[static_cast<Int>(i)], raw[i] * factor)) << r << " weight " << i;
    }
    else
    {
      // Radius 0: the identity rather than the 0 / 0 of sigma 0.
      EXPECT_EQ(Weights(blur), std::vector<Float>{1.0});
    }

    // The unsharp mask is twice the impulse minus that Gaussian, and sums to 1 too.
    PresetKernels::UnsharpMask unsharp;
    ASSERT_TRUE(unsharp.InitKernel(r).IsOk());
    ASSERT_EQ(unsharp.size, static_cast<UInt32>(size));
    const Int centre = size * size / 2;
    for (Int i = 0; i < size * size; ++i)
      ASSERT_NEAR(unsharp.weights[i], (i == centre ? 2.0 : 0.0) - blur.weights[i], 1e-14) << r << " " << i;
    EXPECT_NEAR(Sum(Weights(unsharp)), 1.0, 1e-14) << r;
  }
}

TEST(ConvolutionKernels, InitConvolutionKernelSizesTheKernel)
{
  // Size 0 fails before the kernel is touched.
  TableKernel table;
  Result<void> res = InitConvolutionKernel(table, 0, nullptr);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT);
  EXPECT_EQ(res.GetError().GetMessage(), String("Can't initialize kernel with size 0!"));
  EXPECT_EQ(table.size, 0u);
  EXPECT_EQ(table.weights.GetCount(), 0);

  // The unsharp mask takes the size as its radius: 2 x 2 + 1 wide.
  PresetKernels::UnsharpMask unsharp;
  ASSERT_TRUE(InitConvolutionKernel(unsharp, 2).IsOk());
  EXPECT_EQ(unsharp.size, 5u);
  EXPECT_EQ(unsharp.weights.GetCount(), 25);

  // The sharpen ramp keeps the size it was given and holds its half kernel.
  VeridoVivuzar::SharpenKernel ramp;
  const Float ends[2] = {3.0, -1.0};
  ASSERT_TRUE(InitConvolutionKernel(ramp, 9, ends).IsOk());
  EXPECT_EQ(ramp.size, 9u);
  EXPECT_EQ(Weights(ramp), (std::vector<Float>{3.0, 2.0, 1.0, 0.0, -1.0}));
  // Never shaped to size x size on the way: a wide ramp costs its half kernel, not its square
  // (200001 squared would be 320 GB).
  EXPECT_LT(ramp.weights.GetCapacity(), 81);
  VeridoVivuzar::SharpenKernel wide;
  ASSERT_TRUE(InitConvolutionKernel(wide, 200001, ends).IsOk());
  EXPECT_EQ(wide.size, 200001u);
  EXPECT_EQ(wide.weights.GetCount(), 100001);
  EXPECT_EQ(wide.weights[0], 3.0);
  EXPECT_EQ(wide.weights[100000], -1.0);
  VeridoVivuzar::SharpenKernel noEnds;
  res = InitConvolutionKernel(noEnds, 5, nullptr);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetMessage(), String("Data pointer must not be NULL!"));
}

TEST(ConvolutionKernels, SharpenRampShapes)
{
  struct Case
  {
    UInt32 size;
    Float centre;
    Float edge;
    std::vector<Float> weights;
  };
  // The fraction i / (n - 1) is real: size 7 has thirds.
  const Case cases[] = {
    {1, 5.0, -1.0, {1.0}},   // one weight: the identity, not 0 / 0
    {2, 5.0, -1.0, {5.0, -1.0}},
    {3, 5.0, -1.0, {5.0, -1.0}},
    {5, 5.0, -1.0, {5.0, 2.0, -1.0}},
    {7, 5.0, -1.0, {5.0, 5.0 + (1.0 / 3.0) * -6.0, 5.0 + (2.0 / 3.0) * -6.0, -1.0}},
  };
  for (const Case& c : cases)
  {
    VeridoVivuzar::SharpenKernel k;
    const Float ends[2] = {c.centre, c.edge};
    ASSERT_TRUE(InitConvolutionKernel(k, c.size, ends).IsOk()) << c.size;
    EXPECT_EQ(Weights(k), c.weights) << c.size;
  }
}

TEST(ConvolutionKernels, OversizedKernelsAreRefusedAsOutOfMemory)
{
  struct Case
  {
    const char* name;
    std::function<Result<void>()> init;
  };
  PresetKernels::GaussBlur blur;
  PresetKernels::UnsharpMask unsharp;
  const Case cases[] = {
    // 2r + 1 does not fit the size field.
    {"GaussBlur of radius 2^32 - 1", [&] { return blur.InitKernel(std::numeric_limits<UInt32>::max()); }},
    // 2^32 - 1 wide: its square wraps 64 bits' worth of addressable doubles.
    {"GaussBlur of radius 2^31 - 1", [&] { return blur.InitKernel(2147483647u); }},
    {"UnsharpMask of size 2^31 - 1", [&] { return InitConvolutionKernel(unsharp, 2147483647u); }},
    {"an injected allocation failure",
     [&] {
       host::ScopedAllocationFailure fail(1);
       return PresetKernels::GaussBlur3x3().InitKernel();
     }},
  };
  for (const Case& c : cases)
  {
    Result<void> res = c.init();
    ASSERT_TRUE(res.IsError()) << c.name;
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::OUT_OF_MEMORY) << c.name;
  }
  EXPECT_EQ(blur.weights.GetCount(), 0);
  EXPECT_EQ(unsharp.weights.GetCount(), 0);
}

// ---------------------------------------------------------------------------------------------------
// Index resolution

TEST(ResolveTapIndex, EveryModeStaysInsideTheAxis)
{
  struct Case
  {
    OUTOFBOUNDSMODE mode;
    Int n;
    Int i;
    Int want;
  };
  using M = OUTOFBOUNDSMODE;
  const Case cases[] = {
    {M::CLAMP, 5, -1, 0},
    {M::CLAMP, 5, -9, 0},
    {M::CLAMP, 5, 5, 4},
    {M::CLAMP, 5, 40, 4},
    {M::TILE, 5, -1, 4},
    {M::TILE, 5, -5, 0},
    {M::TILE, 5, -6, 4},
    {M::TILE, 5, 5, 0},
    {M::TILE, 5, 12, 2},
    // MIRROR: -1 reads 1 (edge not repeated), n reads n - 1 (edge repeated).
    {M::MIRROR, 5, -1, 1},
    {M::MIRROR, 5, -4, 4},
    {M::MIRROR, 5, 5, 4},
    {M::MIRROR, 5, 6, 3},
    {M::MIRROR, 5, 9, 0},
    // Past the far end once reflected: clamped.
    {M::MIRROR, 5, -7, 4},
    {M::MIRROR, 5, 12, 0},
    {M::MIRROR, 1, -1, 0},
    {M::MIRROR, 1, 1, 0},
    {M::MIRROR, 2, -3, 1},
    {M::NONE, 5, -1, -1},
    {M::NONE, 5, 5, -1},
    {M::NONE, 5, 3, 3},
    {static_cast<M>(7), 5, -1, -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ResolveTapIndex(c.i, c.n, c.mode), c.want) << static_cast<Int32>(c.mode) << " n " << c.n << " i " << c.i;
  for (const M mode : MODES)
    for (Int i = 0; i < 5; ++i)
      EXPECT_EQ(ResolveTapIndex(i, 5, mode), i);
}

// ---------------------------------------------------------------------------------------------------
// ConvolveGrid

TEST(ConvolveGrid, BorderRulesOnATinyGrid)
{
  // 4 x 3 cells, value 10 y + x; a kernel with a single 1 in a corner copies one shifted neighbour.
  Grid2D<Float> src;
  ASSERT_TRUE(src.Init(4, 3, 1.0, 1.0).IsOk());
  for (Int y = 0; y < 3; ++y)
    for (Int x = 0; x < 4; ++x)
      src.cells[y * 4 + x] = static_cast<Float>(10 * y + x);
  struct Case
  {
    const char* name;
    OUTOFBOUNDSMODE mode;
    Int tap;   // index of the 1 in the 3 x 3 kernel: 0 reads (x - 1, y - 1), 8 reads (x + 1, y + 1)
    std::vector<Float> want;
  };
  const Case cases[] = {
    {"mirror up-left", OUTOFBOUNDSMODE::MIRROR, 0, {11, 10, 11, 12, 1, 0, 1, 2, 11, 10, 11, 12}},
    {"mirror down-right", OUTOFBOUNDSMODE::MIRROR, 8, {11, 12, 13, 13, 21, 22, 23, 23, 21, 22, 23, 23}},
    {"clamp up-left", OUTOFBOUNDSMODE::CLAMP, 0, {0, 0, 1, 2, 0, 0, 1, 2, 10, 10, 11, 12}},
    {"clamp down-right", OUTOFBOUNDSMODE::CLAMP, 8, {11, 12, 13, 13, 21, 22, 23, 23, 21, 22, 23, 23}},
    {"tile up-left", OUTOFBOUNDSMODE::TILE, 0, {23, 20, 21, 22, 3, 0, 1, 2, 13, 10, 11, 12}},
    {"tile down-right", OUTOFBOUNDSMODE::TILE, 8, {11, 12, 13, 10, 21, 22, 23, 20, 1, 2, 3, 0}},
    {"none up-left", OUTOFBOUNDSMODE::NONE, 0, {0, 0, 0, 0, 0, 0, 1, 2, 0, 10, 11, 12}},
    {"none down-right", OUTOFBOUNDSMODE::NONE, 8, {11, 12, 13, 0, 21, 22, 23, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases)
  {
    std::vector<Float> table(9, 0.0);
    table[static_cast<std::size_t>(c.tap)] = 1.0;
    TableKernel k;
    ASSERT_TRUE(k.InitKernel(3, table.data()).IsOk());
    Grid2D<Float> dst;
    ASSERT_TRUE(dst.InitLike(src).IsOk());
    ASSERT_TRUE(ConvolveGrid(Job(src, dst, k, c.mode), 3).IsOk()) << c.name;
    EXPECT_EQ(Cells(dst), c.want) << c.name;
  }
}

TEST(ConvolveGrid, MatchesThePlainReferenceBitForBit)
{
  struct Shape
  {
    Int w, h;
  };
  // One row, one column, smaller than the kernels, and shapes wider than a strip with ragged tails.
  const Shape shapes[] = {{1, 1}, {1, 23}, {29, 1}, {2, 3}, {4, 4}, {5, 5}, {37, 23}, {70, 9}, {19, 40}};

  struct KernelCase
  {
    const char* name;
    std::function<std::unique_ptr<BaseKernel>()> make;
    Int hx = -1, hy = -1;   // -1: size >> 1
  };
  std::mt19937 rng(99);
  std::uniform_real_distribution<Float> dist(-1.0, 1.0);
  std::vector<Float> asym5(25), even4(16);
  for (Float& v : asym5)
    v = dist(rng);
  for (Float& v : even4)
    v = dist(rng);
  auto table = [](UInt32 size, const std::vector<Float>& w) {
    auto k = std::make_unique<TableKernel>();
    EXPECT_TRUE(k->InitKernel(size, w.data()).IsOk());
    return std::unique_ptr<BaseKernel>(std::move(k));
  };
  auto preset = [](auto kernel, UInt32 argument) {
    EXPECT_TRUE(kernel->InitKernel(argument, nullptr).IsOk());
    return std::unique_ptr<BaseKernel>(std::move(kernel));
  };
  const KernelCase kernels[] = {
    {"GaussBlur3x3", [&] { return preset(std::make_unique<PresetKernels::GaussBlur3x3>(), 0); }},
    {"GaussBlur5x5", [&] { return preset(std::make_unique<PresetKernels::GaussBlur5x5>(), 0); }},
    {"GaussBlur r=4", [&] { return preset(std::make_unique<PresetKernels::GaussBlur>(), 4); }},
    {"UnsharpMask r=2", [&] { return preset(std::make_unique<PresetKernels::UnsharpMask>(), 2); }},
    {"random 5x5", [&] { return table(5, asym5); }},
    {"random 5x5, off centre", [&] { return table(5, asym5); }, 0, 4},
    {"random 4x4, far off centre", [&] { return table(4, even4); }, 7, 1},
  };

  for (const detail::VECTORWIDTH width : WIDTHS)
  {
    WidthScope scope(width);
    for (const Shape& s : shapes)
      for (const KernelCase& kc : kernels)
        for (const OUTOFBOUNDSMODE mode : MODES)
        {
          const std::unique_ptr<BaseKernel> k = kc.make();
          const Grid2D<Float> src = RandomGrid(s.w, s.h, static_cast<unsigned>(s.w * 131 + s.h));
          Grid2D<Float> dst;
          ASSERT_TRUE(dst.InitLike(src).IsOk());
          ConvolutionJob job = Job(src, dst, *k, mode);
          if (kc.hx >= 0)
          {
            job.halfWidthX = static_cast<UInt32>(kc.hx);
            job.halfWidthY = static_cast<UInt32>(kc.hy);
          }
          ASSERT_TRUE(ConvolveGrid(job, s.h).IsOk());
          const std::vector<Float> want = ReferenceConvolve(Cells(src), s.w, s.h, Weights(*k), k->size, job.halfWidthX,
                                                            job.halfWidthY, ToBorder(mode));
          EXPECT_EQ(FirstDifference(Cells(dst), want), -1)
            << kc.name << " on " << s.w << " x " << s.h << " mode " << static_cast<Int32>(mode) << " width "
            << static_cast<Int32>(scope.width);
        }
  }
}

TEST(ConvolveGrid, AKernelWiderThanTheGridReadsOnlyItsCells)
{
  // Radius 10 (21 x 21) on 5 x 5 and on 3 x 1: every reflection past the far end is clamped back.
  PresetKernels::GaussBlur k;
  ASSERT_TRUE(k.InitKernel(10).IsOk());
  for (const auto& [w, h] : {std::pair<Int, Int>{5, 5}, std::pair<Int, Int>{3, 1}})
    for (const OUTOFBOUNDSMODE mode : MODES)
    {
      const Grid2D<Float> src = RandomGrid(w, h, 5);
      Grid2D<Float> dst;
      ASSERT_TRUE(dst.InitLike(src).IsOk());
      ASSERT_TRUE(ConvolveGrid(Job(src, dst, k, mode), h).IsOk());
      EXPECT_EQ(
        FirstDifference(Cells(dst), ReferenceConvolve(Cells(src), w, h, Weights(k), 21, 10, 10, ToBorder(mode))), -1)
        << w << " x " << h << " mode " << static_cast<Int32>(mode);
    }

  // A kernel so wide that its edge cells resolve every tap on their own instead of through buffers.
  std::mt19937 rng(21);
  std::uniform_real_distribution<Float> dist(-1.0, 1.0);
  std::vector<Float> huge(1101 * 1101);
  for (Float& v : huge)
    v = dist(rng);
  TableKernel wide;
  ASSERT_TRUE(wide.InitKernel(1101, huge.data()).IsOk());
  const Grid2D<Float> src = RandomGrid(4, 3, 6);
  for (const OUTOFBOUNDSMODE mode : MODES)
  {
    Grid2D<Float> dst;
    ASSERT_TRUE(dst.InitLike(src).IsOk());
    ASSERT_TRUE(ConvolveGrid(Job(src, dst, wide, mode), 3).IsOk());
    EXPECT_EQ(FirstDifference(Cells(dst), ReferenceConvolve(Cells(src), 4, 3, huge, 1101, 550, 550, ToBorder(mode))),
              -1)
      << "1101 wide, mode " << static_cast<Int32>(mode);
  }
}

TEST(ConvolveGrid, ConstantGridSurvivesEveryPresetUnderMirror)
{
  const Grid2D<Float> src = [] {
    Grid2D<Float> g;
    EXPECT_TRUE(g.Init(23, 17, 1.0, 1.0).IsOk());
    for (Float& v : g.cells)
      v = 3.0;
    return g;
  }();
  std::vector<std::unique_ptr<BaseKernel>> kernels;
  kernels.push_back(std::make_unique<PresetKernels::GaussBlur3x3>());
  kernels.push_back(std::make_unique<PresetKernels::GaussBlur5x5>());
  kernels.push_back(std::make_unique<PresetKernels::GaussBlur>());
  kernels.push_back(std::make_unique<PresetKernels::Sharpen3x3>());
  kernels.push_back(std::make_unique<PresetKernels::UnsharpMask5x5>());
  kernels.push_back(std::make_unique<PresetKernels::UnsharpMask>());
  for (const auto& k : kernels)
  {
    ASSERT_TRUE(k->InitKernel(6, nullptr).IsOk());
    Grid2D<Float> dst;
    ASSERT_TRUE(dst.InitLike(src).IsOk());
    ASSERT_TRUE(ConvolveGrid(Job(src, dst, *k, OUTOFBOUNDSMODE::MIRROR), src.height).IsOk());
    // Normalised weights sum to 1 only to rounding.
    for (const Float v : dst.cells)
      ASSERT_NEAR(v, 3.0, 1e-12) << k->size;
  }
}

TEST(ConvolveGrid, OneThreadAndAllThreadsAreBitIdentical)
{
  const Grid2D<Float> src = RandomGrid(301, 257, 17);
  PresetKernels::GaussBlur k;
  ASSERT_TRUE(k.InitKernel(3).IsOk());
  for (const OUTOFBOUNDSMODE mode : MODES)
  {
    Grid2D<Float> serial, parallel;
    ASSERT_TRUE(serial.InitLike(src).IsOk());
    ASSERT_TRUE(parallel.InitLike(src).IsOk());
    {
      SerialScope one;
      ASSERT_TRUE(ConvolveGrid(Job(src, serial, k, mode), src.height).IsOk());
    }
    ASSERT_TRUE(ConvolveGrid(Job(src, parallel, k, mode), src.height).IsOk());
    EXPECT_EQ(FirstDifference(Cells(serial), Cells(parallel)), -1) << static_cast<Int32>(mode);
  }
}

TEST(ConvolveGrid, WritesOnlyTheRowsAndColumnsOfTheJob)
{
  const Grid2D<Float> src = RandomGrid(30, 12, 3);
  PresetKernels::GaussBlur5x5 k;
  ASSERT_TRUE(k.InitKernel().IsOk());
  const std::vector<Float> full = ReferenceConvolve(Cells(src), 30, 12, Weights(k), 5, 2, 2, Border::MIRROR);

  Grid2D<Float> dst;
  ASSERT_TRUE(dst.InitLike(src).IsOk());
  for (Float& v : dst.cells)
    v = -1.0;
  dst.min = 7.0;
  dst.max = 8.0;
  dst.minMaxValid = true;
  ConvolutionJob job = Job(src, dst, k, OUTOFBOUNDSMODE::MIRROR);
  job.width = 19;
  ASSERT_TRUE(ConvolveGrid(job, 7).IsOk());
  for (Int y = 0; y < 12; ++y)
    for (Int x = 0; x < 30; ++x)
    {
      const Float want = (y < 7 && x < 19) ? full[static_cast<std::size_t>(y * 30 + x)] : -1.0;
      ASSERT_TRUE(Same(dst.cells[y * 30 + x], want)) << x << "," << y;
    }
  // The range is the callers' business.
  EXPECT_TRUE(dst.minMaxValid);
  EXPECT_EQ(dst.min, 7.0);

  // One row alone is the same row.
  Grid2D<Float> row;
  ASSERT_TRUE(row.InitLike(src).IsOk());
  ASSERT_TRUE(ConvolveRows(Job(src, row, k, OUTOFBOUNDSMODE::MIRROR), 11).IsOk());
  for (Int x = 0; x < 30; ++x)
  {
    EXPECT_TRUE(Same(row.cells[11 * 30 + x], full[static_cast<std::size_t>(11 * 30 + x)])) << x;
    EXPECT_EQ(row.cells[10 * 30 + x], 0.0);
  }
}

TEST(ConvolveGrid, RefusesJobsThatWouldReachOutsideTheGrids)
{
  const Grid2D<Float> src = RandomGrid(6, 5, 1);
  Grid2D<Float> dst;
  ASSERT_TRUE(dst.InitLike(src).IsOk());
  Grid2D<Float> empty;
  PresetKernels::GaussBlur3x3 k;
  ASSERT_TRUE(k.InitKernel().IsOk());

  struct Case
  {
    const char* name;
    std::function<void(ConvolutionJob&, Int&)> edit;
    ERRORKIND kind;
  };
  const Case cases[] = {
    {"no source", [](ConvolutionJob& j, Int&) { j.source = nullptr; }, ERRORKIND::NULLPTR},
    {"no kernel", [](ConvolutionJob& j, Int&) { j.kernel = nullptr; }, ERRORKIND::NULLPTR},
    {"source is destination", [&](ConvolutionJob& j, Int&) { j.source = &dst; }, ERRORKIND::ILLEGAL_ARGUMENT},
    {"kernel size above its weights", [](ConvolutionJob& j, Int&) { j.kernelSize = 4; }, ERRORKIND::ILLEGAL_ARGUMENT},
    {"more rows than the destination", [](ConvolutionJob&, Int& rows) { rows = 6; }, ERRORKIND::ILLEGAL_ARGUMENT},
    {"negative rows", [](ConvolutionJob&, Int& rows) { rows = -1; }, ERRORKIND::ILLEGAL_ARGUMENT},
    {"wider than the destination", [](ConvolutionJob& j, Int&) { j.width = 7; }, ERRORKIND::ILLEGAL_ARGUMENT},
    {"an empty source", [&](ConvolutionJob& j, Int&) { j.source = &empty; }, ERRORKIND::ILLEGAL_ARGUMENT},
  };
  for (const Case& c : cases)
  {
    for (Float& v : dst.cells)
      v = -1.0;
    ConvolutionJob job = Job(src, dst, k, OUTOFBOUNDSMODE::MIRROR);
    Int rows = 5;
    c.edit(job, rows);
    Result<void> res = ConvolveGrid(job, rows);
    ASSERT_TRUE(res.IsError()) << c.name;
    EXPECT_EQ(res.GetError().GetKind(), c.kind) << c.name;
    for (const Float v : dst.cells)
      ASSERT_EQ(v, -1.0) << c.name;
  }
  ConvolutionJob job = Job(src, dst, k, OUTOFBOUNDSMODE::MIRROR);
  for (const Int y : {Int(-1), Int(5), std::numeric_limits<Int>::max()})
    EXPECT_TRUE(ConvolveRows(job, y).IsError()) << y;
  // Nothing to do is no error, even from an empty source.
  job.source = &empty;
  EXPECT_TRUE(ConvolveGrid(job, 0).IsOk());
}

TEST(ConvolveMirrored, ShapesTheOutputOrCopiesTheInputOnAKernelError)
{
  Grid2D<Float> input = RandomGrid(9, 7, 8);
  input.RecomputeMinMax();
  PresetKernels::GaussBlur3x3 k;
  Grid2D<Float> output;
  ASSERT_TRUE(ConvolveMirrored(input, output, k, k.InitKernel()).IsOk());
  EXPECT_EQ(output.width, 9);
  EXPECT_EQ(output.height, 7);
  EXPECT_EQ(output.sizeX, input.sizeX);
  EXPECT_FALSE(output.minMaxValid);
  EXPECT_EQ(FirstDifference(Cells(output), ReferenceConvolve(Cells(input), 9, 7, Weights(k), 3, 1, 1, Border::MIRROR)),
            -1);

  const Result<void> failed = IllegalArgumentError("Can't initialize kernel with size 0!");
  Result<void> res = ConvolveMirrored(input, output, k, failed);
  ASSERT_TRUE(res.IsError());
  EXPECT_EQ(res.GetError().GetMessage(), String("Can't initialize kernel with size 0!"));
  EXPECT_EQ(Cells(output), Cells(input));
  EXPECT_TRUE(output.minMaxValid);
}

// ---------------------------------------------------------------------------------------------------
// Separable passes

TEST(SeparableFilter, MatchesTheReferenceBitForBit)
{
  struct Case
  {
    const char* name;
    Int half;
    std::vector<Float> ramp;   // empty: uniform
    Float uniform;
    Float factor;
  };
  const Case cases[] = {
    {"box 1", 0, {}, 1.0, 1.0},
    {"box 5", 2, {}, 1.0 / 5.0, 1.0},
    {"box 11", 5, {}, 1.0 / 11.0, 1.0},
    {"ramp 3", 1, {5.0, -1.0}, 0.0, 1.0 / 3.0},
    {"ramp 9", 4, {3.0, 2.0, 1.0, 0.0, -1.0}, 0.0, 1.0 / 3.0},
    {"ramp 41, wider than the grids", 20, std::vector<Float>(21, 0.25), 0.0, 0.1},
  };
  const std::pair<Int, Int> shapes[] = {{1, 1}, {1, 19}, {23, 1}, {3, 4}, {75, 33}, {17, 6}};
  for (const detail::VECTORWIDTH width : WIDTHS)
  {
    WidthScope scope(width);
    for (const Case& c : cases)
      for (const auto& [w, h] : shapes)
        for (const Bool inPlace : {true, false})
        {
          Grid2D<Float> grid = RandomGrid(w, h, static_cast<unsigned>(w + 7 * h));
          grid.min = -3.0;
          grid.max = 4.0;
          grid.minMaxValid = true;
          std::vector<Float> taps;
          for (Int k = -c.half; k <= c.half; ++k)
            taps.push_back(c.ramp.empty() ? c.uniform : c.ramp[static_cast<std::size_t>(k < 0 ? -k : k)]);
          const std::vector<Float> want = ReferenceSeparable(Cells(grid), w, h, taps, c.factor);
          SeparableKernel kernel;
          kernel.half = c.half;
          kernel.ramp = c.ramp.empty() ? nullptr : c.ramp.data();
          kernel.uniform = c.uniform;
          kernel.factor = c.factor;
          // Between two grids the destination's cells are reused when it has as many, whatever they held.
          Grid2D<Float> other = RandomGrid(h, w, 1);
          Grid2D<Float>& out = inPlace ? grid : other;
          ASSERT_TRUE(SeparableFilter(grid, out, kernel, nullptr, "V", "H").IsOk());
          EXPECT_EQ(FirstDifference(Cells(out), want), -1)
            << c.name << " on " << w << " x " << h << (inPlace ? " in place" : "") << " width "
            << static_cast<Int32>(scope.width);
          EXPECT_EQ(out.width, w);
          EXPECT_EQ(out.height, h);
          EXPECT_EQ(out.min, -3.0);
          EXPECT_TRUE(out.minMaxValid);
        }
  }

  // A negative half width has no taps: zeros, and no read anywhere.
  Grid2D<Float> grid = RandomGrid(20, 20, 2);
  SeparableKernel none;
  none.half = -3;
  none.uniform = 1.0;
  ASSERT_TRUE(SeparableFilter(grid, grid, none, nullptr, "V", "H").IsOk());
  for (const Float v : grid.cells)
    ASSERT_EQ(v, 0.0);
}

TEST(SeparableFilter, ABreakEndsThePassItHitsWithTheCallersLocation)
{
  // 20 rows: rows 0, 8 and 16 skip the test (no bit of 999 set), so each pass asks 17 times.
  const Grid2D<Float> original = RandomGrid(13, 20, 4);
  SeparableKernel box;
  box.half = 1;
  box.uniform = 1.0 / 3.0;
  HostThread thread;
  {
    Grid2D<Float> grid;
    ASSERT_TRUE(grid.CopyFrom(original).IsOk());
    ASSERT_TRUE(SeparableFilter(grid, grid, box, &thread, "V", "H").IsOk());
    EXPECT_EQ(thread.GetTestCount(), 34);
  }
  struct Case
  {
    Int breakAfter;
    const char* message;
    Bool untouched;   // the vertical pass writes only the temporary
  };
  for (const Case& c : {Case{1, "Vertical pass cancelled!", true}, Case{18, "Horizontal pass cancelled!", false}})
  {
    SerialScope one;
    Grid2D<Float> grid;
    ASSERT_TRUE(grid.CopyFrom(original).IsOk());
    thread.BreakAfterTests(c.breakAfter);
    Result<void> res = SeparableFilter(grid, grid, box, &thread, "Vertical pass", "Horizontal pass");
    thread.BreakAfterTests(0);
    ASSERT_TRUE(res.IsError());
    EXPECT_EQ(res.GetError().GetKind(), ERRORKIND::UNEXPECTED);
    EXPECT_EQ(res.GetError().GetMessage(), String(c.message));
    EXPECT_TRUE(std::string(res.GetError().GetLocation().file_name()).ends_with("test_convolution.cpp"));
    // The horizontal pass stopped at row 1, after row 0 (which makes no test) was filtered.
    const Int same = FirstDifference(Cells(grid), Cells(original));
    if (c.untouched)
      EXPECT_EQ(same, -1);
    else
    {
      EXPECT_EQ(same, 0);
      for (Int k = 13; k < grid.cellCount; ++k)
        ASSERT_EQ(grid.cells[k], original.cells[k]) << k;
    }
  }
}
