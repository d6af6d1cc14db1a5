#include <gtest/gtest.h>

#include <functional>

#include "common/ogx_gui.h"
#include "host/fields/fieldobjects.h"
#include "host/gui/keyboard.h"
#include "host/scene/baseobject.h"

namespace
{
constexpr Int32 PARAM = 1090;
constexpr Int32 OTHER = 1002;
constexpr Int32 GROUP = 2099;

// A description with one Int32 entry (1090) that already has a cycle {0: "Heights"}, and a group.
void Fill(Description& d)
{
  BaseContainer cycle;
  cycle.SetString(0, "Heights");
  BaseContainer entry;
  entry.SetString(DESC_NAME, "Export");
  entry.SetContainer(DESC_CYCLE, cycle);
  ASSERT_TRUE(d.SetParameter(ParameterId(PARAM, DTYPE_LONG), entry, 0));
  BaseContainer group;
  group.SetString(DESC_NAME, "Add");
  ASSERT_TRUE(d.SetParameter(ParameterId(GROUP, DTYPE_GROUP), group, DESCGROUP_PROPERTIES));
}

// Everything a description holds, for before/after comparisons.
std::vector<std::tuple<Int32, Int32, Int32, BaseContainer>> Snapshot(const Description& d)
{
  std::vector<std::tuple<Int32, Int32, Int32, BaseContainer>> out;
  for (Int32 i = 0; i < d.GetEntryCount(); ++i)
  {
    const DescriptionEntry* e = d.GetEntry(i);
    out.emplace_back(e->id.id, e->id.dtype, e->parent, e->attributes);
  }
  return out;
}

const BaseContainer& Attr(const Description& d, Int32 id)
{
  static const BaseContainer empty;
  const DescriptionEntry* e = d.FindEntry(id);
  return e ? e->attributes : empty;
}

struct CustomOutput   // the shape of the operators' custom-output record
{
  Int32 id;
  String name;
};
} // namespace

// Every description helper, called for parameter PARAM (or 5000 for the adders).
struct HelperCase
{
  const char* name;
  Int32 parameter;
  std::function<Bool(Description*, const ParameterId*)> call;
};

static std::vector<HelperCase> Helpers()
{
  static BaseObject* node = nullptr;
  const std::vector<DescriptionCycleEntry> entries = {{1, "Slopes"}};
  return {
    {"Hidden", PARAM, [](Description* d, const ParameterId*) { return SetDescriptionParameterHidden(node, d, PARAM, false); }},
    {"Int32", PARAM, [](Description* d, const ParameterId*) { return SetDescriptionInt32Attribute(node, d, PARAM, DTYPE_LONG, 7); }},
    {"Value", PARAM,
     [](Description* d, const ParameterId*) { return SetDescriptionValueAttribute(node, d, PARAM, DTYPE_LONG, GeData(Int32(3))); }},
    {"Typed", PARAM,
     [](Description* d, const ParameterId*) {
       return SetDescriptionTypedAttribute(node, d, PARAM, DTYPE_STRING, 30, GeData(String("x")));
     }},
    {"Cycle", PARAM,
     [entries](Description* d, const ParameterId*) { return SetDescriptionCycleEntries(node, d, PARAM, entries, true); }},
    {"AddCycle", 5000,
     [](Description* d, const ParameterId*) {
       return AddDescriptionCycleParameter(d, 5000, GROUP, "c", BaseContainer(), nullptr, 1);
     }},
    {"AddIconCycle", 5000,
     [](Description* d, const ParameterId* s) { return AddDescriptionIconCycleParameter(d, s, 5000, "n", GROUP, 77, true); }},
    {"AddStatic", 5000, [](Description* d, const ParameterId* s) { return AddDescriptionStaticEntry(d, s, GROUP, 5000, "s"); }},
    {"AddTitle", 5000, [](Description* d, const ParameterId* s) { return AddDescriptionTitleEntry(d, s, GROUP, 5000, "t", true); }},
  };
}

