// What must hold for any bytes given to the JSON reader, checked the same way
// by the fuzz target (fuzz/fuzz_json.cpp) and by the corpus replay in the
// normal test build (tests/json/test_fuzz_replay.cpp).
//
// The reader is lenient: for text that is not JSON it keeps what it could
// read, so "the output equals the input" is no property. What is one:
//  - the written text reads back to the same content (same types, names,
//    strings, numbers and booleans; array elements have no names), and so
//    writing it again gives the same text;
//  - walking a document through the node interface changes nothing;
//  - nesting stays within TvynJSON::kMaxDepth;
//  - the Value of an object or array node is its text, which reads back to
//    its items;
//  - a node or nested document the caller holds keeps its content after its
//    document ends, and a document it is put into writes it readably.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/check_common.h"
#include "json/vynJSON.h"

namespace json_check {

using fuzz_check::Faults;

namespace internal {

using fuzz_check::Excerpt;

// Chooses which node to hold and in which order to let go, from the input.
inline std::uint64_t Hash(std::string_view aText) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : aText) h = (h ^ c) * 1099511628211ull;
  return h;
}

// Writes the content of a document or node as text that does not depend on
// the writer: what a write followed by a read must keep. Null values are left
// out (null is written as null whatever the node holds); names only where the
// writer writes them.
class Walker {
public:
  Walker(Faults& aFaults, std::string aWhere, bool aValues = true)
      : FFaults(aFaults), FWhere(std::move(aWhere)), FValues(aValues) {}

  // Remembers the node at this position of the walk (preorder, from 0).
  void Pick(std::size_t aIndex) { FPick = aIndex; }
  const TIntf<IvynObjectJSON>& Picked() const { return FPicked; }
  bool PickedNamed() const { return FPickedNamed; }
  std::size_t Nodes() const { return FNodes; }

  std::string Document(IvynJSON& aDoc) {
    std::string out = aDoc.GetIsArray() ? "[" : "{";
    Items(aDoc, !aDoc.GetIsArray(), 0, out);
    return out;
  }

  std::string Node(IvynObjectJSON& aNode, bool aNamed) {
    std::string out;
    OneNode(aNode, aNamed, 0, out);
    return out;
  }

private:
  // Containers nearer the top than this also have their Value (their text)
  // read back: deeper ones would make the walk quadratic in the nesting.
  static constexpr int kValueDepth = 2;

  void Fault(const std::string& aWhat) { FFaults.push_back(FWhere + ": " + aWhat); }

  static void Field(std::string& aOut, std::string_view aText) {
    aOut += std::to_string(aText.size());
    aOut += ':';
    aOut += aText;
  }

  template <class Container>
  void Items(Container& aContainer, bool aNamed, int aDepth, std::string& aOut) {
    const std::int32_t n = aContainer.GetCount();
    aOut += '(';
    aOut += std::to_string(n);
    for (std::int32_t i = 0; i < n; ++i) {
      TIntf<IvynObjectJSON> item = aContainer.GetItem(i);
      if (!item) {
        Fault("GetItem(" + std::to_string(i) + ") is empty with GetCount() = " + std::to_string(n));
        return;
      }
      OneNode(*item, aNamed, aDepth, aOut);
    }
    if (n >= 0 && aContainer.GetItem(n)) Fault("GetItem(GetCount()) gives a node");
    aOut += ')';
  }

  void OneNode(IvynObjectJSON& aNode, bool aNamed, int aDepth, std::string& aOut) {
    if (FNodes++ == FPick) {
      FPicked = &aNode;
      FPickedNamed = aNamed;
    }
    const TvynJSONtype type = aNode.GetJSONType();
    aOut += static_cast<char>('0' + static_cast<int>(type));
    if (aNamed) Field(aOut, aNode.GetName());
    switch (type) {
      case TvynJSONtype::vynJSONBoolean: {
        const std::string value = aNode.ValueText();
        // The reader takes literals in any case; the writer must get JSON.
        if (value != "true" && value != "false") Fault("boolean value " + Excerpt(value));
        Field(aOut, value);
        break;
      }
      case TvynJSONtype::vynJSONString:
      case TvynJSONtype::vynJSONNumber:
        Field(aOut, aNode.ValueText());
        break;
      case TvynJSONtype::vynJSONNull:
        break;
      case TvynJSONtype::vynJSONObject:
      case TvynJSONtype::vynJSONList:
        Container(aNode, type, aDepth, aOut);
        break;
      default:
        Fault("node of type " + std::to_string(static_cast<int>(type)));
        break;
    }
  }

