#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/scene/hierarchy.h"
#include "host/scene/hyperfile.h"
#include "host/scene/messages.h"
#include "host/scene/plugins.h"
#include "host/scene/scenefile.h"

namespace
{
constexpr Int32 ID_LEVELED = 1054566;   // registered at disk level 2
constexpr Int32 ID_SHADER = 1054655;
constexpr Int32 CURVE = 1099060;   // a test type: the host registers its own curve type (1009060)

// A plug-in with a member it writes into its own data stream from level 2 on, and a level-0
// conversion of its parameters (1003 moves to 1005), like the operators' old files.
class Leveled : public ObjectData
{
public:
  static inline std::vector<Int32> readLevels;
  static inline std::vector<Int32> infoTypes;
  static inline Bool failWrite = false;
  Int32 seed = 0;

  static NodeData* Alloc() { return NewObj<Leveled>(); }
  Bool Init(GeListNode* node) override
  {
    static_cast<BaseList2D*>(node)->GetDataInstance()->SetFloat(1001, 1.0);
    return true;
  }
  Bool Read(GeListNode* node, HyperFile* hf, Int32 level) override
  {
    readLevels.push_back(level);
    if (level == 0)
    {
      BaseList2D* bl = static_cast<BaseList2D*>(node);
      bl->SetParameter(DescID(1005), GeData(bl->GetDataInstance()->GetFloat(1003)));
    }
    return level < 2 || hf->ReadInt32(&seed);
  }
  Bool Write(const GeListNode*, HyperFile* hf) const override { return !failWrite && hf->WriteInt32(seed); }
  Bool CopyTo(NodeData* dest, const GeListNode*, GeListNode*, COPYFLAGS, AliasTrans*) const override
  {
    static_cast<Leveled*>(dest)->seed = seed;
    return true;
  }
  Bool Message(GeListNode*, Int32 type, void* data) override
  {
    if (type == MSG_DOCUMENTINFO)
      infoTypes.push_back(static_cast<DocumentInfoData*>(data)->type);
    return true;
  }
};

class ChannelShader : public ShaderData
{
public:
  static NodeData* Alloc() { return NewObj<ChannelShader>(); }
};

class KnotList : public CustomDataType
{
public:
  std::vector<Vector> knots;
  static std::unique_ptr<CustomDataType> Make() { return std::make_unique<KnotList>(); }
  Int32 GetCustomTypeId() const override { return CURVE; }
  std::unique_ptr<CustomDataType> Clone() const override { return std::make_unique<KnotList>(*this); }
  Bool IsEqual(const CustomDataType& o) const override
  {
    return o.GetCustomTypeId() == CURVE && static_cast<const KnotList&>(o).knots == knots;
  }
  Bool WriteData(HyperFile* hf) const override
  {
    Bool ok = hf->WriteInt32(static_cast<Int32>(knots.size()));
    for (const Vector& k : knots)
      ok = ok && hf->WriteVector(k);
    return ok;
  }
  Bool ReadData(HyperFile* hf, Int32) override
  {
    Int32 n = 0;
    if (!hf->ReadInt32(&n) || n < 0)
      return false;
    knots.resize(static_cast<std::size_t>(n));
    for (Vector& k : knots)
      if (!hf->ReadVector(&k))
        return false;
    return true;
  }
};

class SceneFileTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    host::ResetSceneState();
    host::ResetLogs();
    Leveled::readLevels.clear();
    Leveled::infoTypes.clear();
    Leveled::failWrite = false;
    ASSERT_TRUE(RegisterObjectPlugin(ID_LEVELED, "Leveled", OBJECT_GENERATOR, Leveled::Alloc, "oleveled", nullptr, 2));
    ASSERT_TRUE(RegisterShaderPlugin(ID_SHADER, "Channel", 0, ChannelShader::Alloc, "xchannel", 0));
    ASSERT_TRUE(host::RegisterCustomDataType(CURVE, KnotList::Make));
    _live = host::GetLiveNodeCount();
    _dir = std::filesystem::temp_directory_path() /
           ("ogx_scene_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(_dir);
  }
  void TearDown() override
  {
    std::error_code ec;
    std::filesystem::remove_all(_dir, ec);
    host::ResetSceneState();
    EXPECT_EQ(host::GetLiveNodeCount(), _live) << "nodes were left alive";
  }

  Int _live = 0;
  std::filesystem::path _dir;
};

struct DocDeleter
{
  void operator()(BaseDocument* d) const { BaseDocument::Free(d); }
};
using DocPtr = std::unique_ptr<BaseDocument, DocDeleter>;

// Compares two node lists field by field, walking both trees in step. Links are compared by where
// they resolve, each in its own document.
void ExpectSameNodes(const GeListNode* a, const GeListNode* b, const String& path, BaseDocument* docA,
                     BaseDocument* docB);

void ExpectSameContainers(const BaseContainer& a, const BaseContainer& b, const String& path, BaseDocument* docA,
                          BaseDocument* docB)
{
  ASSERT_EQ(a.GetCount(), b.GetCount()) << path;
  EXPECT_EQ(a.GetId(), b.GetId()) << path;
  for (Int32 i = 0; i < a.GetCount(); ++i)
  {
    const Int32 id = a.GetIndexId(i);
    const String at = path + "." + String::IntToString(id);
    ASSERT_EQ(b.GetIndexId(i), id) << at;   // the order survives too
    const GeData& x = a.GetData(id);
    const GeData& y = b.GetData(id);
    ASSERT_EQ(x.GetType(), y.GetType()) << at;
    if (x.GetType() == DA_ALIASLINK)
    {
      const BaseList2D* tx = x.GetLink(docA);
      const BaseList2D* ty = y.GetLink(docB);
      ASSERT_EQ(tx == nullptr, ty == nullptr) << at;
      if (tx)
      {
        EXPECT_EQ(tx->GetName(), ty->GetName()) << at;
      }
    }
    else if (x.GetType() == DA_REAL && std::isnan(x.GetFloat()))
      EXPECT_TRUE(std::isnan(y.GetFloat())) << at;
    else if (x.GetType() == DA_CONTAINER)
      ExpectSameContainers(*x.GetContainer(), *y.GetContainer(), at, docA, docB);
    else
      EXPECT_EQ(x, y) << at;
  }
}