TEST(DescriptionHelpers, BuildingAnotherSingleParameterChangesNothing)
{
  for (const HelperCase& h : Helpers())
  {
    SCOPED_TRACE(h.name);
    Description d;
    Fill(d);
    const ParameterId other(OTHER, DTYPE_REAL);
    d.SetSingleId(&other);
    const auto before = Snapshot(d);
    EXPECT_TRUE(h.call(&d, d.GetSingleId()));
    EXPECT_EQ(Snapshot(d), before);

    // The same helper acts when the single parameter is its own, and when the whole description is built.
    const ParameterId own(h.parameter, DTYPE_LONG);
    d.SetSingleId(&own);
    EXPECT_TRUE(h.call(&d, d.GetSingleId()));
    EXPECT_NE(Snapshot(d), before);
    Description whole;
    Fill(whole);
    EXPECT_TRUE(h.call(&whole, whole.GetSingleId()));
    EXPECT_NE(Snapshot(whole), before);
  }
  // GetDescriptionCycle answers true without looking while another parameter is built.
  Description d;
  const ParameterId other(OTHER);
  d.SetSingleId(&other);
  EXPECT_TRUE(GetDescriptionCycle(nullptr, &d, PARAM, 12345));
}

TEST(DescriptionHelpers, MissingEntryOrDescriptionIsFalse)
{
  Description d;
  Fill(d);
  const auto before = Snapshot(d);
  EXPECT_FALSE(SetDescriptionParameterHidden(nullptr, &d, 4242, true));
  EXPECT_FALSE(SetDescriptionInt32Attribute(nullptr, &d, 4242, DTYPE_LONG, 1));
  EXPECT_FALSE(SetDescriptionValueAttribute(nullptr, &d, 4242, DTYPE_LONG, GeData(Int32(1))));
  EXPECT_FALSE(SetDescriptionTypedAttribute(nullptr, &d, 4242, DTYPE_LONG, 30, GeData(Int32(1))));
  EXPECT_FALSE(GetDescriptionCycle(nullptr, &d, 4242, 0));
  EXPECT_FALSE(SetDescriptionCycleEntries(nullptr, &d, 4242, std::vector<DescriptionCycleEntry>{}, true));
  EXPECT_EQ(Snapshot(d), before);

  EXPECT_FALSE(SetDescriptionParameterHidden(nullptr, nullptr, PARAM, true));
  EXPECT_FALSE(SetDescriptionInt32Attribute(nullptr, nullptr, PARAM, DTYPE_LONG, 1));
  EXPECT_FALSE(GetDescriptionCycle(nullptr, nullptr, PARAM, 0));
  EXPECT_FALSE(AddDescriptionStaticEntry(nullptr, nullptr, GROUP, 5000, "s"));
  EXPECT_FALSE(AddDescriptionTitleEntry(nullptr, nullptr, GROUP, 5000, "t", false));
  EXPECT_FALSE(AddDescriptionIconCycleParameter(nullptr, nullptr, 5000, "n", GROUP, 1, false));
  EXPECT_FALSE(AddDescriptionCycleParameter(nullptr, 5000, GROUP, "c", BaseContainer(), nullptr, 0));
}

