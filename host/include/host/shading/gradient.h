// The host's colour gradient (custom data type CUSTOMDATATYPE_GRADIENT, so a parameter container can
// hold one): a list of knots, each a colour with a brightness at a position, with a bias and an
// interpolation that shape the way to the next knot.
//
// Colour at a position (CalcGradientPixel), once the gradient is prepared for rendering:
//   - the knots are taken in order of position (knots at the same position in the order they were
//     inserted); a knot's colour is its colour times its brightness;
//   - at or before the first knot the first knot's colour, at or after the last the last one's (NaN
//     reads as before the first); no knots give black;
//   - between knot k and k + 1 the fraction t of the way is bent by knot k's bias (b = 0.5 leaves t
//     as it is; otherwise t^(log 0.5 / log b), so the halfway colour sits at t = b), then shaped by
//     knot k's interpolation: NONE holds knot k's colour, LINEARKNOT blends linearly, SMOOTHKNOT by
//     3t^2 - 2t^3, CUBICKNOT by a Catmull-Rom curve through the neighbouring knots' colours as well.
//     Knots that share a position give the later knot's colour from that position on.
//
// Preparation: InitRender takes a sorted copy of the knots that CalcGradientPixel reads; FreeRender
// drops it. Knot edits made after InitRender are not seen until the next InitRender. Looking a colour
// up in a gradient that is not prepared is a mistake of the caller: it gives black and is counted
// (host::GetUnpreparedGradientLookups).
//
// Copies (Clone, CopyTo) are deep; equality compares the knots only (never the render preparation).
// Threads: once prepared, any number of threads may call CalcGradientPixel while nobody edits or
// prepares the gradient.
#pragma once

#include <memory>
#include <vector>

#include "host/core/result.h"
#include "host/scene/gedata.h"

class InitRenderStruct;

inline constexpr Int32 CUSTOMDATATYPE_GRADIENT = 1000481;

enum class GRADIENT_INTERPOLATION_TYPE : Int32
{
  CUBICKNOT = 0,
  SMOOTHKNOT = 2,
  LINEARKNOT = 3,
  NONE = 5,
};

struct GradientKnot
{
  Vector col;
  Float brightness = 1.0;
  Float pos = 0.0;
  Float bias = 0.5;
  Int32 index = 0;
  GRADIENT_INTERPOLATION_TYPE interpolation = GRADIENT_INTERPOLATION_TYPE::SMOOTHKNOT;

  bool operator==(const GradientKnot&) const = default;
};

class Gradient : public CustomDataType
{
public:
  // Null when memory cannot be had.
  static Gradient* Alloc();
  // Frees a gradient made by Alloc and sets the pointer to null; null is accepted.
  static void Free(Gradient*& gradient);

  Gradient();
  Gradient(const Gradient&) = delete;
  Gradient& operator=(const Gradient&) = delete;
  ~Gradient() override;

  Int32 GetKnotCount() const { return static_cast<Int32>(_knots.size()); }
  // The knot at a position of insertion order (a default knot out of range).
  GradientKnot GetKnot(Int32 index) const;
  // Appends a knot; false when memory cannot be had.
  Bool InsertKnot(const GradientKnot& knot);
  // Replaces a knot; false out of range.
  Bool SetKnot(Int32 index, const GradientKnot& knot);
  void FlushKnots();

  // Makes dest an equal gradient, prepared when this one is. False (dest unchanged) when memory cannot
  // be had or dest is null.
  Bool CopyTo(Gradient* dest) const;

  // Prepares the gradient for CalcGradientPixel (see above). Error when memory cannot be had.
  Result<void> InitRender(const InitRenderStruct& irs);
  void FreeRender();
  Bool IsPrepared() const { return _prepared; }
  Vector CalcGradientPixel(Float pos) const;

  Int32 GetCustomTypeId() const override { return CUSTOMDATATYPE_GRADIENT; }
  std::unique_ptr<CustomDataType> Clone() const override;
  Bool IsEqual(const CustomDataType& other) const override;
  // The knot count, then per knot: colour, brightness, position, bias, index, interpolation.
  Bool WriteData(HyperFile* hf) const override;
  Bool ReadData(HyperFile* hf, Int32 level) override;

private:
  std::vector<GradientKnot> _knots;
  std::vector<GradientKnot> _render;   // sorted by position; valid while _prepared
  Bool _prepared = false;
};

// Replaces the knots with two: black at 0 and white at 1, each of brightness 1, bias 0.5, index 0 and
// SMOOTHKNOT interpolation. False when memory cannot be had.
Bool SetDefaultGradientKnots(Gradient& gradient);

namespace host
{
// Gradients alive now, process-wide (those in containers included).
Int GetLiveGradientCount();
// CalcGradientPixel calls on a gradient that was not prepared, process-wide.
Int GetUnpreparedGradientLookups();
void ResetUnpreparedGradientLookups();
} // namespace host
