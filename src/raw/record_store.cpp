#include "raw/record_store.h"

#include <algorithm>
#include <iterator>
#include <optional>

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

template <class T>
char* append(std::vector<T>& records) {
  return reinterpret_cast<char*>(&records.emplace_back());
}

}  // namespace

char* RecordStore::new_record(Kind record) {
  switch (record) {
    case Kind::Trace: return reinterpret_cast<char*>(&trace_);
    case Kind::Item: return append(items_);
    case Kind::Span: return append(spans_);
    case Kind::Reference: return append(references_);
    case Kind::Tag: return append(tags_);
    case Kind::Log: return append(logs_);
    default: return nullptr;
  }
}

std::size_t RecordStore::list_start(Kind element) const {
  switch (element) {
    case Kind::Item: return items_.size();
    case Kind::Span: return spans_.size();
    case Kind::Reference: return references_.size();
    case Kind::Tag: return tags_.size();
    case Kind::Log: return logs_.size();
    case Kind::Error: return errors_;
    default: return texts_.size();
  }
}

void RecordStore::finish_list(Kind element, std::size_t start, char* target, bool optional) {
  switch (element) {
    case Kind::Item: {
      auto& data = *reinterpret_cast<std::vector<JaegerItem>*>(target);
      data.assign(std::make_move_iterator(items_.begin() + static_cast<std::ptrdiff_t>(start)),
                  std::make_move_iterator(items_.end()));
      items_.resize(start);
      break;
    }
    case Kind::Error:
      reinterpret_cast<std::optional<std::vector<JaegerError>>*>(target)->emplace(errors_ - start);
      errors_ = start;
      break;
    case Kind::Span: *reinterpret_cast<List<JaegerSpan>*>(target) = take(spans_, start); break;
    case Kind::Reference: *reinterpret_cast<List<JaegerReference>*>(target) = take(references_, start); break;
    case Kind::Tag: *reinterpret_cast<List<JaegerTag>*>(target) = take(tags_, start); break;
    case Kind::Log: *reinterpret_cast<List<JaegerLog>*>(target) = take(logs_, start); break;
    default:
      if (optional) {
        *reinterpret_cast<OptionalList<Text>*>(target) = OptionalList<Text>::of(take(texts_, start));
      } else {
        *reinterpret_cast<List<Text>*>(target) = take(texts_, start);
      }
  }
}

List<JsonMember> RecordStore::finish_object(std::size_t start) {
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
