#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "host/scene/basecontainer.h"
#include "host/scene/descid.h"
#include "host/scene/hyperfile.h"

namespace
{
// A small custom value compared by content: a list of knots.
class KnotList : public CustomDataType
{
public:
  static constexpr Int32 TYPE = 1009060;
  std::vector<Vector> knots;
  Bool failClone = false;

  Int32 GetCustomTypeId() const override { return TYPE; }
  std::unique_ptr<CustomDataType> Clone() const override
  {
    if (failClone)
      return nullptr;
    auto copy = std::make_unique<KnotList>();
    copy->knots = knots;
    return copy;
  }
  Bool IsEqual(const CustomDataType& other) const override
  {
    return other.GetCustomTypeId() == TYPE && static_cast<const KnotList&>(other).knots == knots;
  }
};

constexpr Float NaN = std::numeric_limits<Float>::quiet_NaN();
} // namespace

TEST(GeData, TypeIds)
{
  struct Case
  {
    GeData value;
    Int32 type;
  };
  const Case cases[] = {
    {GeData(), DA_NIL},
    {GeData(Int32(3)), 15},
    {GeData(true), 15},   // Bools are stored as Int32
    {GeData(Int64(3)), DA_LLONG},
    {GeData(1.5), 19},
    {GeData(Vector(1, 2, 3)), 23},
    {GeData(String("a")), 130},
    {GeData(Matrix()), DA_MATRIX},
    {GeData(BaseContainer()), DA_CONTAINER},
    {GeData(BaseLink()), DA_ALIASLINK},
    {GeData(KnotList()), KnotList::TYPE},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.value.GetType(), c.type);
  EXPECT_EQ(DTYPE_BOOL, 400006001);
}

TEST(BaseContainer, TypedReadsFollowTheCrossTypeRule)
{
  BaseContainer bc;
  bc.SetInt32(1, 7);
  bc.SetFloat(2, 2.9);
  bc.SetFloat(3, -2.9);
  bc.SetFloat(4, 1e20);
  bc.SetFloat(5, NaN);
  bc.SetBool(6, true);
  bc.SetInt64(7, Int64(1) << 40);
  bc.SetString(8, "5");
  bc.SetVector(9, Vector(1, 2, 3));
  bc.SetFloat(10, 0.0);
  bc.SetFloat(11, -1e20);

  // Int32 reads.
  struct IntCase
  {
    Int32 id;
    Int32 expected;
  };
  const IntCase ints[] = {{1, 7},   {2, 2},          {3, -2},  {4, std::numeric_limits<Int32>::max()},
                          {5, -99}, {6, 1},          {8, -99}, {7, std::numeric_limits<Int32>::max()},
                          {9, -99}, {12345, -99},    {11, std::numeric_limits<Int32>::min()}};
  for (const IntCase& c : ints)
    EXPECT_EQ(bc.GetInt32(c.id, -99), c.expected) << "key " << c.id;

  // Float reads.
  EXPECT_EQ(bc.GetFloat(1, -1.0), 7.0);
  EXPECT_EQ(bc.GetFloat(6, -1.0), 1.0);
  EXPECT_EQ(bc.GetFloat(7, -1.0), 1099511627776.0);
  EXPECT_EQ(bc.GetFloat(8, -1.0), -1.0);
  EXPECT_EQ(bc.GetFloat(9, -1.0), -1.0);
  EXPECT_TRUE(std::isnan(bc.GetFloat(5, -1.0)));

  // Bool reads: "!= 0" of the numeric types, NaN and other types give the default.
  EXPECT_TRUE(bc.GetBool(1, false));
  EXPECT_TRUE(bc.GetBool(6, false));
  EXPECT_FALSE(bc.GetBool(10, true));
  EXPECT_TRUE(bc.GetBool(5, true));
  EXPECT_FALSE(bc.GetBool(5, false));
  EXPECT_TRUE(bc.GetBool(8, true));

  // Other types only read their own type.
  EXPECT_EQ(bc.GetString(1, "d"), "d");
  EXPECT_EQ(bc.GetString(8, "d"), "5");
  EXPECT_EQ(bc.GetVector(1, Vector(9, 9, 9)), Vector(9, 9, 9));
  EXPECT_EQ(bc.GetVector(9), Vector(1, 2, 3));
  EXPECT_EQ(bc.GetInt64(2, 0), 2);

  // Missing keys read as empty data.
  EXPECT_TRUE(bc.GetData(12345).IsNil());
  EXPECT_EQ(bc.GetDataPointer(12345), nullptr);
  EXPECT_EQ(bc.GetType(12345), DA_NIL);
  EXPECT_EQ(bc.GetType(6), DA_LONG);
}

