// Where the records of one export are assembled while it is read: the store
// that will hold them (one per item when an item taker wants them), and a
// scratch list per kind for the entries of the containers still open. Lists
// move into the store when they close.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "raw/json/read_into.h"
#include "raw/json/schema.h"
#include "raw/model.h"
#include "raw/model_store.h"

namespace spansift {

// A record being built: the member that its record kind names is set.
union RecordRef {
  JaegerTrace* trace;
  JaegerItem* item;
  JaegerSpan* span;
  JaegerReference* reference;
  JaegerTag* tag;
  JaegerLog* log;
  JaegerError* error;  // always null: an error entry keeps nothing
};

class RecordBuilder {
 public:
  // `into.store` must be set.
  explicit RecordBuilder(ReadInto into)
      : store_(into.store), trace_store_(std::move(into.store)), item_taker_(into.items) {}

  // `may_need_escaping`: the text was decoded from escapes, so it may hold
  // bytes that a JSON string can't hold as they are.
  [[gnu::always_inline]] Text add_text(std::string_view text, bool may_need_escaping) {
    return store_->intern(text, may_need_escaping);
  }

  // A new record of kind `record`: the trace itself, or one at the end of its
  // scratch list, where it stays while it is built (records of a kind never
  // nest).
  RecordRef new_record(FieldKind record);

  // Where the entries of a list of kind `list` start in its scratch list.
  std::size_t list_start(FieldKind list) const;
  // An error entry has been read into the list being built.
  void count_error() { ++errors_; }
  // An item has been read whole (its fields checked): handed to the item
  // taker, if there is one.
  void item_done();

  void add_list_text(Text text) { texts_.push_back(text); }
  void add_value(const JsonValue& value) { values_.push_back(value); }
  void add_member(Text key, const JsonValue& value) { members_.push_back({key, value}); }
  std::size_t value_count() const { return values_.size(); }
  std::size_t member_count() const { return members_.size(); }

  // Closes the list of kind `list` whose entries start at `start`, storing
  // it into `target`, the member of its record.
  void finish_list(FieldKind list, std::size_t start, FieldRef target);
  List<JsonValue> finish_array(std::size_t start) { return take(values_, start); }
  // The members since `start`, sorted by key; of equal keys the last stays.
  List<JsonMember> finish_object(std::size_t start);

  // The trace, holding the store; this is spent.
  JaegerTrace take_trace() {
    trace_.store = std::move(store_);
    return std::move(trace_);
  }

 private:
  template <class T>
  List<T> take(std::vector<T>& scratch, std::size_t start) {
    List<T> list = store_->add_list(std::span<const T>(scratch).subspan(start));
    scratch.resize(start);
    return list;
  }

  std::shared_ptr<ModelStore> store_;  // of the item being read, else the trace's
  std::shared_ptr<ModelStore> trace_store_;
  const ItemTaker* item_taker_;
  JaegerTrace trace_;
  std::vector<JaegerItem> items_;
  std::vector<JaegerSpan> spans_;
  std::vector<JaegerReference> references_;
  std::vector<JaegerTag> tags_;
  std::vector<JaegerLog> logs_;
  std::vector<Text> texts_;
  std::vector<JsonValue> values_;
  std::vector<JsonMember> members_;
  std::size_t errors_ = 0;
};

}  // namespace spansift