TEST(DescriptionHelpers, AttributesAreWrittenAsTyped)
{
  BaseObject* node = BaseObject::Alloc(Onull);
  Description d;
  Fill(d);

  EXPECT_TRUE(SetDescriptionParameterHidden(node, &d, PARAM, false));
  EXPECT_TRUE(Attr(d, PARAM).GetBool(DESC_HIDE));
  EXPECT_TRUE(SetDescriptionParameterHidden(node, &d, PARAM, true));
  EXPECT_FALSE(Attr(d, PARAM).GetBool(DESC_HIDE));
  EXPECT_TRUE(Attr(d, PARAM).Contains(DESC_HIDE));

  EXPECT_TRUE(SetDescriptionInt32Attribute(node, &d, PARAM, DTYPE_LONG, 1718773089));
  EXPECT_EQ(Attr(d, PARAM).GetInt32(DESC_UNIT), 1718773089);

  struct Case
  {
    Int32 dtype;
    GeData value;
    Int32 storedType;   // DA_NIL: nothing written
    GeData stored;
  };
  const Case values[] = {
    {DTYPE_LONG, GeData(2.75), DA_LONG, GeData(Int32(2))},
    {DTYPE_REAL, GeData(Int32(3)), DA_REAL, GeData(3.0)},
    {DTYPE_VECTOR, GeData(Vector(1.0, 2.0, 3.0)), DA_VECTOR, GeData(Vector(1.0, 2.0, 3.0))},
    {DTYPE_STRING, GeData(String("a")), DA_NIL, GeData()},
    {DTYPE_BOOL, GeData(Int32(1)), DA_NIL, GeData()},
  };
  for (const Case& c : values)
  {
    SCOPED_TRACE(c.dtype);
    Description v;
    Fill(v);
    EXPECT_TRUE(SetDescriptionValueAttribute(node, &v, PARAM, c.dtype, c.value));
    EXPECT_EQ(Attr(v, PARAM).GetType(DESC_DEFAULT), c.storedType);
    EXPECT_EQ(Attr(v, PARAM).GetData(DESC_DEFAULT), c.stored);
  }

  const Case typed[] = {
    {DTYPE_LONG, GeData(Int32(-4)), DA_LONG, GeData(Int32(-4))},
    {DTYPE_REAL, GeData(0.5), DA_REAL, GeData(0.5)},
    {DTYPE_VECTOR, GeData(Vector(0.0, 1.0, 0.0)), DA_VECTOR, GeData(Vector(0.0, 1.0, 0.0))},
    {DTYPE_STRING, GeData(String("text")), DA_STRING, GeData(String("text"))},
    {DTYPE_BOOL, GeData(Int32(5)), DA_LONG, GeData(Int32(1))},
    {DTYPE_BOOL, GeData(Int32(0)), DA_LONG, GeData(Int32(0))},
    {DTYPE_BOOL, GeData(0.75), DA_LONG, GeData(Int32(0))},   // its Int32 is 0
    {DTYPE_GROUP, GeData(Int32(1)), DA_NIL, GeData()},
  };
  for (const Case& c : typed)
  {
    SCOPED_TRACE(c.dtype);
    Description v;
    Fill(v);
    EXPECT_TRUE(SetDescriptionTypedAttribute(node, &v, PARAM, c.dtype, 2400, c.value));
    EXPECT_EQ(Attr(v, PARAM).GetType(2400), c.storedType);
    EXPECT_EQ(Attr(v, PARAM).GetData(2400), c.stored);
  }
  BaseObject::Free(node);
}

TEST(DescriptionHelpers, CycleEntriesAreAddedInOrderAndRead)
{
  Description d;
  Fill(d);
  const std::vector<CustomOutput> outputs = {{1056542, "Difference"}, {0, "Output"}};
  EXPECT_TRUE(SetDescriptionCycleEntries(nullptr, &d, PARAM, outputs, true));
  const BaseContainer* cycle = Attr(d, PARAM).GetContainerInstance(DESC_CYCLE);
  ASSERT_NE(cycle, nullptr);
  ASSERT_EQ(cycle->GetCount(), 3);
  // The earlier value keeps its place (and takes the new name); the empty entry comes next.
  EXPECT_EQ(cycle->GetIndexId(0), 0);
  EXPECT_EQ(cycle->GetString(0), "Output");
  EXPECT_EQ(cycle->GetIndexId(1), -1);
  EXPECT_EQ(cycle->GetString(-1), "");
  EXPECT_EQ(cycle->GetIndexId(2), 1056542);
  EXPECT_EQ(cycle->GetString(1056542), "Difference");

  EXPECT_TRUE(GetDescriptionCycle(nullptr, &d, PARAM, 1056542));
  EXPECT_FALSE(GetDescriptionCycle(nullptr, &d, PARAM, -1));   // present but empty
  EXPECT_FALSE(GetDescriptionCycle(nullptr, &d, PARAM, 3));    // absent
  EXPECT_FALSE(GetDescriptionCycle(nullptr, &d, GROUP, 0));    // entry without a cycle

  Description plain;
  Fill(plain);
  EXPECT_TRUE(SetDescriptionCycleEntries(nullptr, &plain, PARAM, std::vector<DescriptionCycleEntry>{{2, "Mask"}}, false));
  EXPECT_FALSE(Attr(plain, PARAM).GetContainerInstance(DESC_CYCLE)->Contains(-1));
}