void ExpectSameNodes(const GeListNode* a, const GeListNode* b, const String& path, BaseDocument* docA,
                     BaseDocument* docB)
{
  Int32 i = 0;
  for (; a && b; a = a->GetNext(), b = b->GetNext(), ++i)
  {
    const String at = path + "[" + String::IntToString(i) + "]";
    const BaseList2D* x = static_cast<const BaseList2D*>(a);
    const BaseList2D* y = static_cast<const BaseList2D*>(b);
    ASSERT_EQ(x->GetType(), y->GetType()) << at;
    ASSERT_EQ(x->GetKind(), y->GetKind()) << at;
    EXPECT_NE(x->GetGUID(), y->GetGUID()) << at;
    EXPECT_EQ(x->GetName(), y->GetName()) << at;
    EXPECT_EQ(x->GetAllBits(), y->GetAllBits()) << at;
    EXPECT_EQ(x->GetNodeData() != nullptr, y->GetNodeData() != nullptr) << at;
    ExpectSameContainers(*x->GetDataInstance(), *y->GetDataInstance(), at + ".params", docA, docB);
    if (x->GetKind() == NODEKIND::OBJECT)
    {
      const BaseObject* ox = static_cast<const BaseObject*>(x);
      const BaseObject* oy = static_cast<const BaseObject*>(y);
      EXPECT_EQ(ox->GetMl(), oy->GetMl()) << at;
      EXPECT_EQ(ox->IsEnabled(), oy->IsEnabled()) << at;
      EXPECT_EQ(ox->GetEditorMode(), oy->GetEditorMode()) << at;
      EXPECT_EQ(ox->GetRenderMode(), oy->GetRenderMode()) << at;
      ExpectSameNodes(ox->GetFirstTag(), oy->GetFirstTag(), at + ".tags", docA, docB);
    }
    if (x->IsInstanceOf(Tvariable))
    {
      const VariableTag* vx = static_cast<const VariableTag*>(x);
      const VariableTag* vy = static_cast<const VariableTag*>(y);
      ASSERT_EQ(vx->GetDataCount(), vy->GetDataCount()) << at;
      EXPECT_EQ(std::memcmp(vx->GetLowlevelDataAddressR(), vy->GetLowlevelDataAddressR(),
                            static_cast<std::size_t>(vx->GetDataCount() * vx->GetDataSize())),
                0)
        << at;
    }
    ExpectSameNodes(x->GetFirstShader(), y->GetFirstShader(), at + ".shaders", docA, docB);
    ExpectSameNodes(x->GetDown(), y->GetDown(), at + ".children", docA, docB);
  }
  EXPECT_EQ(a == nullptr, b == nullptr) << path << ": the lists differ in length";
}

// A document that uses every kind of value and node the format holds.
BaseDocument* MakeRichDocument()
{
  BaseDocument* doc = BaseDocument::Alloc();
  doc->SetTime(1.25);

  BaseObject* terrain = BaseObject::Alloc(ID_LEVELED);
  terrain->SetName("Gel\xC3\xA4nde");   // UTF-8
  terrain->SetMl(Matrix(Vector(1.5, -2, 3e-9), Vector(0, 1, 0), Vector(-1, 0, 0), Vector(0, 0, 0.1)));
  terrain->SetEditorMode(MODE::OFF);
  terrain->SetEnabled(false);
  terrain->SetBit(BIT_ACTIVE);
  terrain->GetNodeData<Leveled>()->seed = 1234;
  BaseContainer* bc = terrain->GetDataInstance();
  bc->SetFloat(1003, 50.0);
  bc->SetInt32(1002, 1);
  bc->SetBool(3021, true);
  bc->SetInt64(4000, -(Int64(1) << 53) - 7);
  bc->SetString(1092, "Memory: \"12\" kB\n\ttab");
  bc->SetVector(4001, Vector(0.1, 0.2, 0.3));
  bc->SetMatrix(4002, Matrix(Vector(1, 2, 3), Vector(4, 5, 6), Vector(7, 8, 9), Vector(10, 11, 12)));
  bc->SetFloat(4003, std::numeric_limits<Float>::quiet_NaN());
  bc->SetFloat(4004, -std::numeric_limits<Float>::infinity());
  bc->SetFloat(4005, 0.1 + 0.2);   // needs all 17 digits
  bc->SetData(4006, GeData());
  BaseContainer inner(55);
  inner.SetInt32(1, 7);
  BaseContainer innermost;
  innermost.SetString(2, "deep");
  inner.SetContainer(3, innermost);
  bc->SetContainer(4007, inner);
  KnotList curve;
  curve.knots = {Vector(0, 0, 0), Vector(0.5, 0.25, 0), Vector(1, 1, 0)};
  bc->SetData(4008, GeData(curve));
  terrain->MakeTag(Tphong);
  doc->InsertObject(terrain, nullptr);

  BaseObject* child = BaseObject::Alloc(Onull);
  child->SetName("child");
  child->InsertUnder(terrain);
  PolygonObject* poly = PolygonObject::Alloc(3, 1);
  poly->SetName("mesh");
  poly->GetPointW()[0] = Vector(0, 0, 0);
  poly->GetPointW()[1] = Vector(1, 0, 0);
  poly->GetPointW()[2] = Vector(0, 0, 1);
  poly->GetPolygonW()[0] = CPolygon(0, 1, 2);
  poly->InsertUnder(child);

  SplineObject* spline = SplineObject::Alloc(5, SPLINETYPE::LINEAR);
  spline->SetName("path");
  spline->ResizeObject(5, 2);
  spline->GetSegmentW()[0] = Segment{2, false};
  spline->GetSegmentW()[1] = Segment{3, true};
  for (Int32 i = 0; i < 5; ++i)
    spline->GetPointW()[i] = Vector(i, i * i, -i);
  doc->InsertObject(spline, nullptr, terrain);

  // Links: to an object, to the terrain itself, and to a node of no document (stored empty).
  bc->SetLink(4009, spline);
  bc->SetLink(4010, terrain);

  BaseMaterial* mat = BaseMaterial::Alloc();
  mat->SetName("Rock");
  BaseShader* layer = BaseShader::Alloc(5866);
  BaseShader* channel = BaseShader::Alloc(ID_SHADER);
  channel->GetDataInstance()->SetLink(10000, terrain);
  BaseShader* nested = BaseShader::Alloc(5832);
  mat->InsertShader(layer);
  channel->InsertUnder(layer);
  layer->InsertShader(nested);
  doc->InsertMaterial(mat);
  return doc;
}
} // namespace

