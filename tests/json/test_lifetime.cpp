// A node or nested document a caller still holds outlives the document that
// made it; nothing else is kept. The sanitizer build turns any slip here into
// a use-after-free or a leak report.
#include <gtest/gtest.h>

#include <memory>

#include "json/vynJSON.h"

namespace {

TEST(JSONLifetime, HeldNodesOutliveTheirDocument) {
  TIntf<IvynObjectJSON> scalar, object, element;
  TIntf<IvynJSON> nested;
  {
    TvynJSON doc;
    doc.Read(R"({"s":"kept","o":{"k":[1,2,{"d":"deep"}]}})");
    scalar = doc.GetNode("s");
    object = doc.GetNode("o");
    nested = object->GetNode("k")->GetJSONObject();
    element = nested->GetItem(2);
  }
  EXPECT_EQ(scalar->ValueText(), "kept");
  EXPECT_EQ(object->ValueText(), "{\"k\":[1,2,{\"d\":\"deep\"}]}");
  EXPECT_EQ(nested->GetCount(), 3);
  EXPECT_EQ(element->GetNode("d")->ValueText(), "deep");
  // Let go in an order other than the one they were taken in.
  object = nullptr;
  EXPECT_EQ(element->GetNode("d")->ValueText(), "deep");
  nested = nullptr;
  scalar = nullptr;
  element = nullptr;
}

TEST(JSONLifetime, HeldNodesSurviveReadAndClear) {
  TvynJSON doc;
  doc.Read(R"({"a":{"b":"one"}})");
  auto a = doc.GetNode("a");
  doc.Read(R"({"c":2})");
  EXPECT_EQ(a->GetNode("b")->ValueText(), "one");
  auto c = doc.GetNode("c");
  doc.Clear();
  EXPECT_EQ(c->ValueText(), "2");
  EXPECT_EQ(doc.Count(), 0);
}

TEST(JSONLifetime, DisplacedNodesLiveUntilTheirDocumentEnds) {
  TIntf<IvynObjectJSON> moved;
  {
    TvynJSON doc;
    doc.Read(R"({"a":"first","b":"second"})");
    {
      TvynJSON other;
      other.Read(R"({"x":"from other"})");
      moved = other.GetNode("x");
    }
    // "a" leaves the list without being ended; it still belongs to doc.
    TvynObjectJSON* displaced = doc.FindNode("a");
    doc.SetNode("a", moved);
    EXPECT_EQ(displaced->ValueText(), "first");
    doc.Clear();
    EXPECT_EQ(displaced->ValueText(), "first");
    EXPECT_EQ(doc.ComponentCount(), 1);
  }
  EXPECT_EQ(moved->ValueText(), "from other");
}

TEST(JSONLifetime, NodePutIntoAnotherDocumentOutlivesItsOwner) {
  TvynJSON target;
  target.Read(R"({"slot":0})");
  {
    TvynJSON source;
    source.Read(R"({"n":{"v":"value"}})");
    target.SetNode("slot", source.GetNode("n"));
  }
  // The source is gone; the target still holds the node it was given.
  EXPECT_EQ(target.Text(), "{\"n\":{\"v\":\"value\"}}");
}

TEST(JSONLifetime, SameNodeTwiceInOneList) {
  TvynJSON doc;
  doc.Read(R"({"a":1,"b":2,"c":3})");
  auto a = doc.GetNode("a");
  doc.SetItem(1, a);
  doc.SetItem(2, a);
  a = nullptr;
  EXPECT_EQ(doc.Text(), "{\"a\":1,\"a\":1,\"a\":1}");
}

TEST(JSONLifetime, NestedDocumentReplacedAndHeld) {
  TIntf<IvynJSON> old;
  {
    TvynJSON doc;
    doc.Read(R"({"o":{"x":1}})");
    auto o = doc.GetNode("o");
    old = o->GetJSONObject();
    TvynJSON replacement;
    replacement.Read(R"({"y":2})");
    auto fresh = TvynJSONFactory::Create();
    fresh->Read(R"({"y":2})");
    o->SetJSONObject(fresh);
    EXPECT_EQ(doc.Text(), "{\"o\":{\"y\":2}}");
    TvynJSONFactory::Release(fresh);
    EXPECT_EQ(doc.Text(), "{\"o\":{\"y\":2}}");  // the node still holds it
  }
  EXPECT_EQ(old->GetText(), "{\"x\":1}");
}

TEST(JSONLifetime, OwnerEndsWhatIsNotHeld) {
  auto owner = std::make_unique<TComponent>();
  auto* doc = TComponent::Create<TvynJSON>(owner.get());
  doc->Read(R"({"a":[1,2,3]})");
  TIntf<IvynObjectJSON> a = doc->GetNode("a");
  owner.reset();  // ends doc; "a" is held, so it stays
  EXPECT_EQ(a->ValueText(), "[1,2,3]");
}

TEST(JSONLifetime, DocumentHeldThroughItsInterfaceIsEndedByTheLastRelease) {
  auto owner = std::make_unique<TComponent>();
  TIntf<IvynJSON> doc = TComponent::Create<TvynJSON>(owner.get());
  doc->AddPair("k", "v");
  owner.reset();  // destruction is deferred while the interface is held
  EXPECT_EQ(doc->GetText(), "{\"k\":\"v\"}");
  doc = nullptr;  // ends it
}

TEST(JSONLifetime, ManyReadsOfOneDocumentKeepNothing) {
  TvynJSON doc;
  for (int i = 0; i < 200; ++i) {
    doc.Read(R"({"list":[{"a":1},{"b":2}],"s":"x"})");
    auto keep = doc.GetNode("list")->GetItem(i % 2);
    doc.AddPair("extra", i);
    EXPECT_EQ(keep->GetCount(), 1);
  }
  EXPECT_EQ(doc.ComponentCount(), 0);
}

}  // namespace