TEST(DescriptionHelpers, AddersWriteTheirEntries)
{
  Description d;
  BaseContainer cycle;
  cycle.SetString(0, "Off");
  BaseContainer icons;
  icons.SetInt32(0, 1055710);
  ASSERT_TRUE(AddDescriptionCycleParameter(&d, 10, GROUP, "Mode", cycle, &icons, 3));
  ASSERT_TRUE(AddDescriptionCycleParameter(&d, 11, GROUP, "Plain", cycle, nullptr, 0));
  ASSERT_TRUE(AddDescriptionIconCycleParameter(&d, nullptr, 1054566, "Noise", GROUP, 1054566, false));
  ASSERT_TRUE(AddDescriptionStaticEntry(&d, nullptr, GROUP, 12, ""));
  ASSERT_TRUE(AddDescriptionTitleEntry(&d, nullptr, GROUP, 13, "Generators", true));

  BaseContainer e10;
  e10.SetString(DESC_NAME, "Mode");
  e10.SetInt32(DESC_GROUPOPEN, 3);
  e10.SetBool(DESC_ANIMATE, true);
  e10.SetInt32(DESC_CUSTOMGUI, CUSTOMGUI_CYCLE);
  e10.SetContainer(DESC_CYCLE, cycle);
  e10.SetContainer(DESC_CYCLEICONS, icons);
  EXPECT_EQ(Attr(d, 10), e10);
  EXPECT_FALSE(Attr(d, 11).Contains(DESC_CYCLEICONS));

  BaseContainer iconCycle;
  iconCycle.SetString(0, "Noise");
  BaseContainer iconIds;
  iconIds.SetInt32(0, 1054566);
  BaseContainer e1;
  e1.SetString(DESC_NAME, "");
  e1.SetInt32(DESC_GROUPOPEN, 0);
  e1.SetContainer(DESC_CYCLE, iconCycle);
  e1.SetBool(DESC_ICONCYCLE_LABEL, false);
  e1.SetBool(DESC_ANIMATE, false);
  e1.SetContainer(DESC_CYCLEICONS, iconIds);
  e1.SetInt32(DESC_CUSTOMGUI, CUSTOMGUI_ICONCYCLE);
  EXPECT_EQ(Attr(d, 1054566), e1);

  BaseContainer e12;
  e12.SetString(DESC_NAME, "");
  e12.SetBool(DESC_STATICTEXT_BORDER, true);
  e12.SetBool(DESC_STATICTEXT_SCALE, true);
  EXPECT_EQ(Attr(d, 12), e12);

  BaseContainer e13;
  e13.SetInt32(DESC_CUSTOMGUI, CUSTOMGUI_TITLE);
  e13.SetString(DESC_NAME, "Generators");
  e13.SetBool(DESC_TITLEBAR, true);
  EXPECT_EQ(Attr(d, 13), e13);

  const std::vector<std::pair<Int32, Int32>> types = {
    {10, DTYPE_LONG}, {11, DTYPE_LONG}, {1054566, DTYPE_LONG}, {12, DTYPE_STATIC}, {13, DTYPE_TITLE}};
  ASSERT_EQ(d.GetEntryCount(), 5);
  for (Int32 i = 0; i < 5; ++i)
  {
    EXPECT_EQ(d.GetEntry(i)->id.id, types[static_cast<std::size_t>(i)].first);
    EXPECT_EQ(d.GetEntry(i)->id.dtype, types[static_cast<std::size_t>(i)].second);
    EXPECT_EQ(d.GetEntry(i)->parent, GROUP);
  }
}

TEST(MenuSortPrefix, Values)
{
  struct Case
  {
    Int32 order;
    const char* expected;
  };
  const Case cases[] = {{-1, ""}, {0, "#$0"}, {10, "#$10"}, {38, "#$38"}, {53, "#$53"}, {-5, "#$-5"}};
  for (const Case& c : cases)
    EXPECT_EQ(MenuSortPrefix(c.order), c.expected) << c.order;
  EXPECT_EQ(MenuSortPrefix(20) + "--", "#$20--");
}

namespace
{
std::unique_ptr<FieldLayer> Layer(Int32 type, Float value = 1.0)
{
  std::unique_ptr<FieldLayer> l = FieldLayer::Alloc(type);
  l->SetValue(value);
  return l;
}

FieldLayer* Append(FieldList& list, std::unique_ptr<FieldLayer> l, FieldLayer* parent = nullptr)
{
  Result<FieldLayer*> r = list.AppendLayer(std::move(l), parent);
  return r.IsOk() ? r.GetValue() : nullptr;
}

void PreOrder(const FieldLayer* l, std::vector<const FieldLayer*>& out)
{
  for (; l; l = l->GetNext())
  {
    out.push_back(l);
    PreOrder(l->GetDown(), out);
  }
}
} // namespace