TEST_F(SceneFileTest, RoundTripKeepsTreeContainersMatricesAndLevels)
{
  DocPtr doc(MakeRichDocument());
  const Url file(String((_dir / "scene.json").string()));
  ASSERT_TRUE(host::SaveDocument(doc.get(), file).IsOk());

  Result<BaseDocument*> loaded = host::LoadDocument(file);
  ASSERT_TRUE(loaded.IsOk()) << loaded.GetError().GetMessage();
  DocPtr back(loaded.GetValue());
  EXPECT_EQ(back->GetTime(), 1.25);
  ExpectSameNodes(doc->GetFirstObject(), back->GetFirstObject(), "objects", doc.get(), back.get());
  ExpectSameNodes(doc->GetFirstMaterial(), back->GetFirstMaterial(), "materials", doc.get(), back.get());

  // Plug-in nodes were read at the level they were stored at, with their own data.
  BaseObject* terrain = back->GetFirstObject();
  EXPECT_EQ(Leveled::readLevels, (std::vector<Int32>{2}));
  EXPECT_EQ(terrain->GetNodeData<Leveled>()->seed, 1234);
  // Links point into the loaded document.
  EXPECT_EQ(terrain->GetDataInstance()->GetLink(4009, back.get()), terrain->GetNext());
  EXPECT_EQ(back->GetFirstMaterial()->GetFirstShader()->GetDown()->GetDataInstance()->GetLink(10000, back.get()),
            terrain);
  // Every node heard that the document was loaded.
  EXPECT_EQ(Leveled::infoTypes, (std::vector<Int32>{MSG_DOCUMENTINFO_TYPE_LOAD}));
  EXPECT_EQ(host::GetMessageLog(back->GetFirstMaterial()), (std::vector<Int32>{MSG_DOCUMENTINFO}));

  // Saving the loaded document gives the same text: nothing was lost or added on the way.
  const String first = host::SaveDocumentToText(doc.get(), "a").GetValue();
  const String second = host::SaveDocumentToText(back.get(), "a").GetValue();
  EXPECT_EQ(first, second);
}

TEST_F(SceneFileTest, SelectionTheActiveObjectAndNodeBitsAreKept)
{
  const String text = R"({"format": "ogx-scene", "version": 2, "objects": [
    {"type": 5140, "name": "a", "selected": true, "children": [
      {"type": 5140, "name": "a1", "selected": true, "active": true, "nbits": [14]}]},
    {"type": 5140, "name": "b", "bits": 2},
    {"type": 5140, "name": "c", "selected": false, "bits": 2}
  ]})";
  Result<BaseDocument*> r = host::LoadDocumentFromText(text, "selection.json");
  ASSERT_TRUE(r.IsOk()) << r.GetError().GetMessage();
  DocPtr doc(r.GetValue());
  BaseObject* a = doc->GetFirstObject();
  BaseObject* a1 = a->GetDown();
  AtomArray active;
  doc->GetActiveObjects(active, GETACTIVEOBJECTFLAGS::NONE);
  ASSERT_EQ(active.GetCount(), 3);
  EXPECT_EQ(active.GetIndex(2), a->GetNext()) << "the state bit of a version 1 file selects too";
  EXPECT_FALSE(a->GetNext()->GetNext()->GetBit(BIT_ACTIVE));
  // The active one is the one the file names, not the first selected.
  EXPECT_EQ(doc->GetActiveObject(), a1);
  EXPECT_TRUE(a1->GetNBit(NBIT::OM1_FOLD));
  EXPECT_TRUE(host::GetNBitLog(a1).empty()) << "loading sets the bits, it does not change them";

  // Saved in words, and loaded back the same.
  const String saved = host::SaveDocumentToText(doc.get(), "a").GetValue();
  EXPECT_NE(saved.find("\"active\": true"), String::npos);
  EXPECT_EQ(saved.find("\"bits\""), String::npos);
  Result<BaseDocument*> again = host::LoadDocumentFromText(saved, "again.json");
  ASSERT_TRUE(again.IsOk()) << again.GetError().GetMessage();
  DocPtr back(again.GetValue());
  EXPECT_EQ(back->GetActiveObject()->GetName(), "a1");
  EXPECT_TRUE(back->GetActiveObject()->GetNBit(NBIT::OM1_FOLD));
  EXPECT_EQ(host::SaveDocumentToText(back.get(), "a").GetValue(), saved);

  struct Case
  {
    const char* objects;
    const char* expected;
  };
  const Case bad[] = {
    {R"({"type": 5140, "active": true}, {"type": 5140, "active": true})",
     "bad.json: objects[1].active: only one object can be the active one (objects[0] is too)"},
    {R"({"type": 5140, "active": true, "selected": false})",
     "bad.json: objects[0].active: the active object must be selected"},
    {R"({"type": 5140, "nbits": [64]})", "bad.json: objects[0].nbits[0]: expected a node bit (0 to 63)"},
    {R"({"type": 5140, "selected": 1})", "bad.json: objects[0].selected: expected a Bool"},
  };
  for (const Case& c : bad)
  {
    Result<BaseDocument*> refused = host::LoadDocumentFromText(
      String(R"({"format": "ogx-scene", "version": 2, "objects": [)") + c.objects + "]}", "bad.json");
    ASSERT_TRUE(refused.IsError()) << c.objects;
    EXPECT_EQ(refused.GetError().GetMessage().substr(0, String(c.expected).size()), c.expected) << c.objects;
  }
}

TEST_F(SceneFileTest, AnOlderLevelRunsTheConversion)
{
  const String text = R"({"format": "ogx-scene", "version": 1, "objects": [
    {"type": 1054566, "level": 0, "params": {"1003": {"Float": 7.5}, "1002": {"Int32": 3}}},
    {"type": "oleveled", "level": 1}
  ]})";
  Result<BaseDocument*> r = host::LoadDocumentFromText(text, "old.json");
  ASSERT_TRUE(r.IsOk()) << r.GetError().GetMessage();
  DocPtr doc(r.GetValue());
  EXPECT_EQ(Leveled::readLevels, (std::vector<Int32>{0, 1}));
  const BaseContainer* bc = doc->GetFirstObject()->GetDataInstance();
  EXPECT_EQ(bc->GetFloat(1005), 7.5);
  // A parameter the file does not have keeps the value Init gave it.
  EXPECT_EQ(bc->GetFloat(1001), 1.0);
  EXPECT_EQ(doc->GetFirstObject()->GetNext()->GetDataInstance()->GetFloat(1005, -1.0), -1.0);
}

TEST_F(SceneFileTest, ValuesAreWrittenReadablyAndKeysOnlyWhereLinked)
{
  DocPtr doc(BaseDocument::Alloc());
  BaseObject* a = BaseObject::Alloc(Onull);
  BaseObject* b = BaseObject::Alloc(Onull);
  a->GetDataInstance()->SetLink(1, b);
  a->GetDataInstance()->SetFloat(2, std::numeric_limits<Float>::infinity());
  a->GetDataInstance()->SetBool(3, true);
  doc->InsertObject(a, nullptr);
  doc->InsertObject(b, nullptr, a);
  const String text = host::SaveDocumentToText(doc.get(), "t").GetValue();
  EXPECT_NE(text.find(R"("format": "ogx-scene")"), String::npos);
  EXPECT_NE(text.find(R"("Float": "Infinity")"), String::npos);
  EXPECT_NE(text.find(R"("Int32": 1)"), String::npos);   // a Bool is an Int32 1
  EXPECT_NE(text.find(R"("Link": 2)"), String::npos);
  EXPECT_EQ(text.find(R"("key": 1)"), String::npos);     // a is not linked to
  EXPECT_NE(text.find(R"("key": 2)"), String::npos);
  EXPECT_LT(text.find(R"("type")"), text.find(R"("matrix")"));   // fields keep their order

  // A link to a node outside the document is stored empty.
  BaseObject* loose = BaseObject::Alloc(Onull);
  a->GetDataInstance()->SetLink(1, loose);
  const String text2 = host::SaveDocumentToText(doc.get(), "t").GetValue();
  EXPECT_NE(text2.find(R"("Link": null)"), String::npos);
  BaseObject::Free(loose);
}

