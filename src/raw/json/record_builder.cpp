#include "raw/json/record_builder.h"

#include <algorithm>
#include <utility>

namespace spansift {

namespace {

// Byte order of two texts; keys are short, so a plain loop beats memcmp.
[[gnu::always_inline]] inline int compare_texts(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]) ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace

void RecordBuilder::item_done() {
  // What follows the item is kept, whatever the item was.
  last_kept_ = std::exchange(keeping_, true);
  if (items_ == nullptr) return;
  ScratchList<JaegerItem>& items = scratch<JaegerItem>();
  JaegerItem item = std::move(items.back());
  items.pop_back();
  std::shared_ptr<ModelStore> store = std::exchange(store_, trace_store_);
  item_read(std::move(item), std::move(store), last_kept_);
}

List<JsonMember> RecordBuilder::sorted_object(std::size_t start) {
  JsonMember* first = members_.begin() + start;
  JsonMember* last = members_.end();
  const ModelStore& store = *store_;
  auto compare = [&](const JsonMember& a, const JsonMember& b) {
    return a.key.at == b.key.at ? 0 : compare_texts(store.text(a.key), store.text(b.key));
  };
  bool equal_keys = false;
  if (last - first <= 16) {
    // Objects are mostly small: an insertion sort, stable like the other,
    // without its buffer; it sees any two equal keys, which end up side by side.
    for (auto it = first + (first != last); it < last; ++it) {
      JsonMember moving = *it;
      auto hole = it;
      for (; hole != first; --hole) {
        const int order = compare(moving, *(hole - 1));
        equal_keys |= order == 0;
        if (order >= 0) break;
        *hole = *(hole - 1);
      }
      *hole = moving;
    }
  } else {
    std::stable_sort(first, last, [&](const JsonMember& a, const JsonMember& b) { return compare(a, b) < 0; });
    equal_keys = true;
  }
  if (equal_keys) {
    auto out = first;
    for (auto it = first; it != last; ++it) {
      // Interning may keep one text twice: keys are compared by their bytes.
      if (it + 1 != last && compare(*(it + 1), *it) == 0) continue;
      *out++ = *it;
    }
    members_.resize(static_cast<std::size_t>(out - members_.begin()));
  }
  return copy_out<Keep::kYes, JsonMember>(members_, start);
}

}  // namespace spansift