TEST(FieldLayerHelpers, NextLayerWalksDepthFirst)
{
  FieldList list;
  FieldLayer* a = Append(list, Layer(FLfolder));
  FieldLayer* a1 = Append(list, Layer(FLfolder), a);
  Append(list, Layer(FLsolid), a1);
  FieldLayer* a1b = Append(list, Layer(FLsolid), a1);
  Append(list, Layer(FLsolid), a);
  Append(list, Layer(FLsolid));
  FieldLayer* c = Append(list, Layer(FLfolder));
  FieldLayer* c1 = Append(list, Layer(FLfolder), c);
  Append(list, Layer(FLsolid), c1);

  std::vector<const FieldLayer*> expected;
  PreOrder(list.GetFirstLayer(), expected);
  std::vector<const FieldLayer*> walked;
  for (const FieldLayer* l = list.GetFirstLayer(); l; l = GetNextFieldLayer(l))
    walked.push_back(l);
  EXPECT_EQ(walked, expected);
  EXPECT_EQ(walked.size(), 9u);
  EXPECT_EQ(GetNextFieldLayer(a1b)->GetUp(), a);   // climbs to the nearest ancestor with a next sibling
  EXPECT_EQ(GetNextFieldLayer(nullptr), nullptr);
  EXPECT_EQ(GetNextFieldLayer(c1->GetDown()), nullptr);
}

TEST(FieldLayerHelpers, UsableEnabledAndCounts)
{
  EXPECT_EQ(CountEnabledFieldLayers(nullptr, 0), -1);
  FieldList list;
  EXPECT_EQ(CountEnabledFieldLayers(&list, 0), 0);

  BaseObject* sphere = BaseObject::Alloc(Ofieldspherical);
  BaseObject* gone = BaseObject::Alloc(Ofieldspherical);

  struct Case
  {
    const char* name;
    Int32 type;
    Int32 flags;
    BaseObject* link;
    Int32 queryFlags;
    Bool usable;
  };
  const Case cases[] = {
    {"solid", FLsolid, 0, nullptr, 0, true},
    {"folder_without_link", FLfolder, 0, nullptr, 0, false},
    {"object_linked", FLobject, 0, sphere, 0, true},
    {"object_unlinked", FLobject, 0, nullptr, 0, false},
    {"object_link_gone", FLobject, 0, gone, 0, false},
    {"skip", FLsolid, FIELDLAYER_FLAG_SKIP, nullptr, 0, false},
    {"error", FLsolid, FIELDLAYER_FLAG_ERROR, nullptr, 0, false},
    {"temporary", FLsolid, FIELDLAYER_FLAG_TEMPORARY, nullptr, 0, false},
    {"novalue", FLobject, FIELDLAYER_FLAG_NOVALUE, sphere, 0, false},
    {"collapsed", FLsolid, FIELDLAYER_FLAG_COLLAPSED, nullptr, 0, true},
    {"skip_not_asked", FLsolid, FIELDLAYER_FLAG_SKIP, nullptr, FIELDLAYER_FLAG_NOVALUE, true},
    {"skip_asked", FLsolid, FIELDLAYER_FLAG_SKIP, nullptr, FIELDLAYER_FLAG_SKIP, false},
  };
  std::vector<std::unique_ptr<FieldLayer>> layers;
  for (const Case& c : cases)
  {
    std::unique_ptr<FieldLayer> l = Layer(c.type);
    l->SetLayerFlags(c.flags);
    if (c.link)
      l->SetLinkedObject(c.link);
    layers.push_back(std::move(l));
  }
  BaseObject::Free(gone);
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(IsFieldLayerUsable(layers[i].get(), cases[i].queryFlags), cases[i].usable) << cases[i].name;
  EXPECT_FALSE(IsFieldLayerUsable(nullptr, 0));

  EXPECT_FALSE(HasHostFlag(nullptr));
  EXPECT_TRUE(HasHostFlag(layers[0].get()));
  layers[0]->SetEnabled(false);
  EXPECT_FALSE(HasHostFlag(layers[0].get()));

  // Counted over the whole tree: usable and enabled.
  FieldList tree;
  FieldLayer* folderLinked = Append(tree, Layer(FLobject));
  folderLinked->SetLinkedObject(sphere);
  Append(tree, Layer(FLsolid), folderLinked);
  Append(tree, Layer(FLsolid), folderLinked)->SetEnabled(false);
  Append(tree, Layer(FLfolder));                                            // not usable
  Append(tree, Layer(FLsolid))->SetLayerFlags(FIELDLAYER_FLAG_SKIP);        // not usable
  Append(tree, Layer(FLsolid));
  EXPECT_EQ(CountEnabledFieldLayers(&tree, 0), 3);
  EXPECT_EQ(CountEnabledFieldLayers(&tree, FIELDLAYER_FLAG_NOVALUE), 4);    // the skip bit is not asked for
  BaseObject::Free(sphere);
}