  void Container(IvynObjectJSON& aNode, TvynJSONtype aType, int aDepth, std::string& aOut) {
    if (aDepth >= TvynJSON::kMaxDepth) {
      Fault("nesting deeper than kMaxDepth (" + std::to_string(TvynJSON::kMaxDepth) + ")");
      return;
    }
    // GetJSONObject makes a nested document when there is none: ask only
    // when there are items, so the walk changes nothing.
    const bool isList = aType == TvynJSONtype::vynJSONList;
    const bool arrayDoc = !isList && aNode.GetCount() > 0 && aNode.GetJSONObject()->GetIsArray();
    const bool named = !isList && !arrayDoc;
    const std::size_t start = aOut.size();
    Items(aNode, named, aDepth + 1, aOut);
    if (!FValues || aDepth >= kValueDepth) return;
    // The Value of a container is its text: it must read back to its items.
    const std::string value = aNode.ValueText();
    TvynJSON back;
    back.Read(value);
    // Without Value checks of its own: those would start again at the top of
    // every subtree, exponential in the nesting.
    Walker sub(FFaults, FWhere + ", Value of a node at depth " + std::to_string(aDepth), false);
    std::string got;
    sub.Items(back, !back.GetIsArray(), 0, got);
    if (back.GetIsArray() != (isList || arrayDoc) || got != std::string_view(aOut).substr(start))
      Fault("the Value of a container, " + Excerpt(value) + ", reads back as " + Excerpt(back.GetText()));
  }

  Faults& FFaults;
  std::string FWhere;
  bool FValues;
  std::size_t FNodes = 0;
  std::size_t FPick = static_cast<std::size_t>(-1);
  TIntf<IvynObjectJSON> FPicked;
  bool FPickedNamed = false;
};

// Reads aText, writes it, and reads and writes that again: the second read
// must find what the first did, and the second write the first text. Returns
// how many nodes the first read made.
inline std::size_t RoundTrip(std::string_view aText, Faults& aFaults) {
  TvynJSON first;
  first.Read(aText);
  const std::string written = first.GetText();
  Walker walk(aFaults, "walk");
  const std::string content = walk.Document(first);
  if (first.GetText() != written)
    aFaults.push_back("walking the document changed its text from " + Excerpt(written) + " to " +
                      Excerpt(first.GetText()));

  TvynJSON second;
  second.Read(written);
  const std::string rewritten = second.GetText();
  if (Walker(aFaults, "reread", false).Document(second) != content)
    aFaults.push_back("the written text " + Excerpt(written) + " reads back to other content, written as " +
                      Excerpt(rewritten));
  if (rewritten != written)
    aFaults.push_back("writing the read-back text gives " + Excerpt(rewritten) + " instead of " + Excerpt(written));
  return walk.Nodes();
}

// Reading text that lies in the reading document's own memory (a name that
// points into the text it read before) reads that text, as a copy would.
inline void ReadOwnMemory(std::string_view aText, Faults& aFaults) {
  TvynJSON doc;
  doc.Read(aText);
  const TvynObjectJSON* node = doc.Node(0);
  if (!node || node->Name().empty()) return;
  const std::string copy(node->Name());
  doc.Read(node->Name());
  TvynJSON expected;
  expected.Read(copy);
  if (doc.GetText() != expected.GetText())
    aFaults.push_back("reading the document's own name " + Excerpt(copy) + " gives " + Excerpt(doc.GetText()) +
                      " instead of " + Excerpt(expected.GetText()));
}