TEST(BaseContainer, KeepsInsertionOrderAndReplacesInPlace)
{
  BaseContainer bc;
  bc.SetInt32(30, 1);
  bc.SetInt32(10, 2);
  bc.SetInt32(20, 3);
  bc.SetFloat(10, 4.5);   // replaced where it stands, with its new type
  std::vector<Int32> ids;
  for (const auto& e : bc)
    ids.push_back(e.id);
  EXPECT_EQ(ids, (std::vector<Int32>{30, 10, 20}));
  EXPECT_EQ(bc.GetType(10), DA_REAL);
  EXPECT_EQ(bc.GetIndexId(1), 10);
  EXPECT_EQ(bc.FindIndex(20), 2);

  EXPECT_TRUE(bc.RemoveData(10));
  EXPECT_FALSE(bc.RemoveData(10));
  EXPECT_EQ(bc.GetCount(), 2);
  EXPECT_EQ(bc.GetIndexId(1), 20);
  bc.FlushAll();
  EXPECT_TRUE(bc.IsEmpty());
}

TEST(BaseContainer, LargeContainersFindEveryEntryAfterEachKindOfWrite)
{
  // Checked against a plain list kept beside it, across the size where the look-up changes its method:
  // inserts, replacements, removals from the front, middle and end, copies, moves and assignment.
  BaseContainer bc;
  std::vector<std::pair<Int32, Int32>> reference;   // (id, value) in insertion order
  const auto check = [&](const BaseContainer& c, const char* step) {
    SCOPED_TRACE(step);
    ASSERT_EQ(c.GetCount(), static_cast<Int32>(reference.size()));
    for (std::size_t i = 0; i < reference.size(); ++i)
    {
      ASSERT_EQ(c.GetIndexId(static_cast<Int32>(i)), reference[i].first);
      ASSERT_EQ(c.FindIndex(reference[i].first), static_cast<Int32>(i));
      ASSERT_EQ(c.GetInt32(reference[i].first, -1), reference[i].second);
    }
    EXPECT_EQ(c.FindIndex(-77), -1);
    EXPECT_FALSE(c.Contains(5000001));
  };
  const auto set = [&](Int32 id, Int32 value) {
    bc.SetInt32(id, value);
    for (auto& [key, v] : reference)
      if (key == id)
      {
        v = value;
        return;
      }
    reference.emplace_back(id, value);
  };
  const auto remove = [&](Int32 id) {
    EXPECT_TRUE(bc.RemoveData(id));
    reference.erase(std::find_if(reference.begin(), reference.end(), [id](const auto& e) { return e.first == id; }));
  };

  for (Int32 i = 0; i < 40; ++i)   // grows past the size where an index is kept
  {
    set(300000 - i * 7, i);
    check(bc, "growing");
  }
  for (Int32 i = 0; i < 40; i += 3)
    set(300000 - i * 7, -i);   // replaced in place
  check(bc, "replaced");
  while (bc.GetCount() > 10)   // shrinks below it again, from both ends and the middle
  {
    remove(reference.front().first);
    remove(reference[reference.size() / 2].first);
    remove(reference.back().first);
    check(bc, "shrinking");
  }
  reference.reserve(reference.size() + 80000);
  for (Int32 i = 0; i < 80000; ++i)   // new ids (the kept ones are all above 200000)
  {
    bc.SetInt32(i * 3 + 5, i);
    reference.emplace_back(i * 3 + 5, i);
  }
  check(bc, "large");
  remove(5);
  remove(3 * 40000 + 5);
  check(bc, "removed from a large one");

  const BaseContainer copy(bc);
  check(copy, "copy");
  EXPECT_EQ(copy, bc);
  BaseContainer assigned;
  assigned.SetInt32(3, 3);
  assigned = copy;
  check(assigned, "assigned");
  BaseContainer moved(std::move(assigned));
  check(moved, "moved");
  BaseContainer moveAssigned;
  moveAssigned = std::move(moved);
  check(moveAssigned, "move-assigned");
  moveAssigned.SetInt32(11, 1);
  EXPECT_NE(moveAssigned, bc);
  bc.FlushAll();
  reference.clear();
  check(bc, "flushed");
  set(42, 1);
  check(bc, "after flushing");
}