TEST(FieldLayerHelpers, RemoveUnusableTopLevelLayers)
{
  const Result<Int32> none = RemoveUnusableFieldLayers(nullptr, 0);
  ASSERT_TRUE(none.IsError());
  EXPECT_EQ(none.GetError().GetKind(), ERRORKIND::NULLPTR);
  EXPECT_EQ(none.GetError().GetMessage(), "fieldList must not be nullptr!");

  FieldList list;
  FieldLayer* keep = Append(list, Layer(FLsolid, 0.1));
  Append(list, Layer(FLfolder));   // unusable, removed with ...
  FieldLayer* folder = list.GetLastLayer();
  Append(list, Layer(FLsolid), folder);   // ... its child
  Append(list, Layer(FLsolid))->SetLayerFlags(FIELDLAYER_FLAG_SKIP);
  Append(list, Layer(FLsolid))->SetLayerFlags(FIELDLAYER_FLAG_SKIP);   // two in a row: the walk goes on
  FieldLayer* parent = Append(list, Layer(FLsolid, 0.2));
  Append(list, Layer(FLfolder), parent);   // unusable but nested: children are not visited
  Append(list, Layer(FLobject));           // unusable, last

  const Result<Int32> left = RemoveUnusableFieldLayers(&list, 0);
  ASSERT_TRUE(left.IsOk());
  EXPECT_EQ(left.GetValue(), 3);
  EXPECT_EQ(list.GetFirstLayer(), keep);
  EXPECT_EQ(keep->GetNext(), parent);
  EXPECT_EQ(parent->GetNext(), nullptr);
  ASSERT_NE(parent->GetDown(), nullptr);
  EXPECT_EQ(parent->GetDown()->GetType(), FLfolder);
}

namespace
{
struct Pixel
{
  Int32 r, g, b, a;
};

BaseBitmap* MakeBitmap(Int32 w, Int32 h, Bool alpha, const std::vector<Pixel>& pixels)
{
  BaseBitmap* bmp = BaseBitmap::Alloc();
  EXPECT_EQ(bmp->Init(w, h, 24), IMAGERESULT::OK);
  if (alpha)
  {
    EXPECT_TRUE(bmp->AddAlphaChannel());
  }
  for (Int32 y = 0; y < h; ++y)
    for (Int32 x = 0; x < w; ++x)
    {
      const Pixel& p = pixels[static_cast<std::size_t>(y * w + x)];
      bmp->SetPixel(x, y, p.r, p.g, p.b);
      if (alpha)
        bmp->SetAlpha(x, y, static_cast<UChar>(p.a));
    }
  return bmp;
}

std::vector<Pixel> Read(const BaseBitmap* bmp)
{
  std::vector<Pixel> out;
  for (Int32 y = 0; y < bmp->GetBh(); ++y)
    for (Int32 x = 0; x < bmp->GetBw(); ++x)
    {
      UInt16 r = 0, g = 0, b = 0;
      bmp->GetPixel(x, y, &r, &g, &b);
      out.push_back({r, g, b, bmp->GetAlpha(x, y)});
    }
  return out;
}

bool operator==(const Pixel& a, const Pixel& b)
{
  return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}
} // namespace

