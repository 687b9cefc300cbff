// Where reading an export puts what it reads.
#pragma once

#include <memory>
#include <string_view>

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
  // Whether the item with this trace ID is wanted. One that is not is still
  // read to its end and checked, but nothing of it is stored past its trace
  // ID, and it is passed over instead of received. Asked on the workers'
  // threads too, of the sink that ReadInto::selects names.
  virtual bool wants(std::string_view trace_id) const = 0;
  // An item that was not wanted, read whole and checked, in its place among
  // those received.
  virtual void passed_over(std::string_view trace_id) = 0;

 protected:
  ~ItemSink() = default;
};

// How an export is read: the store that holds its texts and lists (a new one
// when null), where its items go (into `data` when null), and whether the
// straight path reads what it can (reader_mode.h) or the frame loop all.
struct ReadInto {
  std::shared_ptr<ModelStore> store;
  ItemSink* items = nullptr;
  const ItemSink* selects = nullptr;  // asked which items to keep whole; all are when null
  bool straight_path = straight_path_on();
};

}  // namespace spansift
