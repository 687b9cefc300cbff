// Where reading an export puts what it reads.
#pragma once

#include <memory>

#include "raw/json/reader_mode.h"
#include "raw/model.h"
#include "raw/model_store.h"

namespace spansift {

// Where the items of an export go as soon as each has been read whole,
// instead of into its `data` list: each in a store of its own, or of a few
// items read ahead together, so that its memory can go soon after the sink
// is done with it.
class ItemSink {
 public:
  // An empty store for the next item, or the next batch of items read ahead
  // (called on the workers' threads then).
  virtual std::shared_ptr<ModelStore> new_store() = 0;
  // One item, whole and checked, with its store. It may throw; reading then
  // stops with what it threw.
  virtual void receive(JaegerItem&& item, std::shared_ptr<ModelStore>&& store) = 0;

 protected:
  ~ItemSink() = default;
};

// How an export is read: the store that holds its texts and lists (a new one
// when null), where its items go (into `data` when null), and whether the
// straight path reads what it can (reader_mode.h) or the frame loop all.
struct ReadInto {
  std::shared_ptr<ModelStore> store;
  ItemSink* items = nullptr;
  bool straight_path = straight_path_on();
};

}  // namespace spansift