TEST(BitmapHelpers, DrawWithoutSourceAlphaLeavesTheDestination)
{
  BaseBitmap* src = MakeBitmap(2, 2, false, std::vector<Pixel>(4, {255, 0, 0, 255}));
  BaseBitmap* dst = MakeBitmap(2, 2, true, std::vector<Pixel>(4, {10, 20, 30, 40}));
  const auto before = Read(dst);
  const BitmapRecord s{src, 2, 2};
  const BitmapRecord d{dst, 2, 2};
  DrawBitmapRect(&s, &d, 0, 0, 2, 2, 0, 0);
  EXPECT_EQ(Read(dst), before);
  DrawBitmapRect(nullptr, &d, 0, 0, 2, 2, 0, 0);
  const BitmapRecord empty{nullptr, 2, 2};
  DrawBitmapRect(&empty, &d, 0, 0, 2, 2, 0, 0);
  EXPECT_EQ(Read(dst), before);
  BaseBitmap::Free(src);
  BaseBitmap::Free(dst);
}

TEST(BitmapHelpers, DrawBlendsBySourceAlphaExactly)
{
  // Source 2x1: a half-covered and a fully covered pixel; destination 3x2 with alpha.
  BaseBitmap* src = MakeBitmap(2, 1, true, {{100, 250, 0, 128}, {7, 8, 9, 255}});
  BaseBitmap* dst = MakeBitmap(3, 2, true,
                               {{200, 10, 255, 50}, {1, 2, 3, 200}, {5, 5, 5, 5}, {6, 6, 6, 6}, {7, 7, 7, 7}, {8, 8, 8, 8}});
  const BitmapRecord s{src, 2, 1};
  const BitmapRecord d{dst, 3, 2};
  DrawBitmapRect(&s, &d, 0, 0, 2, 1, 0, 0);
  const std::vector<Pixel> expected = {
    // 200 + (100 - 200) * 128 / 255 = 149.8 -> 149; 10 + 240 * 128 / 255 = 130.47 -> 130;
    // 255 - 255 * 128 / 255 = 127; alpha 50 < 128 -> 128.
    {149, 130, 127, 128},
    // Fully opaque: the source pixel; alpha 200 < 255 -> 255.
    {7, 8, 9, 255},
    {5, 5, 5, 5}, {6, 6, 6, 6}, {7, 7, 7, 7}, {8, 8, 8, 8}};
  EXPECT_EQ(Read(dst), expected);

  // A higher destination alpha stays.
  BaseBitmap* dst2 = MakeBitmap(1, 1, true, {{0, 0, 0, 250}});
  const BitmapRecord d2{dst2, 1, 1};
  DrawBitmapRect(&s, &d2, 0, 0, 1, 1, 0, 0);
  EXPECT_EQ(Read(dst2)[0], (Pixel{50, 125, 0, 250}));
  BaseBitmap::Free(src);
  BaseBitmap::Free(dst);
  BaseBitmap::Free(dst2);
}

TEST(BitmapHelpers, RectanglesAreClippedToBothBitmaps)
{
  BaseBitmap* src = MakeBitmap(2, 2, true, std::vector<Pixel>(4, {255, 255, 255, 255}));
  struct Case
  {
    const char* name;
    Int32 srcX, srcY, w, h, destX, destY;
    std::vector<Int32> painted;   // destination pixel indices (3x3) that turn white
  };
  const Case cases[] = {
    {"inside", 0, 0, 2, 2, 1, 1, {4, 5, 7, 8}},
    {"right_edge", 0, 0, 2, 2, 2, 0, {2, 5}},
    {"bottom_edge", 0, 0, 2, 2, 0, 2, {6, 7}},
    {"past_the_corner", 0, 0, 2, 2, 3, 3, {}},
    {"negative_dest", 0, 0, 2, 2, -1, -1, {0}},
    {"source_overrun", 1, 1, 2, 2, 0, 0, {0}},
    {"zero_size", 0, 0, 0, 0, 0, 0, {}},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    BaseBitmap* dst = MakeBitmap(3, 3, false, std::vector<Pixel>(9, {0, 0, 0, 255}));
    const BitmapRecord s{src, 2, 2};
    const BitmapRecord d{dst, 3, 3};
    DrawBitmapRect(&s, &d, c.srcX, c.srcY, c.w, c.h, c.destX, c.destY);
    const auto px = Read(dst);
    for (Int32 i = 0; i < 9; ++i)
    {
      const Bool white = std::find(c.painted.begin(), c.painted.end(), i) != c.painted.end();
      EXPECT_EQ(px[static_cast<std::size_t>(i)].r, white ? 255 : 0) << i;
    }
    BaseBitmap::Free(dst);
  }
  // A record larger than its bitmap cannot make the copy write outside it.
  BaseBitmap* small = MakeBitmap(1, 1, false, {{0, 0, 0, 255}});
  const BitmapRecord s{src, 2, 2};
  const BitmapRecord liar{small, 5, 5};
  DrawBitmapRect(&s, &liar, 0, 0, 2, 2, 0, 0);
  EXPECT_EQ(Read(small)[0].r, 255);
  BaseBitmap::Free(small);
  BaseBitmap::Free(src);
}