TEST_F(SceneFileTest, LinksNameTheirTargetByKeyOrByNameAndTheDocumentKnowsItsFolder)
{
  const std::filesystem::path file = _dir / "links.json";
  std::ofstream(file) << R"({"format": "ogx-scene", "version": 1,
    "objects": [
      {"type": 5140, "name": "Source", "params": {"1": {"Link": "Material"}, "2": {"Link": "Inner"}}},
      {"type": 5140, "key": 3, "name": "Source 2", "children": [{"type": 5140, "name": "Inner"}],
       "params": {"1": {"Link": "Source"}, "2": {"Link": 3}}}
    ],
    "materials": [{"type": 5702, "name": "Material"}]})";
  Result<BaseDocument*> loaded = host::LoadDocument(Url(file));
  ASSERT_TRUE(loaded.IsOk()) << loaded.GetError().GetText().GetStd();
  DocPtr doc(loaded.GetValue());
  BaseObject* source = doc->SearchObject("Source");
  BaseObject* second = doc->SearchObject("Source 2");
  ASSERT_TRUE(source && second);
  EXPECT_EQ(source->GetDataInstance()->GetLink(1, doc.get()), doc->GetFirstMaterial());
  EXPECT_EQ(source->GetDataInstance()->GetLink(2, doc.get()), doc->SearchObject("Inner"));
  EXPECT_EQ(second->GetDataInstance()->GetLink(1, doc.get()), source);
  EXPECT_EQ(second->GetDataInstance()->GetLink(2, doc.get()), second);
  EXPECT_EQ(doc->GetDataInstance()->GetString(DOCUMENT_PATH), String(std::filesystem::absolute(_dir).string()));
}

