// Where reading an export puts what it reads.
#pragma once

#include <cstddef>
#include <memory>

#include "raw/model.h"
#include "raw/model_store.h"

namespace spansift {

// Where the items of an export go as soon as each has been read whole,
// instead of into its `data` list: each in a store of its own, so that its
// memory can go as soon as the sink is done with it.
class ItemSink {
 public:
  // The store that the next item is built into. When items are read ahead,
  // it is called on several threads at once.
  virtual std::shared_ptr<ModelStore> store_for_item() = 0;
  // One item, whole and checked, with its store. It may throw; reading then
  // stops with what it threw.
  virtual void take(JaegerItem&& item, std::shared_ptr<ModelStore>&& store) = 0;

 protected:
  ~ItemSink() = default;
};

class TaskPool;

// How far ahead of the reader items are read on other threads
// (read_ahead.h), in bytes of the input. Ahead of the reader by little: the
// bytes are still in the processors' caches when it passes over them.
struct ReadAheadSizes {
  std::size_t block = std::size_t{128} << 10;   // stream form: read from the file at once
  std::size_t batch = std::size_t{64} << 10;    // items read by one task
  std::size_t window = std::size_t{256} << 10;  // ahead of the reader per thread (and twice the largest item so far)
  std::size_t largest = std::size_t{64} << 20;  // the largest item read ahead
};

// How an export is read: the store that holds its texts and lists (a new one
// when null), where its items go (into `data` when null), and the pool that
// reads items ahead when they go to `items` (none: all in turn).
struct ReadInto {
  std::shared_ptr<ModelStore> store;
  ItemSink* items = nullptr;
  TaskPool* tasks = nullptr;
  ReadAheadSizes sizes;
};

}  // namespace spansift
