#include "raw/json/record_builder.h"

#include <algorithm>
#include <utility>

namespace spansift {

namespace {

// Byte order of two texts; keys are short, so a plain loop beats memcmp.
int compare_texts(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]) ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace

void RecordBuilder::item_done() {
  if (items_ == nullptr) return;
  std::vector<JaegerItem>& items = scratch<JaegerItem>();
  JaegerItem item = std::move(items.back());
  items.pop_back();
  std::shared_ptr<ModelStore> store = std::exchange(store_, trace_store_);
  items_->receive(std::move(item), std::move(store));
}

List<JsonMember> RecordBuilder::finish_object(std::size_t start) {
  auto first = members_.begin() + static_cast<std::ptrdiff_t>(start);
  auto last = members_.end();
  const ModelStore& store = *store_;
  auto by_key = [&](const JsonMember& a, const JsonMember& b) {
    return compare_texts(store.text(a.key), store.text(b.key)) < 0;
  };
  if (last - first <= 16) {
    // Objects are mostly small: an insertion sort, stable like the other,
    // without its buffer.
    for (auto it = first + (first != last); it < last; ++it) {
      JsonMember moving = *it;
      auto hole = it;
      for (; hole != first && by_key(moving, *(hole - 1)); --hole) *hole = *(hole - 1);
      *hole = moving;
    }
  } else {
    std::stable_sort(first, last, by_key);
  }
  auto out = first;
  for (auto it = first; it != last; ++it) {
    // Interning may keep one text twice: keys are compared by their bytes.
    if (it + 1 != last && compare_texts(store.text((it + 1)->key), store.text(it->key)) == 0) continue;
    *out++ = *it;
  }
  members_.erase(out, last);
  return copy_out(members_, start);
}

}  // namespace spansift
