// Turning the input path (one export file or a folder of them) into records.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "raw/model.h"
#include "raw/model_store.h"
#include "utils/system.h"

namespace spansift {

struct ReadResult {
  std::vector<JaegerTrace> traces;  // single-item records, in reading order
  std::int32_t file_count = 0;
  std::string base_folder;  // where the output folder goes
};

// Reads the export file `input` (extension exactly "json") or every regular
// file whose path ends in ".json" directly in the folder `input`, making every
// system call through `system`. Throws Stop on any fault.
ReadResult read_file_or_folder(std::string_view input, System& system = posix_system());

// Announces, reads (into `store`, the run's; a new one when none is given)
// and splits one export file through `system`; throws Stop if it can't be read.
std::vector<JaegerTrace> read_and_split_file(const std::string& path, std::shared_ptr<ModelStore> store = nullptr,
                                             System& system = posix_system());

}  // namespace spansift
