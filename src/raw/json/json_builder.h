// Building a JaegerTrace from JSON text: the model's reading rules on top of
// the tokenizer. The frame loop keeps one explicit stack of open containers;
// the straight path recurses, no deeper than the limit on built containers
// (skipped values, which nest without limit, are the loop's).
#pragma once

#include <memory>
#include <string_view>

#include "raw/json/json_input.h"
#include "raw/json/read_into.h"
#include "raw/model.h"
#include "raw/model_store.h"

namespace spansift {

class ItemsAhead;

// Reads one JaegerTrace from `input` into `into` (whose store must be set)
// and checks that only whitespace follows it. Throws ReadError at the first
// fault. With `ahead`, items of `data` read ahead are taken from it rather
// than read again.
JaegerTrace build_trace(JsonInput& input, ReadInto into, ItemsAhead* ahead = nullptr);

// An item read on its own.
struct ItemRead {
  bool ok = false;   // read whole, and nothing follows it
  bool kept = true;  // wanted, and so stored whole (ItemSink::wants)
  JaegerItem item;
};

// Reads `text` as exactly one item of `data`, into `store`, as build_trace
// reads it there (nesting counted from the item's level, `selects` asked
// whether to keep it); not ok at any fault or when anything follows it.
ItemRead read_item(simd::PaddedView text, std::shared_ptr<ModelStore> store, const ItemSink* selects);

// Reads items one after another as read_item does, all into one store: its
// frames and scratch lists are made once for them all, not for each.
class ItemReader {
 public:
  ItemReader(std::shared_ptr<ModelStore> store, const ItemSink* selects);
  ~ItemReader();
  ItemReader(const ItemReader&) = delete;
  ItemReader& operator=(const ItemReader&) = delete;

  ItemRead read(simd::PaddedView text);

 private:
  struct Builders;
  std::unique_ptr<Builders> builders_;
};

}  // namespace spansift
