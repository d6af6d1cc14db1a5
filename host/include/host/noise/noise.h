// The host's noise services: the seeded noise library (`NoiseLibrary`) and the plain solid noise of a
// point (`HostNoise3D`). Both are ours; they are pure functions of their arguments and of the tables a
// generator builds from its seed, so the same seed gives bit-identical values on every run and with any
// number of threads.
//
// Threads: `Create`, `InitFbm` and `Free` change a generator and must not overlap any other call on it.
// Once set up, `Noise` and `RidgedMultifractal` only read the generator and may be called from any
// number of threads at once; `HostNoise3D` reads process-wide constant tables and is always safe.
// No sampling call allocates, locks or throws.
//
// Positions: every noise is defined on a lattice of unit cells that repeats every 256 cells along each
// axis. Coordinates are clamped to +-2^52 (beyond which a double has no fractional part left) and a
// NaN coordinate reads as -2^52, so no input can make a sample fail; every plain type (below) returns a
// value in [0, 1] whatever its arguments, NaN and infinities included.
//
// `NoiseLibrary::Noise` (generator, type, smooth, position, time, octaves, absolute, warp, modulation,
// layer) -> Float in [0, 1]:
//  - smooth: true interpolates the lattice types (value and gradient based) with the quintic fade
//    (continuous curvature), false with the cheaper cubic one (continuous slope only). The simplex,
//    cellular and block types and the ridged multifractal (always quintic) ignore it.
//  - time moves the sample position along TIME_DRIFT, so animating time scrolls the field.
//  - octaves: used only by the octave types 3, 7, 8, 12, 14, 20, 21, 23 and 64. Fractional values
//    blend the last octave in by their fraction; values below 1 (and NaN) act as 1, values above the
//    octave limit act as the limit: MAX_FRACTAL_OCTAVES for the fixed spectrum, the spectrum's octave
//    count for 3, 8 and 64.
//  - absolute: folds the result about its middle, v -> |2v - 1| (creased, billowy variants).
//  - warp: strength of the domain warp of types 13, 23 and 25; the sample is displaced by up to
//    warp x WARP_GAIN cells along each axis (0.25 moves it by up to one cell).
//  - modulation: depth of the wave modulation of type 17, clamped to [0, 1].
//  - layer: picks one of 2^32 independent fields of the same generator (a fixed shift of the
//    position per layer value); 0 is the generator's base field.
//
// Type numbers ("octaves" marks the types that use the octave argument; "spectrum" the ones that use
// the fractal spectrum prepared by `InitFbm`). G is gradient noise, S simplex noise, V value noise,
// each in [-1, 1]; n01(x) = 0.5 + 0.5x. The fixed spectrum has lacunarity FRACTAL_LACUNARITY and gain
// FRACTAL_GAIN, and every octave is sampled at its own seeded offset. F1 and F2 are the distances to
// the nearest and second-nearest feature points (one per cell, jittered inside the cell's middle),
// searched over the 27 cells around the sample, which is exact for F1; the cellular lattice is shifted
// half a cell along Y, so that the plane Y = 0 (where the noise operator samples) cuts through the
// middle of its cells, near every feature point.
//   1 "Value"               n01(V): random lattice values, interpolated.
//   2 "Gradient"            n01(G): lattice gradients, interpolated (classic solid noise).
//   3 "Spectral fBm"        octaves, spectrum: fractal sum of G over the InitFbm spectrum.
//   4 "Simplex"             n01(S): simplex-lattice gradient noise, fewer axis-aligned features.
//   5 "Cells F1"            F1, scaled by its bound: dimples around the feature points.
//   6 "Cells F2"            F2, scaled by its bound: rounded cells meeting in creases.
//   7 "Turbulence"          octaves: fractal sum of |G|, creased valleys.
//   8 "Spectral Ridges"     octaves, spectrum: fractal sum of (1 - |G|)^2 over the InitFbm spectrum.
//   9 "Cell Edges"          F2 - F1: a crack network along the cell borders.
//  10 "Cell Mosaic"         a random flat value per cell (crystal facets).
//  11 "Ridge"               1 - |G|: one octave of sharp ridges.
//  12 "Simplex fBm"         octaves: fractal sum of S.
//  13 "Warped Gradient"     G sampled at a position warped by three further G fields.
//  14 "Billow"              octaves: fractal sum of S^2, soft rounded puffs.
//  15 "Marble"              a sine along X + Z whose phase is bent by three octaves of turbulence.
//  16 "Wood"                rings around the Y axis, one per cell, bent by G.
//  17 "Wave-Modulated fBm"  four octaves of G fBm whose amplitude a sine wave along X modulates.
//  18 "Dunes"               skewed waves along X (gentle windward, steep lee slopes) bent by G.
//  19 "Cells Chebyshev"     F1 under the Chebyshev metric: square pyramids.
//  20 "Value fBm"           octaves: fractal sum of V.
//  21 "fBm"                 octaves: fractal sum of G (fractional Brownian motion). The default.
//  22 "Cell Ripples"        rings spreading from each feature point, fading with distance.
//  23 "Warped fBm"          octaves: fBm of G sampled at a position warped by two-octave fBm fields.
//  24 "Craters"             a bowl with a raised rim around each feature point, on a level plain.
//  25 "Warped Cells"        F1 sampled at a position warped by three G fields: organic cells.
//  26 "Terraces"            three octaves of G fBm quantised into smooth steps.
//  27 "Blocks"              the lattice value of the cell, not interpolated: stepped blocks.
//  28 "Spots"               round plateaus around the feature points.
//  29 "Interference"        two crossing sine waves, each bent by G.
//  30 "Hybrid Multifractal" six octaves of G where each octave is weighted by the ones before it:
//                           smooth lowlands, rough highlands.
//  64 "Ridged Multifractal" octaves, spectrum: `RidgedMultifractal` with offset 1, gain 1 and every
//                           octave, divided by its bound so that it lies in [0, 1].
// Any other type number gives type 21's noise.
//
// `NoiseLibrary::RidgedMultifractal` (generator, position, time, octaves, offset, gain, octaveMask):
// Musgrave's ridged multifractal over the InitFbm spectrum (lacunarity L, exponent H; octave i has
// frequency L^i and weight w_i = L^(-H i)): with r_i = (offset - |G_i|)^2, v_0 = 1 and
// v_(i+1) = clamp(r_i gain v_i, 0, 1), the result is the sum of w_i r_i v_i. Octave i takes part only
// when bit min(i, 31) of octaveMask is set (1023 keeps the first ten, -1 all). It is not normalised:
// with offset 1 it lies in [0, sum of w_i over the evaluated octaves] (about 2.05 for five octaves of
// the spectrum (20, 2.2, 0.8)). The clamp maps NaN to 0, so a NaN gain drops the octaves after the
// first; a result that is not finite (from a non-finite offset) reads 0.
//
// Without `InitFbm` the spectrum types use the fixed spectrum. `InitFbm` refuses (returns false and
// keeps the previous spectrum) an octave count outside [1, MAX_SPECTRUM_OCTAVES], a lacunarity or
// exponent that is not finite, and an allocation that fails. The lacunarity's magnitude is clamped to
// [MIN_LACUNARITY, MAX_LACUNARITY] and the exponent to [MIN_SPECTRAL_EXPONENT, MAX_SPECTRAL_EXPONENT],
// which keeps every weight finite and non-zero.
//
// `HostNoise3D` (position[, time]): single-octave gradient noise of a fixed built-in seed mapped to
// [0, 1] (the quintic fade: continuous value, slope and curvature; its slope stays below 3 per cell);
// the position-only form is the same function at time 0.
#pragma once

