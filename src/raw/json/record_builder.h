// Where the records of one export are assembled while it is read: the store
// that will hold them (one per item when an item sink wants them), and a
// scratch list for each type of entry of the containers still open. Lists
// move into the store when they close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "raw/json/read_into.h"
#include "raw/json/schema.h"
#include "raw/json/type_list.h"
#include "raw/model.h"
#include "raw/model_store.h"

namespace spansift {

// The field of an item that tells whether the item is wanted: its trace ID.
inline constexpr std::size_t kItemIdField = 0;
static_assert(std::get<kItemIdField>(kTable<JaegerItem>.fields).member == &JaegerItem::traceID);

// Whether a reader keeps what it reads: it asks the builder (kAsk), or knows
// that it does (kYes) or does not (kNo), as the straight path does, which is
// compiled for each.
enum class Keep : std::uint8_t { kAsk, kYes, kNo };

class RecordBuilder {
 public:
  // `into.store` must be set.
  explicit RecordBuilder(ReadInto into)
      : store_(into.store), trace_store_(std::move(into.store)), items_(into.items), selects_(into.selects) {}

  // Texts are added only while keeping(): the reader asks first, once per
  // text where it does not know, never where it does (the straight path).
  // `may_need_escaping`: the text was decoded from escapes, so it may hold
  // bytes that a JSON string can't hold as they are.
  template <class K>
  [[gnu::always_inline]] Text add_text(std::string_view text, bool may_need_escaping) {
    return store_->intern<K>(text, may_need_escaping);
  }

  // A text of 1 to 15 bytes at `p` needing no escaping, which the reader
  // holds in `bytes`, a block of kernel K (ModelStore::intern_short).
  template <class K>
  [[gnu::always_inline]] Text add_short_text(const char* p, std::size_t n, typename K::Block bytes) {
    return store_->intern_short<K>(p, n, bytes);
  }
  // A text of up to 64 bytes needing no escaping, at `p`, whose 64 bytes
  // from `p` on are readable.
  template <class K>
  [[gnu::always_inline]] Text add_text_in_window(const char* p, std::size_t n) {
    return store_->intern_window<K>(p, n);
  }

  // A new record: the trace itself, or one at the end of its scratch list,
  // where it stays while it is built (records of a type never nest).
  template <Record R>
  R& new_record() {
    if constexpr (std::is_same_v<R, JaegerTrace>) {
      return trace_;
    } else {
      if constexpr (std::is_same_v<R, JaegerItem>) {
        if (items_ != nullptr) store_ = items_->new_store();
      }
      return scratch<R>().append();
    }
  }

  // The trace ID of the item being read, read: from here on, an item that
  // is not wanted (ItemSink::wants) keeps no text or list, and costs no
  // store, though every byte of it is still read and checked.
  void item_id_read(Text id) {
    if (selects_ != nullptr) keeping_ = selects_->wants(store_->text(id));
  }
  // Whether what is read now is kept: false from the trace ID of an item
  // not wanted to the item's end.
  bool keeping() const { return keeping_; }
  // The same, for a reader that keeps as `keep` says: asked only of kAsk.
  template <Keep keep>
  [[gnu::always_inline]] bool keeps() const {
    return keep == Keep::kYes || (keep == Keep::kAsk && keeping_);
  }
  // Whether the item read last was wanted.
  bool kept() const { return last_kept_; }

  // Record R has been read whole (its fields checked): an item goes to the
  // item sink, if there is one.
  template <Record R>
  void record_done() {
    if constexpr (std::is_same_v<R, JaegerItem>) item_done();
  }

  // An item read elsewhere, whole, with its store: it goes to the item sink,
  // or is passed over there when it was not `kept`.
  void item_read(JaegerItem&& item, std::shared_ptr<ModelStore>&& store, bool kept) {
    if (kept) {
      items_->receive(std::move(item), std::move(store));
    } else {
      items_->passed_over(store->text(item.traceID));
    }
  }

  // Every scratch list emptied, their room kept, and what is read kept: as
  // made, but for the store.
  void clear() {
    std::apply([](auto&... lists) { (lists.resize(0), ...); }, lists_);
    values_.resize(0);
    members_.resize(0);
    keeping_ = true;
    last_kept_ = true;
  }

  // The item read last, when there is no item sink; this is spent.
  JaegerItem take_item() { return std::move(scratch<JaegerItem>().back()); }

