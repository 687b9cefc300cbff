#include "raw/json/record_builder.h"

#include <algorithm>
#include <iterator>
#include <optional>
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

RecordRef RecordBuilder::new_record(FieldKind record) {
  RecordRef ref{};
  switch (record) {
    case FieldKind::Trace: ref.trace = &trace_; break;
    case FieldKind::Item:
      if (item_taker_ != nullptr) store_ = item_taker_->new_store();
      ref.item = &items_.emplace_back();
      break;
    case FieldKind::Span: ref.span = &spans_.emplace_back(); break;
    case FieldKind::Reference: ref.reference = &references_.emplace_back(); break;
    case FieldKind::Tag: ref.tag = &tags_.emplace_back(); break;
    case FieldKind::Log: ref.log = &logs_.emplace_back(); break;
    default: ref.error = nullptr;
  }
  return ref;
}

void RecordBuilder::item_done() {
  if (item_taker_ == nullptr) return;
  JaegerItem item = std::move(items_.back());
  items_.pop_back();
  std::shared_ptr<ModelStore> store = std::exchange(store_, trace_store_);
  item_taker_->take(std::move(item), std::move(store));
}

std::size_t RecordBuilder::list_start(FieldKind list) const {
  switch (list) {
    case FieldKind::ItemList: return items_.size();
    case FieldKind::SpanList: return spans_.size();
    case FieldKind::ReferenceList: return references_.size();
    case FieldKind::TagList: return tags_.size();
    case FieldKind::LogList: return logs_.size();
    case FieldKind::ErrorList: return errors_;
    default: return texts_.size();
  }
}

void RecordBuilder::finish_list(FieldKind list, std::size_t start, FieldRef target) {
  switch (list) {
    case FieldKind::ItemList:
      target.items->assign(std::make_move_iterator(items_.begin() + static_cast<std::ptrdiff_t>(start)),
                           std::make_move_iterator(items_.end()));
      items_.resize(start);
      break;
    case FieldKind::ErrorList:
      target.errors->emplace(errors_ - start);
      errors_ = start;
      break;
    case FieldKind::SpanList: *target.spans = take(spans_, start); break;
    case FieldKind::ReferenceList: *target.references = take(references_, start); break;
    case FieldKind::TagList: *target.tags = take(tags_, start); break;
    case FieldKind::LogList: *target.logs = take(logs_, start); break;
    case FieldKind::OptionalTextList: *target.optional_texts = OptionalList<Text>::of(take(texts_, start)); break;
    default: *target.texts = take(texts_, start);
  }
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
  return take(members_, start);
}

}  // namespace spansift
