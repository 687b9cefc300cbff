// Where reading an export puts what it reads.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>

#include "raw/model.h"
#include "raw/model_store.h"

namespace spansift {

// Takes each item of a trace as soon as it has been read whole, instead of
// its `data` list: each item with a store of its own, so that its memory can
// go as soon as the taker is done with it.
struct ItemTaker {
  std::function<std::shared_ptr<ModelStore>()> new_store;  // for the next item
  std::function<void(JaegerItem&&, std::shared_ptr<ModelStore>&&)> take;
};

struct ReadInto {
  ReadInto(std::nullptr_t = nullptr) {}  // NOLINT(google-explicit-constructor): a new store
  ReadInto(std::shared_ptr<ModelStore> to, const ItemTaker* taker = nullptr)  // NOLINT(google-explicit-constructor)
      : store(std::move(to)), items(taker) {}

  // The texts and lists of the trace; a new store when null.
  std::shared_ptr<ModelStore> store;
  // When set, each item goes here and `data` stays empty. The taker may
  // throw; reading then stops with what it threw.
  const ItemTaker* items = nullptr;
};

}  // namespace spansift