  // Where the entries of a list of E start in its scratch list.
  template <ListElement E>
  std::size_t list_start() {
    return scratch<E>().size();
  }
  void add_list_text(Text text) { scratch<Text>().push_back(text); }
  void add_value(const JsonValue& value) { values_.push_back(value); }
  void add_member(Text key, const JsonValue& value) { members_.push_back({key, value}); }
  std::size_t value_count() const { return values_.size(); }
  std::size_t member_count() const { return members_.size(); }

  // Closes the list whose entries start at `start`, storing it into
  // `member`, its record's, if it is kept (keeps<keep>).
  template <Keep keep = Keep::kAsk, ListElement E>
  void finish_list(List<E>& member, std::size_t start) {
    member = copy_out<keep, E>(scratch<E>(), start);
  }
  template <Keep keep = Keep::kAsk, ListElement E>
  void finish_list(OptionalList<E>& member, std::size_t start) {
    member = OptionalList<E>::of(copy_out<keep, E>(scratch<E>(), start));
  }
  template <ListElement E>
  void finish_list(std::vector<E>& member, std::size_t start) {
    ScratchList<E>& entries = scratch<E>();
    member.assign(std::make_move_iterator(entries.begin() + start), std::make_move_iterator(entries.end()));
    entries.resize(start);
  }
  template <ListElement E>
  void finish_list(std::optional<std::vector<E>>& member, std::size_t start) {
    finish_list(member.emplace(), start);
  }
  template <Keep keep = Keep::kAsk>
  List<JsonValue> finish_array(std::size_t start) {
    return copy_out<keep, JsonValue>(values_, start);
  }
  // The members since `start`, sorted by key; of equal keys the last stays.
  template <Keep keep = Keep::kAsk>
  List<JsonMember> finish_object(std::size_t start) {
    if (!keeps<keep>()) {
      members_.resize(start);
      return {};
    }
    return sorted_object(start);
  }

  // The trace, holding the store; this is spent.
  JaegerTrace take_trace() {
    trace_.store = std::move(store_);
    return std::move(trace_);
  }

 private:
  // The entries of open lists of one kind: records are built in place at
  // its end, one for each element read, so its append is inlined (a
  // vector's is a call), and only its growth is not.
  template <class T>
  class ScratchList {
   public:
    [[gnu::always_inline]] T& append() {
      if (size_ == capacity_) [[unlikely]]
        grow();
      T& entry = entries_[size_++];
      entry = T{};
      return entry;
    }
    void push_back(const T& entry) { append() = entry; }
    std::size_t size() const { return size_; }
    // `size` must not be above size().
    void resize(std::size_t size) { size_ = size; }
    T& back() { return entries_[size_ - 1]; }
    void pop_back() { --size_; }
    T* begin() { return entries_.get(); }
    T* end() { return entries_.get() + size_; }
    operator std::span<const T>() const { return {entries_.get(), size_}; }

   private:
    [[gnu::noinline]] void grow() {
      const std::size_t capacity = capacity_ == 0 ? 64 : 2 * capacity_;
      auto entries = std::make_unique<T[]>(capacity);
      std::move(entries_.get(), entries_.get() + size_, entries.get());
      entries_ = std::move(entries);
      capacity_ = capacity;
    }

    std::unique_ptr<T[]> entries_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
  };
  template <class T>
  using Scratch = ScratchList<T>;

  template <class E>
  ScratchList<E>& scratch() {
    return std::get<ScratchList<E>>(lists_);
  }

  template <Keep keep, class T, class Entries>
  List<T> copy_out(Entries& scratch, std::size_t start) {
    List<T> list = keeps<keep>() ? store_->add_list(std::span<const T>(scratch).subspan(start)) : List<T>{};
    scratch.resize(start);
    return list;
  }

  void item_done();
  List<JsonMember> sorted_object(std::size_t start);

  std::shared_ptr<ModelStore> store_;  // of the item being read, else the trace's
  std::shared_ptr<ModelStore> trace_store_;
  ItemSink* items_;          // where items go, when they don't stay in `data`
  const ItemSink* selects_;  // which items are kept whole, when not all
  bool keeping_ = true;      // what is read is kept: false in an item not wanted, to its end
  bool last_kept_ = true;    // the item read last was wanted
  JaegerTrace trace_;
  Apply<std::tuple, Map<Scratch, ListElements>> lists_;  // the entries of open lists, by what they hold
  ScratchList<JsonValue> values_;
  ScratchList<JsonMember> members_;
};

}  // namespace spansift