TEST_F(SceneFileTest, SaveErrorsNameThePlaceAndLeaveTheOldFile)
{
  DocPtr doc(MakeRichDocument());
  const Url file(String((_dir / "keep.json").string()));
  ASSERT_TRUE(host::SaveDocument(doc.get(), file).IsOk());
  std::ifstream in(file.GetPath());
  const std::string before((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  Leveled::failWrite = true;
  Result<void> r = host::SaveDocument(doc.get(), file);
  ASSERT_TRUE(r.IsError());
  EXPECT_EQ(r.GetError().GetMessage(), file.GetString() + ": objects[0]: the plug-in's Write failed");
  std::ifstream again(file.GetPath());
  const std::string after((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
  EXPECT_EQ(before, after);
  Leveled::failWrite = false;

  // Text that is not UTF-8, and a custom type that cannot be stored.
  doc->GetFirstObject()->GetDown()->SetName("bad\xFF");
  EXPECT_EQ(host::SaveDocumentToText(doc.get(), "s").GetError().GetMessage(),
            "s: objects[0].children[0].name: text that is not valid UTF-8 cannot be saved");
  doc->GetFirstObject()->GetDown()->SetName("ok");

  const Url nowhere(String((_dir / "missing_dir" / "x.json").string()));
  Result<void> w = host::SaveDocument(doc.get(), nowhere);
  ASSERT_TRUE(w.IsError());
  EXPECT_EQ(w.GetError().GetMessage(), nowhere.GetString() + ": cannot write the file");

  Result<BaseDocument*> missing = host::LoadDocument(nowhere);
  ASSERT_TRUE(missing.IsError());
  EXPECT_EQ(missing.GetError().GetMessage(), nowhere.GetString() + ": cannot open the file");
}

TEST_F(SceneFileTest, BadFilesGiveAClearErrorAndNoDocument)
{
  // A valid first object in most cases, so a half-built document would show up as live nodes.
  const String ok = R"({"type": 5140, "name": "fine", "children": [{"type": 5140}]})";
  auto file = [&](const String& objects) {
    return String(R"({"format": "ogx-scene", "version": 1, "objects": [)") + ok + ", " + objects + "]}";
  };
  String deep = R"({"type": 5140})";
  for (int i = 0; i < 257; ++i)
    deep = R"({"type": 5140, "children": [)" + deep + "]}";

  struct Case
  {
    const char* name;
    String text;
    String expected;
  };
  const Case cases[] = {
    {"broken JSON", R"({"format": "ogx-scene", "objects": [})",
     "scene.json: line 1, column 37: not valid JSON (syntax error while parsing value - unexpected '}'; expected "
     "'[', '{', or a literal)"},
    {"empty file", "", ""},
    {"not an object", "[]", "scene.json: expected a JSON object at the top"},
    {"other format", R"({"format": "other", "version": 1, "objects": []})",
     "scene.json: format: not a scene file (expected \"ogx-scene\")"},
    {"newer version", R"({"format": "ogx-scene", "version": 3, "objects": []})",
     "scene.json: version: format version 3 cannot be read (this host reads 1 to 2)"},
    {"missing objects", R"({"format": "ogx-scene", "version": 1})", "scene.json: missing field \"objects\""},
    {"unknown top field", R"({"format": "ogx-scene", "version": 1, "objects": [], "extra": 1})",
     "scene.json: extra: unknown field"},
    {"unknown type", file(R"({"type": 999999})"), "scene.json: objects[1].type: unknown type 999999"},
    {"unknown type name", file(R"({"type": "oterrain"})"), "scene.json: objects[1].type: unknown type \"oterrain\""},
    {"missing type", file(R"({"name": "x"})"), "scene.json: objects[1]: missing field \"type\""},
    {"misspelt field", file(R"({"type": 5140, "nmae": "x"})"), "scene.json: objects[1].nmae: unknown field"},
    {"a tag among objects", file(R"({"type": 5612})"), "scene.json: objects[1].type: type 5612 is a tag, not an object"},
    {"an object among tags", file(R"({"type": 5140, "tags": [{"type": 5140}]})"),
     "scene.json: objects[1].tags[0].type: type 5140 is an object, not a tag"},
    {"wrong value type",
     file(R"({"type": 5140}, {"type": 5140, "children": [{"type": 5140, "params": {"1003": {"Float": true}}}]})"),
     "scene.json: objects[2].children[0].params.1003: expected a Float (got a Bool)"},
    {"float as text", file(R"({"type": 5140, "params": {"1003": {"Float": "abc"}}})"),
     "scene.json: objects[1].params.1003: expected a Float (text other than \"NaN\", \"Infinity\", \"-Infinity\")"},
    {"huge Int32", file(R"({"type": 5140, "params": {"7": {"Int32": 3000000000}}})"),
     "scene.json: objects[1].params.7: expected an Int32 (value out of range)"},
    {"huge Int64", file(R"({"type": 5140, "params": {"7": {"Int64": 100000000000000000000000}}})"),
     "scene.json: objects[1].params.7: expected an Int64 (got a number that is not a whole number in range)"},
    {"fractional Int32", file(R"({"type": 5140, "params": {"7": {"Int32": 1.5}}})"),
     "scene.json: objects[1].params.7: expected an Int32 (got a number that is not a whole number in range)"},
    {"huge Float", file(R"({"type": 5140, "params": {"7": {"Float": 1e400}}})"),
     "scene.json: not valid JSON (number overflow parsing '1e400')"},
    {"short vector", file(R"({"type": 5140, "params": {"7": {"Vector": [1, 2]}}})"),
     "scene.json: objects[1].params.7: expected a Vector (an array of 3 numbers)"},
    {"unknown value type", file(R"({"type": 5140, "params": {"7": {"Flaot": 1.0}}})"),
     "scene.json: objects[1].params.7: unknown value type \"Flaot\""},
    {"value without type", file(R"({"type": 5140, "params": {"7": 1.0}})"),
     "scene.json: objects[1].params.7: expected a value: an object with one member naming its type, such as "
     "{\"Float\": 1.5}"},
    {"parameter id not a number", file(R"({"type": 5140, "params": {"abc": {"Int32": 1}}})"),
     "scene.json: objects[1].params.abc: not a parameter id (decimal Int32)"},
    {"parameter id spelt twice", file(R"({"type": 5140, "params": {"01003": {"Int32": 1}}})"),
     "scene.json: objects[1].params.01003: not a parameter id (decimal Int32)"},
    {"parameter id too large", file(R"({"type": 5140, "params": {"4294967296": {"Int32": 1}}})"),
     "scene.json: objects[1].params.4294967296: not a parameter id (decimal Int32)"},
    {"repeated parameter", file(R"({"type": 5140, "params": {"1003": {"Int32": 1}, "1003": {"Int32": 2}}})"),
     "scene.json: objects[1].params.1003: appears twice in the same object"},
    {"repeated node key", file(R"({"type": 5140, "key": 5}, {"type": 5140, "key": 5})"),
     "scene.json: objects[2].key: key 5 is used by another node too"},
    {"link to a missing key", file(R"({"type": 5140, "params": {"10": {"Link": 9}}})"),
     "scene.json: objects[1].params.10: link to unknown key 9"},
    {"link to a name two materials have",
     file(R"({"type": 5140, "params": {"10": {"Link": "paint"}}}], "materials": [{"type": 5702, "name": "paint"},
            {"type": 5702, "name": "paint"})"),
     "scene.json: objects[1].params.10: 2 materials, tags or shaders are named \"paint\"; link one by its key"},
    {"unknown custom type", file(R"({"type": 5140, "params": {"10": {"Custom": {"type": 77, "data": []}}}})"),
     "scene.json: objects[1].params.10.Custom: unknown custom data type 77"},
    {"custom data cut short", file(R"({"type": 5140, "params": {"10": {"Custom": {"type": 1099060, "data": [{"Int32": 2}]}}}})"),
     "scene.json: objects[1].params.10.Custom: custom data type 1099060 could not read its data"},
    {"plug-in without level", file(R"({"type": 1054566})"),
     "scene.json: objects[1]: missing field \"level\" (the plug-in's disk level)"},
    {"level newer than the plug-in", file(R"({"type": 1054566, "level": 3})"),
     "scene.json: objects[1].level: stored at level 3, newer than the plug-in's level 2"},
    {"level on a built-in", file(R"({"type": 5140, "level": 0})"),
     "scene.json: objects[1].level: type 5140 is not a registered plug-in"},
    {"plug-in data missing", file(R"({"type": 1054566, "level": 2})"),
     "scene.json: objects[1]: the plug-in's Read failed (level 2)"},
    {"polygon index out of range",
     file(R"({"type": 5100, "tags": [{"type": 5600, "records": [[0,0,0],[1,0,0],[0,0,1]]},
                                     {"type": 5604, "records": [[0,1,2,2],[0,1,3,3]]}]})"),
     "scene.json: objects[1].tags[1].records[1]: point index 3 is out of range (3 points)"},
    {"segments that do not add up",
     file(R"({"type": 5101, "tags": [{"type": 5600, "records": [[0,0,0],[1,0,0]]},
                                     {"type": 5672, "records": [[3, false]]}]})"),
     "scene.json: objects[1].tags[1].records: the segments hold 3 points, the spline has 2"},
    {"record of the wrong size", file(R"({"type": 5100, "tags": [{"type": 5600, "records": [[0,0]]}]})"),
     "scene.json: objects[1].tags[0].records[0]: expected a record of 3 fields"},
    {"records on a plain tag", file(R"({"type": 5140, "tags": [{"type": 5612, "records": []}]})"),
     "scene.json: objects[1].tags[0].records: only variable tags have records"},
    {"nesting too deep", file(deep), ""},
    {"bad mode", file(R"({"type": 5140, "editorMode": 2})"),
     "scene.json: objects[1].editorMode: expected a mode (0 on, 1 off) (value out of range)"},
    {"matrix without offset", file(R"({"type": 5140, "matrix": {"v1": [1,0,0], "v2": [0,1,0], "v3": [0,0,1]}})"),
     "scene.json: objects[1].matrix: missing field \"off\""},
  };
  for (const Case& c : cases)
  {
    Result<BaseDocument*> r = host::LoadDocumentFromText(c.text, "scene.json");
    ASSERT_TRUE(r.IsError()) << c.name;
    if (c.expected.IsPopulated())
      EXPECT_EQ(r.GetError().GetMessage(), c.expected) << c.name;
    else
      EXPECT_TRUE(r.GetError().GetMessage().starts_with("scene.json: ")) << c.name << ": "
                                                                          << r.GetError().GetMessage();
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT) << c.name;
    EXPECT_EQ(host::GetLiveNodeCount(), _live) << c.name << ": a half-built document was left alive";
  }
  EXPECT_NE(host::LoadDocumentFromText(file(deep), "scene.json").GetError().GetMessage().find(
              "nesting deeper than 256 levels"),
            String::npos);
}

TEST_F(SceneFileTest, DeepButAllowedNestingLoads)
{
  String deep = R"({"type": 5140, "name": "leaf"})";
  for (int i = 0; i < 255; ++i)
    deep = R"({"type": 5140, "children": [)" + deep + "]}";
  Result<BaseDocument*> r =
    host::LoadDocumentFromText(String(R"({"format": "ogx-scene", "version": 1, "objects": [)") + deep + "]}", "d");
  ASSERT_TRUE(r.IsOk()) << r.GetError().GetMessage();
  DocPtr doc(r.GetValue());
  EXPECT_NE(doc->SearchObject("leaf"), nullptr);
  EXPECT_TRUE(host::SaveDocumentToText(doc.get(), "d").IsOk());
}