namespace {

// A document as read ends with its memory in one go; once anything in it was
// changed or is held, every node must be ended on its own (the leak checker
// reports what would be skipped).
TEST(JSONLifetime, ChangedDocumentsEndEveryNode) {
  using Edit = void (*)(TvynJSON&);
  const Edit edits[] = {
      [](TvynJSON&) {},  // untouched
      [](TvynJSON& d) { d.GetNode("a")->SetName("renamed to something long enough to allocate"); },
      [](TvynJSON& d) { d.GetNode("a")->SetValue(Variant(std::string(64, 'v'))); },
      [](TvynJSON& d) { d.GetNode("a")->GetJSONObject()->AddPair("x", 1); },           // heap nested document
      [](TvynJSON& d) { d.GetNode("o")->GetJSONObject()->AddPair("new", "member"); },  // list moves to the heap
      [](TvynJSON& d) { d.GetNode("o")->GetJSONObject()->Read(R"({"re":"read"})"); },  // nested arena
      [](TvynJSON& d) { d.SetItem(0, d.GetItem(1)); },                                 // displaced node
      [](TvynJSON& d) {
        auto* watcher = TComponent::Create<TComponent>(d.FindNode("a"));  // owned by a node
        (void)watcher;
      },
  };
  for (Edit edit : edits) {
    TIntf<IvynObjectJSON> keep;
    {
      TvynJSON doc;
      doc.Read(R"({"a":"1","o":{"k":[1,2]},"l":[{"z":null}]})");
      edit(doc);
      keep = doc.GetNode("l");
      EXPECT_NE(doc.Text(), "{}");
      doc.Read(R"({"a":"2","o":{"k":[]},"l":[]})");  // a Read ends the first content too
      edit(doc);
    }
    EXPECT_EQ(keep->ValueText(), "[{\"z\":null}]");
  }
}

}  // namespace

namespace {

TEST(JSONLifetime, FreeNotificationWithAReadNode) {
  // An outside component watching a node must hear of the node's end.
  struct Watcher : TComponent {
    TComponent* watched = nullptr;
    void Notification(TComponent* c, TOperation op) override {
      if (op == TOperation::opRemove && c == watched) watched = nullptr;
    }
  } watcher;
  {
    TvynJSON doc;
    doc.Read(R"({"a":{"b":1}})");
    watcher.watched = doc.FindNode("a");
    watcher.watched->FreeNotification(&watcher);
  }
  EXPECT_EQ(watcher.watched, nullptr);
}

}  // namespace