// Ends a heap document the way callers do: Destroy defers while it is held.
struct DestroyDocument {
  void operator()(TvynJSON* aDoc) const { aDoc->Destroy(); }
};

// Holds one node (chosen from the input) and maybe its nested document, ends
// the document, and reads them again; puts the node into another document of
// the same kind (object or array) and checks that this one writes it so that
// it reads back. Same kind, because a named list node put into an array keeps
// its name in the written text by design, which no reader takes back. aCount
// is how many nodes reading aText makes.
inline void HoldPastDocument(std::string_view aText, std::size_t aCount, Faults& aFaults) {
  if (aCount == 0) return;
  const std::uint64_t h = Hash(aText);
  TIntf<IvynJSON> doc = TvynJSONFactory::Create();
  doc->Read(aText);
  Walker picker(aFaults, "pick", false);
  picker.Pick(static_cast<std::size_t>(h % aCount));
  picker.Document(*doc);
  TIntf<IvynObjectJSON> held = picker.Picked();
  const bool named = picker.PickedNamed();
  if (!held) {
    aFaults.push_back("the walk did not reach node " + std::to_string(h % aCount) + " of " + std::to_string(aCount));
    TvynJSONFactory::Release(doc);
    return;
  }
  const std::string before = Walker(aFaults, "held node").Node(*held, named);
  const std::string valueBefore = held->ValueText();
  TIntf<IvynJSON> nested;
  std::string nestedBefore;
  if (held->GetCount() > 0 && (h >> 32) % 2 == 0) {
    nested = held->GetJSONObject();
    nestedBefore = Walker(aFaults, "held nested document").Document(*nested);
  }

  // The other document takes the node before or after the first one ends.
  std::unique_ptr<TvynJSON, DestroyDocument> host(new TvynJSON(nullptr));
  host->Read(named ? "{\"_\":0}" : "[0]");
  const bool hostFirst = (h >> 33) % 2 == 0;
  if (hostFirst) host->SetItem(0, held);
  TvynJSONFactory::Release(doc);
  if (!hostFirst) host->SetItem(0, held);

  if (Walker(aFaults, "held node after its document ended").Node(*held, named) != before ||
      held->ValueText() != valueBefore)
    aFaults.push_back("a held node changed when its document ended: its Value was " + Excerpt(valueBefore) +
                      " and is " + Excerpt(held->ValueText()));
  if (nested && Walker(aFaults, "held nested document after its document ended").Document(*nested) != nestedBefore)
    aFaults.push_back("a held nested document changed when its document ended: it was " + Excerpt(nestedBefore));

  const std::string hostText = host->GetText();
  const std::string hostContent = Walker(aFaults, "host").Document(*host);
  TvynJSON back;
  back.Read(hostText);
  if (Walker(aFaults, "host reread").Document(back) != hostContent)
    aFaults.push_back("a document holding a node of another writes " + Excerpt(hostText) + ", which reads back as " +
                      Excerpt(back.GetText()));
  host.reset();
  if (Walker(aFaults, "held node after the host ended").Node(*held, named) != before)
    aFaults.push_back("a held node changed when the document it was put into ended");

  // Let go in either order: each must keep what the other needs.
  if ((h >> 34) % 2 == 0) {
    held = nullptr;
    if (nested && Walker(aFaults, "held nested document, node let go").Document(*nested) != nestedBefore)
      aFaults.push_back("a held nested document changed when its node was let go");
    nested = nullptr;
  } else {
    nested = nullptr;
    if (Walker(aFaults, "held node, nested document let go").Node(*held, named) != before)
      aFaults.push_back("a held node changed when its nested document was let go");
    held = nullptr;
  }
}

}  // namespace internal

// Runs every check on one input.
inline Faults Check(std::string_view aInput) {
  Faults faults;
  const std::size_t nodes = internal::RoundTrip(aInput, faults);
  internal::ReadOwnMemory(aInput, faults);
  internal::HoldPastDocument(aInput, nodes, faults);
  return faults;
}

}  // namespace json_check