#include "host/core/types.h"

// Library id under which the host offers its noise library.
inline constexpr Int32 NOISELIBRARY_ID = 1011190;

// Type numbers of `NoiseLibrary::Noise` (see the table above).
inline constexpr Int32 NOISE_VALUE = 1;
inline constexpr Int32 NOISE_GRADIENT = 2;
inline constexpr Int32 NOISE_SPECTRAL_FBM = 3;
inline constexpr Int32 NOISE_SIMPLEX = 4;
inline constexpr Int32 NOISE_CELLS_F1 = 5;
inline constexpr Int32 NOISE_CELLS_F2 = 6;
inline constexpr Int32 NOISE_TURBULENCE = 7;
inline constexpr Int32 NOISE_SPECTRAL_RIDGES = 8;
inline constexpr Int32 NOISE_CELL_EDGES = 9;
inline constexpr Int32 NOISE_CELL_MOSAIC = 10;
inline constexpr Int32 NOISE_RIDGE = 11;
inline constexpr Int32 NOISE_SIMPLEX_FBM = 12;
inline constexpr Int32 NOISE_WARPED_GRADIENT = 13;
inline constexpr Int32 NOISE_BILLOW = 14;
inline constexpr Int32 NOISE_MARBLE = 15;
inline constexpr Int32 NOISE_WOOD = 16;
inline constexpr Int32 NOISE_WAVE_MODULATED_FBM = 17;
inline constexpr Int32 NOISE_DUNES = 18;
inline constexpr Int32 NOISE_CELLS_CHEBYSHEV = 19;
inline constexpr Int32 NOISE_VALUE_FBM = 20;
inline constexpr Int32 NOISE_FBM = 21;
inline constexpr Int32 NOISE_CELL_RIPPLES = 22;
inline constexpr Int32 NOISE_WARPED_FBM = 23;
inline constexpr Int32 NOISE_CRATERS = 24;
inline constexpr Int32 NOISE_WARPED_CELLS = 25;
inline constexpr Int32 NOISE_TERRACES = 26;
inline constexpr Int32 NOISE_BLOCKS = 27;
inline constexpr Int32 NOISE_SPOTS = 28;
inline constexpr Int32 NOISE_INTERFERENCE = 29;
inline constexpr Int32 NOISE_HYBRID_MULTIFRACTAL = 30;
inline constexpr Int32 NOISE_RIDGED_MULTIFRACTAL = 64;
// The type an unknown type number falls back to.
inline constexpr Int32 NOISE_DEFAULT = NOISE_FBM;