// ---------------------------------------------------------------------------------------------------
// Format 2: parameters checked against the node's description

namespace
{
constexpr Int32 ID_DESCRIBED = 1054700;
constexpr Int32 STAMP = 5000;   // an entry of the container that is no parameter

// A plug-in whose description is built in code: a group of parameters of each type, two parameters
// sharing a name in two groups, a hard range, a cycle, a curve, and a button.
class Described : public ObjectData
{
public:
  static NodeData* Alloc() { return NewObj<Described>(); }
  Bool Init(GeListNode* node) override
  {
    BaseContainer* bc = static_cast<BaseList2D*>(node)->GetDataInstance();
    bc->SetFloat(1001, 10.0);
    bc->SetInt32(1002, 0);
    bc->SetString(STAMP, "made by Init");
    return true;
  }
  Bool GetDDescription(GeListNode*, Description* d, DESCFLAGS_DESC& flags) override
  {
    const auto add = [d](Int32 id, Int32 dtype, Int32 parent, const char* name, BaseContainer attributes = {}) {
      attributes.SetString(DESC_NAME, name);
      d->SetParameter(ParameterId(id, dtype), attributes, parent);
    };
    add(100, DTYPE_GROUP, 0, "Main");
    BaseContainer height;
    height.SetFloat(DESC_MIN, 0.0);
    height.SetFloat(DESC_MAX, 100.0);
    add(1001, DTYPE_REAL, 100, "Height", height);
    BaseContainer mode;
    BaseContainer cycle;
    cycle.SetString(0, "Flat");
    cycle.SetString(1, "Steep");
    cycle.SetString(2, "Wild");
    mode.SetContainer(DESC_CYCLE, cycle);
    add(1002, DTYPE_LONG, 100, "Mode", mode);
    add(1003, DTYPE_BOOL, 100, "Invert");
    add(1004, DTYPE_VECTOR, 100, "Offset");
    add(1005, DTYPE_STRING, 100, "Label");
    BaseContainer count;
    count.SetInt32(DESC_MIN, 1);
    add(1006, DTYPE_LONG, 100, "Count", count);
    add(1007, CURVE, 100, "Curve");
    add(1008, DTYPE_BUTTON, 100, "Press");
    add(1009, DA_ALIASLINK, 100, "Target");
    add(2001, DTYPE_REAL, 100, "Scale");
    add(200, DTYPE_GROUP, 0, "Extra");
    add(2002, DTYPE_REAL, 200, "Scale");
    flags |= DESCFLAGS_DESC::LOADED;
    return true;
  }
};

String Scene2(const String& params, const String& extra = String())
{
  return R"({"format": "ogx-scene", "version": 2, "objects": [{"type": 1054700, "level": 0, "params": )" + params +
         extra + "}]}";
}
} // namespace

class DescribedSceneTest : public SceneFileTest
{
protected:
  void SetUp() override
  {
    SceneFileTest::SetUp();
    ASSERT_TRUE(RegisterObjectPlugin(ID_DESCRIBED, "Described", 0, Described::Alloc, "odescribed", nullptr, 0));
  }
};

TEST_F(DescribedSceneTest, ParametersByNameOrIdWithPlainOrTypedValues)
{
  Result<BaseDocument*> r = host::LoadDocumentFromText(Scene2(R"({
      "Height": 42, "Mode": "Steep", "Invert": true, "Offset": [1, 2.5, -3], "Label": "hello",
      "1006": {"Int32": 7}, "Main/Scale": 0.5, "Extra/Scale": "-Infinity",
      "Curve": {"Custom": {"type": 1099060, "data": [{"Int32": 1}, {"Vector": [0.5, 1, 0]}]}}})"),
                                                       "scene.json");
  ASSERT_TRUE(r.IsOk()) << r.GetError().GetText();
  DocPtr doc(r.GetValue());
  const BaseContainer& bc = *doc->GetFirstObject()->GetDataInstance();
  EXPECT_EQ(bc.GetType(1001), DA_REAL);   // a whole number read as the parameter's Float
  EXPECT_EQ(bc.GetFloat(1001), 42.0);
  EXPECT_EQ(bc.GetType(1002), DA_LONG);
  EXPECT_EQ(bc.GetInt32(1002), 1);
  EXPECT_TRUE(bc.GetBool(1003));
  EXPECT_EQ(bc.GetVector(1004), Vector(1, 2.5, -3));
  EXPECT_EQ(bc.GetString(1005), "hello");
  EXPECT_EQ(bc.GetInt32(1006), 7);
  EXPECT_EQ(bc.GetFloat(2001), 0.5);
  EXPECT_EQ(bc.GetFloat(2002), -std::numeric_limits<Float>::infinity());
  const auto* curve = static_cast<const KnotList*>(bc.GetCustomData(1007, CURVE));
  ASSERT_NE(curve, nullptr);
  EXPECT_EQ(curve->knots, std::vector<Vector>{Vector(0.5, 1, 0)});
  EXPECT_EQ(bc.GetString(STAMP), "made by Init");   // what Init set and the file does not name stays
}

