// What the reader in turn asks of reading ahead (read_ahead.h), kept apart so
// that the builder knows only this and not how items are read ahead.
#pragma once

#include <cstdint>
#include <memory>

#include "raw/model.h"
#include "raw/model_store.h"

namespace spansift {

// An item read ahead, in a store it may share with other items read ahead,
// and how many bytes of the input it took.
struct ClaimedItem {
  JaegerItem item;
  std::shared_ptr<ModelStore> store;
  std::uint64_t length = 0;
  bool kept = true;  // wanted, and so stored whole; else passed over (ItemSink::wants)
};

class ItemsAhead {
 public:
  // The reader in turn is at input offset `at`, where an item of `data`
  // begins: true, with the item, when it was read ahead whole and checked;
  // false when the reader is to read it itself.
  virtual bool claim(std::uint64_t at, ClaimedItem& out) = 0;

 protected:
  ~ItemsAhead() = default;
};

}  // namespace spansift