TEST(BitmapHelpers, BlendTreatsMissingSourceAlphaAsOpaque)
{
  BaseBitmap* src = MakeBitmap(1, 1, false, {{9, 99, 199, 255}});
  BaseBitmap* dst = MakeBitmap(2, 1, true, {{0, 0, 0, 0}, {1, 1, 1, 1}});
  BlendBitmapRect(src, dst, 0, 0, 1, 1, 1, 0);
  EXPECT_EQ(Read(dst), (std::vector<Pixel>{{0, 0, 0, 0}, {9, 99, 199, 255}}));
  BaseBitmap* halfSrc = MakeBitmap(1, 1, true, {{255, 255, 255, 51}});
  BlendBitmapRect(halfSrc, dst, 0, 0, 1, 1, 0, 0);
  EXPECT_EQ(Read(dst)[0], (Pixel{51, 51, 51, 51}));   // 0 + 255 * 51 / 255
  BlendBitmapRect(nullptr, dst, 0, 0, 1, 1, 0, 0);
  BlendBitmapRect(src, nullptr, 0, 0, 1, 1, 0, 0);
  BaseBitmap::Free(src);
  BaseBitmap::Free(halfSrc);
  BaseBitmap::Free(dst);
}

TEST(Keyboard, QualifierQuery)
{
  struct Case
  {
    Int32 held;
    Int32 mask;
    Bool fails;
    Bool expected;
  };
  const Case cases[] = {
    {QUALIFIER_NONE, QUALIFIER_SHIFT, false, false},
    {QUALIFIER_SHIFT, QUALIFIER_SHIFT, false, true},
    {QUALIFIER_CTRL, QUALIFIER_SHIFT, false, false},
    {QUALIFIER_SHIFT | QUALIFIER_CTRL, QUALIFIER_CTRL, false, true},
    {QUALIFIER_CTRL, QUALIFIER_SHIFT | QUALIFIER_CTRL, false, true},
    {QUALIFIER_SHIFT, QUALIFIER_SHIFT, true, false},
    {QUALIFIER_SHIFT, 0, false, false},
  };
  for (const Case& c : cases)
  {
    host::SetQualifiers(c.held);
    host::SetInputStateFails(c.fails);
    const Int asked = host::GetInputStateQueryCount();
    EXPECT_EQ(IsQualifierPressed(c.mask), c.expected) << c.held << " " << c.mask << " " << c.fails;
    EXPECT_EQ(host::GetInputStateQueryCount(), asked + 1);
  }
  host::ResetInputState();

  // The host's query itself: only the keyboard's qualifier channel answers.
  host::SetQualifiers(QUALIFIER_SHIFT);
  BaseContainer res;
  EXPECT_TRUE(GetInputState(INPUT_DEVICE_KEYBOARD, INPUT_CHANNEL_QUALIFIERS, res));
  EXPECT_EQ(res.GetInt32(INPUT_QUALIFIERS), QUALIFIER_SHIFT);
  BaseContainer other;
  EXPECT_FALSE(GetInputState(0x6D6F7573, INPUT_CHANNEL_QUALIFIERS, other));
  EXPECT_FALSE(GetInputState(INPUT_DEVICE_KEYBOARD, 0x12345678, other));
  EXPECT_TRUE(other.IsEmpty());
  host::ResetInputState();
  EXPECT_EQ(host::GetQualifiers(), QUALIFIER_NONE);
}
