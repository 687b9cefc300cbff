#include "raw/split_export.h"

#include <utility>

#include "utils/messages.h"
#include "utils/report.h"

namespace spansift {

std::vector<JaegerTrace> split_export(JaegerTrace&& export_trace, Output& output) {
  if (export_trace.errors && !export_trace.errors->empty()) {
    output.print(messages::discovered_errors(errors_debug_text(*export_trace.errors)));
  }

  std::vector<JaegerTrace> records;
  records.reserve(export_trace.data.size());
  for (JaegerItem& item : export_trace.data) {
    // The item refers into the export's store; sharing it keeps the texts and
    // lists alive without copying a byte.
    records.push_back(single_item_record(std::move(item), export_trace.store));
  }

  // The export itself is consumed: drop its items and its hold on the store
  // now, so only the records keep it alive.
  export_trace.data.clear();
  export_trace.data.shrink_to_fit();
  export_trace.store.reset();
  return records;
}

JaegerTrace single_item_record(JaegerItem&& item, std::shared_ptr<const ModelStore> store) {
  JaegerTrace record;
  record.data.reserve(1);
  record.data.push_back(std::move(item));
  record.store = std::move(store);
  return record;
}

}  // namespace spansift
