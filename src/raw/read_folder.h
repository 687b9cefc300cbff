// Turning the input path (one export file or a folder of them) into records.
#pragma once

#include <cstdint>
#include <dirent.h>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "raw/model.h"
#include "raw/model_store.h"

namespace spansift {

struct ReadResult {
  std::vector<JaegerTrace> traces;  // single-item records, in reading order
  std::int32_t file_count = 0;
  std::string_view base_folder;  // a view into the input path
};

// Reads the export file `input` (extension exactly "json") or every regular
// file whose path ends in ".json" directly in the folder `input`. Throws Stop
// on any fault. `input` must outlive the result's base_folder.
ReadResult read_file_or_folder(std::string_view input);

// Announces, reads (into `store`, the run's; a new one when none is given)
// and splits one export file; throws Stop if it can't be read.
std::vector<JaegerTrace> read_and_split_file(const std::string& path, std::shared_ptr<ModelStore> store = nullptr);

}  // namespace spansift