TEST(BaseContainer, EqualityComparesContentNotOrder)
{
  BaseContainer sub;
  sub.SetString(1, "x");
  KnotList curve;
  curve.knots = {Vector(0, 0, 0), Vector(1, 1, 0)};

  BaseContainer a;
  a.SetInt32(1, 5);
  a.SetContainer(2, sub);
  a.SetData(3, GeData(curve));
  BaseContainer b;   // same entries, other order
  b.SetData(3, GeData(curve));
  b.SetContainer(2, sub);
  b.SetInt32(1, 5);
  EXPECT_EQ(a, b);

  struct Case
  {
    const char* what;
    void (*change)(BaseContainer&);
  };
  const Case changes[] = {
    {"id", [](BaseContainer& c) { c.SetId(9); }},
    {"value", [](BaseContainer& c) { c.SetInt32(1, 6); }},
    {"type", [](BaseContainer& c) { c.SetFloat(1, 5.0); }},
    {"extra key", [](BaseContainer& c) { c.SetInt32(99, 0); }},
    {"sub-container", [](BaseContainer& c) { c.GetContainerInstance(2)->SetString(1, "y"); }},
    {"custom content", [](BaseContainer& c) {
       static_cast<KnotList*>(c.GetCustomData(3, KnotList::TYPE))->knots[1].y = 0.5;
     }},
  };
  for (const Case& c : changes)
  {
    BaseContainer changed = a;
    EXPECT_EQ(changed, a) << c.what;
    c.change(changed);
    EXPECT_NE(changed, a) << c.what;
  }

  // NaN is not equal to itself, as for doubles.
  BaseContainer n1;
  n1.SetFloat(1, NaN);
  BaseContainer n2 = n1;
  EXPECT_NE(n1, n2);
}

TEST(BaseContainer, CopiesAreDeep)
{
  KnotList curve;
  curve.knots = {Vector(0, 0, 0)};
  BaseContainer inner;
  inner.SetInt32(1, 1);
  BaseContainer a;
  a.SetContainer(5, inner);
  a.SetData(6, GeData(curve));

  BaseContainer b = a;
  b.GetContainerInstance(5)->SetInt32(1, 2);
  static_cast<KnotList*>(b.GetCustomData(6, KnotList::TYPE))->knots.push_back(Vector(1, 0, 0));
  EXPECT_EQ(a.GetContainerInstance(5)->GetInt32(1), 1);
  EXPECT_EQ(static_cast<const KnotList*>(a.GetCustomData(6, KnotList::TYPE))->knots.size(), 1u);

  BaseContainer c;
  EXPECT_TRUE(a.CopyTo(&c));
  EXPECT_EQ(c, a);
}

TEST(BaseContainer, CopyToReportsACustomValueThatCannotBeCloned)
{
  KnotList curve;
  BaseContainer a;
  a.SetData(6, GeData(curve));
  static_cast<KnotList*>(a.GetCustomData(6, KnotList::TYPE))->failClone = true;
  BaseContainer c;
  EXPECT_FALSE(a.CopyTo(&c));
  EXPECT_TRUE(c.GetData(6).IsNil());
}

TEST(BaseContainer, SubContainersAndCustomDataByType)
{
  BaseContainer bc;
  bc.SetInt32(1, 3);
  EXPECT_EQ(bc.GetContainerInstance(1), nullptr);   // another type
  EXPECT_EQ(bc.GetContainerInstance(2), nullptr);   // missing
  EXPECT_TRUE(bc.GetContainer(2).IsEmpty());

  BaseContainer sub(77);
  sub.SetFloat(4, 0.25);
  bc.SetContainer(2, sub);
  BaseContainer* inst = bc.GetContainerInstance(2);
  ASSERT_NE(inst, nullptr);
  EXPECT_EQ(inst->GetId(), 77);
  inst->SetFloat(4, 0.5);   // the instance is the stored container, not a copy
  EXPECT_EQ(bc.GetContainer(2).GetFloat(4), 0.5);

  bc.SetData(3, GeData(KnotList()));
  EXPECT_NE(bc.GetCustomData(3, KnotList::TYPE), nullptr);
  EXPECT_EQ(bc.GetCustomData(3, 1234), nullptr);
  EXPECT_EQ(bc.GetCustomData(1, KnotList::TYPE), nullptr);
}

TEST(HyperFile, ReadsValuesBackInOrderAndRefusesOtherTypes)
{
  HyperFile hf;
  ASSERT_TRUE(hf.WriteInt32(7));
  ASSERT_TRUE(hf.WriteFloat(0.5));
  ASSERT_TRUE(hf.WriteBool(true));
  ASSERT_TRUE(hf.WriteString("abc"));
  ASSERT_TRUE(hf.WriteVector(Vector(1, 2, 3)));

  Int32 i = 0;
  Float f = 0;
  Bool b = false;
  String s;
  Vector v;
  EXPECT_FALSE(hf.ReadFloat(&f));   // the next value is an Int32; nothing is consumed
  EXPECT_TRUE(hf.ReadInt32(&i));
  EXPECT_TRUE(hf.ReadFloat(&f));
  EXPECT_TRUE(hf.ReadBool(&b));
  EXPECT_TRUE(hf.ReadString(&s));
  EXPECT_TRUE(hf.ReadVector(&v));
  EXPECT_FALSE(hf.ReadInt32(&i));   // end of the stream
  EXPECT_EQ(i, 7);
  EXPECT_EQ(f, 0.5);
  EXPECT_TRUE(b);
  EXPECT_EQ(s, "abc");
  EXPECT_EQ(v, Vector(1, 2, 3));
}