TEST_F(DescribedSceneTest, WhatTheDescriptionDoesNotTakeIsAnErrorWithThePlace)
{
  struct Case
  {
    const char* name;
    String params;
    String expected;   // after "scene.json: objects[0].params."
  };
  const Case cases[] = {
    {"unknown id", R"({"1030": 1.0})", "1030: odescribed has no parameter 1030"},
    {"unknown name", R"({"Hieght": 1.0})", "Hieght: odescribed has no parameter \"Hieght\""},
    {"shared name", R"({"Scale": 1.0})",
     "Scale: odescribed has more than one parameter \"Scale\" (2001 \"Main/Scale\", 2002 \"Extra/Scale\"): write "
     "the id or the group's name before it"},
    {"unknown group", R"({"Other/Scale": 1.0})", "Other/Scale: odescribed has no parameter \"Other/Scale\""},
    {"a group", R"({"100": 1})", "100: odescribed's 100 (Main) holds no value (it is a group, button, separator or title)"},
    {"a button", R"({"Press": true})", "Press: odescribed has no parameter \"Press\""},
    {"id spelt twice", R"({"01001": 1.0})", "01001: not a parameter id (decimal Int32)"},
    {"typed value of another type", R"({"Height": {"Int32": 3}})", "Height: expected a Float (got an Int32)"},
    {"plain value of another type", R"({"Height": true})", "Height: expected a Float (got a Bool)"},
    {"Float for an Int32", R"({"Count": 2.5})",
     "Count: expected an Int32 (got a number that is not a whole number in range)"},
    {"text for a Bool", R"({"Invert": "yes"})", "Invert: expected a Bool (got text)"},
    {"Int32 that is no Bool", R"({"Invert": {"Int32": 2}})", "Invert: expected a Bool (got an Int32 other than 0 or 1)"},
    {"unknown label", R"({"Mode": "Gentle"})", "Mode: \"Gentle\" is not one of Mode's values (\"Flat\", \"Steep\", \"Wild\")"},
    {"label without a cycle", R"({"Count": "many"})", "Count: expected an Int32 (got text; Count has no named values)"},
    {"above the maximum", R"({"Height": 100.5})", "Height: value 100.5 is out of range (0 to 100)"},
    {"below the minimum", R"({"Count": 0})", "Count: value 0 is out of range (minimum 1)"},
    {"NaN in a range", R"({"Height": "NaN"})", "Height: value NaN is out of range (0 to 100)"},
    {"short vector", R"({"Offset": [1, 2]})", "Offset: expected a Vector (an array of 3 numbers)"},
    {"custom data of another type", R"({"Curve": {"Float": 1.0}})", "Curve: expected a Custom 1099060 (got a Float)"},
    {"custom data written plain", R"({"Curve": [1, 2]})",
     "Curve: expected Custom 1099060 written as an object naming its type, such as {\"Custom\": {\"type\": 1099060, "
     "\"data\": [...]}}"},
    {"written twice", R"({"Height": 1.0, "1001": 2.0})", "1001: parameter 1001 is written twice (also as \"Height\")"},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    Result<BaseDocument*> r = host::LoadDocumentFromText(Scene2(c.params), "scene.json");
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetText(), "scene.json: objects[0].params." + c.expected);
    EXPECT_EQ(host::GetLiveNodeCount(), _live);
  }
  // State entries are not checked; in version 1 nothing is, and there is no "state".
  Result<BaseDocument*> state = host::LoadDocumentFromText(Scene2(R"({"Height": 1})", R"(, "state": {"1030": {"Int32": 1}, "1001": {"String": "x"}})"), "s");
  ASSERT_TRUE(state.IsOk()) << state.GetError().GetText();
  DocPtr stateDoc(state.GetValue());
  EXPECT_EQ(stateDoc->GetFirstObject()->GetDataInstance()->GetString(1001), "x");
  const String v1 = R"({"format": "ogx-scene", "version": 1, "objects": [{"type": 1054700, "level": 0, "params": {"1030": {"Int32": 1}, "1001": {"Int32": 500}}}]})";
  Result<BaseDocument*> old = host::LoadDocumentFromText(v1, "v1");
  ASSERT_TRUE(old.IsOk()) << old.GetError().GetText();
  DocPtr oldDoc(old.GetValue());
  EXPECT_EQ(oldDoc->GetFirstObject()->GetDataInstance()->GetInt32(1030), 1);
  Result<BaseDocument*> stateInV1 = host::LoadDocumentFromText(
    R"({"format": "ogx-scene", "version": 1, "objects": [{"type": 1054700, "level": 0, "state": {}}]})", "v1");
  ASSERT_TRUE(stateInV1.IsError());
  EXPECT_EQ(stateInV1.GetError().GetText(), "v1: objects[0].state: unknown field");
}

TEST_F(DescribedSceneTest, ASavedDocumentLoadsAgainWithEveryEntry)
{
  // Parameters as they are, and entries the checks would refuse: a value of another type under a
  // parameter's id, one outside its range, and entries that are no parameters at all.
  DocPtr doc(BaseDocument::Alloc());
  BaseObject* op = static_cast<BaseObject*>(AllocPluginNode(ID_DESCRIBED));
  ASSERT_NE(op, nullptr);
  doc->InsertObject(op, nullptr, nullptr);
  BaseContainer& bc = *op->GetDataInstance();
  bc.SetInt32(1002, 2);
  bc.SetBool(1003, true);
  bc.SetInt32(1006, -4);                 // below Count's minimum
  bc.SetInt32(1005, 9);                  // an Int32 where Label is a String
  bc.SetFloat(2002, -std::numeric_limits<Float>::infinity());
  KnotList curve;
  curve.knots = {Vector(0, 0, 0), Vector(1, 1, 0)};
  bc.SetData(1007, GeData(curve));
  BaseContainer snapshot;
  snapshot.SetFloat(1001, 3.0);
  bc.SetContainer(6000, snapshot);

  Result<String> text = host::SaveDocumentToText(doc.get(), "s");
  ASSERT_TRUE(text.IsOk()) << text.GetError().GetText();
  const std::string& t = text.GetValue().GetStd();
  EXPECT_NE(t.find(R"("version": 2)"), std::string::npos);
  const std::size_t params = t.find(R"("params")");
  const std::size_t state = t.find(R"("state")");
  ASSERT_NE(params, std::string::npos);
  ASSERT_NE(state, std::string::npos);
  for (const char* id : {R"("1001")", R"("1002")", R"("1003")", R"("1007")", R"("2002")"})
  {
    const std::size_t at = t.find(id, params);
    EXPECT_TRUE(at != std::string::npos && at < state) << id << " belongs to the parameters\n" << t;
  }
  for (const char* id : {R"("1005")", R"("1006")", R"("5000")", R"("6000")"})
    EXPECT_NE(t.find(id, state), std::string::npos) << id << " belongs to the state\n" << t;

  Result<BaseDocument*> back = host::LoadDocumentFromText(text.GetValue(), "s");
  ASSERT_TRUE(back.IsOk()) << back.GetError().GetText();
  DocPtr backDoc(back.GetValue());
  EXPECT_EQ(*backDoc->GetFirstObject()->GetDataInstance(), bc);
  EXPECT_EQ(host::SaveDocumentToText(backDoc.get(), "s").GetValue(), text.GetValue());
}