// The fixed spectrum of the octave types that do not use InitFbm's.
inline constexpr Int32 MAX_FRACTAL_OCTAVES = 20;
inline constexpr Float FRACTAL_LACUNARITY = 2.0;
inline constexpr Float FRACTAL_GAIN = 0.5;
// Limits of InitFbm's spectrum.
inline constexpr Int32 MAX_SPECTRUM_OCTAVES = 64;
inline constexpr Float MIN_LACUNARITY = 0.1;
inline constexpr Float MAX_LACUNARITY = 16.0;
inline constexpr Float MIN_SPECTRAL_EXPONENT = -2.0;
inline constexpr Float MAX_SPECTRAL_EXPONENT = 4.0;
// Cells by which a warp of 1 displaces a sample at most.
inline constexpr Float WARP_GAIN = 4.0;
// Direction and speed (cells per unit of time) in which time moves the sample position.
inline constexpr Vector TIME_DRIFT{0.5, 0.375, 0.625};

// A seeded noise generator: permutation, gradient, value and feature-point tables and the fractal
// spectra, all built before the first sample. Opaque to callers.
class NoiseGenerator;

class NoiseLibrary
{
public:
  // A generator for the seed (any Int32), or null when it cannot be allocated.
  static NoiseGenerator* Create(Int32 seed);
  // Releases the generator and sets the pointer to null; null is accepted.
  static void Free(NoiseGenerator*& generator);
  // Prepares the spectrum of types 3, 8 and 64: `octaves` octaves with frequencies lacunarity^i and
  // weights lacunarity^(-exponent i). False (previous spectrum kept) as described above, or for null.
  static Bool InitFbm(NoiseGenerator* generator, Int32 octaves, Float lacunarity, Float exponent);
  // One sample of the noise `type`, in [0, 1]; 0 for a null generator.
  static Float Noise(const NoiseGenerator* generator, Int32 type, Bool smooth, const Vector& position, Float time,
                     Float octaves, Bool absolute, Float warp, Float modulation, Int32 layer);
  // Musgrave's ridged multifractal, not normalised (see above); 0 for a null generator.
  static Float RidgedMultifractal(const NoiseGenerator* generator, const Vector& position, Float time, Float octaves,
                                  Float offset, Float gain, Int32 octaveMask);
};

// The host's plain solid noise: smooth gradient noise in [0, 1], safe from any thread.
Float HostNoise3D(const Vector& position, Float time);
Float HostNoise3D(const Vector& position);

namespace host
{
// One entry of the noise-type list, in the order the noise operator's type cycle offers them.
struct NoiseTypeInfo
{
  Int32 type;
  const char* name;
  Bool usesOctaves;    // the octave argument changes the result
  Bool usesSpectrum;   // the InitFbm spectrum changes the result
};

// Every type number the library knows (1 to 30, then 64), in cycle order.
const NoiseTypeInfo* GetNoiseTypes(Int& count);
// The type's name for the noise operator's cycle, or null for a number the library does not know.
const char* GetNoiseTypeName(Int32 type);
// True for the type numbers of the table above (an unknown number is answered by type 21's noise).
Bool IsKnownNoiseType(Int32 type);

// Test hook: while counting is on, every HostNoise3D call adds one to a process-wide counter (off by
// default, so the hot path pays only one relaxed load). Turning counting on resets the counter.
void SetHostNoiseCounting(Bool enabled);
Int GetHostNoiseCallCount();

// Test hook: off makes the generators created afterwards, and HostNoise3D, evaluate every gradient
// octave by the plain scalar 3-D formula, without the plane, row-table and two-octave shortcuts. That
// is the reference the shortcuts are tested against: both give equal values (the shortcuts drop terms
// that are exactly 0, so at most the sign of a zero can differ inside). On by default.
void SetNoiseFastPaths(Bool enabled);

// Runs a scope with the fast paths off (the reference), and turns them on again when it ends.
class ScopedNoiseReference
{
public:
  ScopedNoiseReference() { SetNoiseFastPaths(false); }
  ~ScopedNoiseReference() { SetNoiseFastPaths(true); }
  ScopedNoiseReference(const ScopedNoiseReference&) = delete;
  ScopedNoiseReference& operator=(const ScopedNoiseReference&) = delete;
};

// Turns HostNoise3D call counting on for a scope, and off again when it ends.
class ScopedHostNoiseCounter
{
public:
  ScopedHostNoiseCounter() { SetHostNoiseCounting(true); }
  ~ScopedHostNoiseCounter() { SetHostNoiseCounting(false); }
  ScopedHostNoiseCounter(const ScopedHostNoiseCounter&) = delete;
  ScopedHostNoiseCounter& operator=(const ScopedHostNoiseCounter&) = delete;
  Int GetCount() const { return GetHostNoiseCallCount(); }
};
} // namespace host
