// One record per trace of an export.
#pragma once

#include <memory>
#include <vector>

#include "raw/model.h"
#include "utils/report.h"

namespace spansift {

// Makes one single-item record (total, limit, offset 0, errors absent) per
// item of `export_trace`, in order; the items are moved, not copied. Prints
// "Discovered errors: [JaegerError, ...]" to `output` first when the export
// carries errors.
std::vector<JaegerTrace> split_export(JaegerTrace&& export_trace, Output& output);

// The single-item record of `item`, whose texts and lists are in `store`.
JaegerTrace single_item_record(JaegerItem&& item, std::shared_ptr<const ModelStore> store);

}  // namespace spansift