// A link names its object by name (the one object of the document with it) or by path from the top
// level, typed or (for a described Link parameter) plain; what names no object or more than one is an
// error with the place.
TEST_F(DescribedSceneTest, LinksNameTheirObjectByNameOrPath)
{
  const String tree = R"({"type": 5140, "name": "Paths", "children": [{"type": 5140, "name": "Ridge"},
                         {"type": 5140, "name": "Twin", "children": [{"type": 5140, "name": "Deep"}]}]},
                         {"type": 5140, "name": "Twin"}, )";
  auto scene = [&](const String& target) {
    return R"({"format": "ogx-scene", "version": 2, "objects": [)" + tree +
           R"({"type": 1054700, "level": 0, "params": {"Target": )" + target +
           R"(}}, {"type": 5140, "params": {"10": {"Link": "Paths/Twin/Deep"}}}]})";
  };
  struct Case
  {
    String target;
    const char* path;   // the object the link must reach; null: an empty link
  };
  const Case cases[] = {{R"("Ridge")", "Paths/Ridge"},           {R"("Paths/Twin")", "Paths/Twin"},
                        {R"({"Link": "Deep"})", "Paths/Twin/Deep"}, {R"("Paths")", "Paths"},
                        {"null", nullptr},                        {R"({"Link": null})", nullptr}};
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.target.GetStd());
    Result<BaseDocument*> r = host::LoadDocumentFromText(scene(c.target), "scene.json");
    ASSERT_TRUE(r.IsOk()) << r.GetError().GetText();
    DocPtr doc(r.GetValue());
    BaseObject* paths = doc->GetFirstObject();
    BaseObject* described = paths->GetNext()->GetNext();
    const BaseList2D* linked = described->GetDataInstance()->GetLink(1009, doc.get());
    const BaseObject* want = nullptr;
    if (c.path)
    {
      const String p(c.path);
      want = p == "Paths" ? paths : (p == "Paths/Ridge" ? paths->GetDown() : paths->GetDown()->GetNext());
      if (p == "Paths/Twin/Deep")
        want = want->GetDown();
    }
    EXPECT_EQ(linked, want);
    EXPECT_EQ(described->GetNext()->GetDataInstance()->GetLink(10, doc.get()), paths->GetDown()->GetNext()->GetDown());
  }

  const std::pair<String, String> errors[] = {
    {R"("Twin")", "2 objects are named \"Twin\"; link one by its path (\"Parent/Twin\") or its key"},
    {R"("Nowhere")", "no object, material, tag or shader is named \"Nowhere\""},
    {R"("Paths/Nowhere/Deep")", "no object is at \"Paths/Nowhere\""},
    {R"("Ridge/")", "no object is at \"Ridge\""},
    {R"("")", "an empty name links nothing (write null for an empty link)"},
    {"42", "expected a Link: the linked object's name or path, such as \"Ridge\" or \"Paths/Ridge\", null, or "
           "{\"Link\": key}"},
  };
  for (const auto& [target, message] : errors)
  {
    Result<BaseDocument*> r = host::LoadDocumentFromText(scene(target), "scene.json");
    ASSERT_TRUE(r.IsError()) << target.GetStd();
    EXPECT_EQ(r.GetError().GetText(), "scene.json: objects[2].params.Target: " + message);
  }
}

TEST_F(SceneFileTest, NestingPastTheCapIsRefusedWhileParsing)
{
  // As deep as a hostile file likes, where the reader looks first: the value of "format" and of
  // "version", arrays and objects; the place named is the bracket that passed the cap (the top-level
  // object counts). And a repeated member at a depth within the cap.
  constexpr int LEVELS = 100000;
  const std::string arrays = std::string(LEVELS, '[') + std::string(LEVELS, ']');
  std::string objects;
  for (int i = 0; i < LEVELS; ++i)
    objects += R"({"a":)";
  objects += '1';
  objects.append(LEVELS, '}');
  const std::size_t cap = host::SCENE_MAX_JSON_DEPTH;
  struct Case
  {
    const char* name;
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
    {"arrays as the format", R"({"format": )" + arrays + "}",
     "d.json: line 1, column " + std::to_string(11 + cap) + ": nesting deeper than 1536 levels"},
    {"objects as the version", "{\n \"format\": \"ogx-scene\",\n \"version\": " + objects + "}",
     "d.json: line 3, column " + std::to_string(8 + 5 * cap) + ": nesting deeper than 1536 levels"},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.name);
    Result<BaseDocument*> r = host::LoadDocumentFromText(String(c.text), "d.json");
    ASSERT_TRUE(r.IsError());
    EXPECT_EQ(r.GetError().GetText(), c.expected);
  }

  // A member named twice 1000 levels down: the place, found at once.
  std::string deep = R"({"format": "ogx-scene", "version": 2, "objects": [], "params": )";
  for (int i = 0; i < 1000; ++i)
    deep += R"({"k":)";
  deep += R"({"x": 1, "y": 2, "x": 3})" + std::string(1000, '}') + "}";
  Result<BaseDocument*> twice = host::LoadDocumentFromText(String(deep), "d.json");
  ASSERT_TRUE(twice.IsError());
  std::string path = "params";
  for (int i = 0; i < 1000; ++i)
    path += ".k";
  EXPECT_EQ(twice.GetError().GetText(), "d.json: " + path + ".x: appears twice in the same object");
}

TEST_F(DescribedSceneTest, RunningOutOfMemoryAnywhereIsAnErrorAndFreesEverything)
{
  // Every host allocation and every growth of the parsed text, failed in turn.
  const String text = Scene2(R"({"Height": 42, "Mode": "Wild", "Label": "x"})",
                             R"(, "children": [{"type": 5140, "params": {"7": {"Container": {"params": {"1": {"Int32": 1}}}}}}])");
  const Int before = host::GetAllocationCount();
  {
    Result<BaseDocument*> clean = host::LoadDocumentFromText(text, "m");
    ASSERT_TRUE(clean.IsOk()) << clean.GetError().GetText();
    BaseDocument::Free(clean.GetValue());
  }
  const Int needed = host::GetAllocationCount() - before;
  ASSERT_GT(needed, 5);
  Int failures = 0;
  for (Int n = 1; n <= needed; ++n)
  {
    SCOPED_TRACE(n);
    Result<BaseDocument*> r = Result<BaseDocument*>(nullptr);
    {
      host::ScopedAllocationFailure fail(n);
      r = host::LoadDocumentFromText(text, "m");
    }
    if (r.IsOk())
      BaseDocument::Free(r.GetValue());
    else
    {
      ++failures;
      EXPECT_TRUE(r.GetError().GetText().starts_with("m: ")) << r.GetError().GetText();
    }
    EXPECT_EQ(host::GetLiveNodeCount(), _live);
  }
  EXPECT_GT(failures, needed / 2);
}

TEST_F(SceneFileTest, ANodeWithManyParametersLoadsAndSaves)
{
  // 80000 parameters on one node: every one arrives and the saved text reads back equal.
  std::string params;
  for (int i = 0; i < 80000; ++i)
    params += (i ? ", \"" : "\"") + std::to_string(i * 7 + 3) + R"(": {"Int32": )" + std::to_string(i) + "}";
  const std::string text = R"({"format": "ogx-scene", "version": 2, "objects": [{"type": 5140, "params": {)" + params + "}}]}";
  Result<BaseDocument*> r = host::LoadDocumentFromText(String(text), "many");
  ASSERT_TRUE(r.IsOk()) << r.GetError().GetText();
  DocPtr doc(r.GetValue());
  const BaseContainer& bc = *doc->GetFirstObject()->GetDataInstance();
  ASSERT_EQ(bc.GetCount(), 80000);
  for (int i = 0; i < 80000; i += 997)
    EXPECT_EQ(bc.GetInt32(i * 7 + 3, -1), i);
  Result<String> saved = host::SaveDocumentToText(doc.get(), "many");
  ASSERT_TRUE(saved.IsOk());
  Result<BaseDocument*> back = host::LoadDocumentFromText(saved.GetValue(), "many");
  ASSERT_TRUE(back.IsOk());
  DocPtr backDoc(back.GetValue());
  EXPECT_EQ(*backDoc->GetFirstObject()->GetDataInstance(), bc);
}
