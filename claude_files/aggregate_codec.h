#pragma once

// One transcript file's aggregates as bytes, so that they outlive the companion. The one place
// that knows the stored shape: a field added to the summary goes into its CS_FIELDS line in the
// .cpp, with a bump of STORE_SCHEMA in summary_store.h so that rows stored without it are read
// again.

#include "claude_files/record.h"

#include <optional>
#include <string>
#include <string_view>

namespace claude_files {

std::string encodeAggregate(const FileAggregate& agg);

// nullopt when the bytes are not an aggregate of this shape.
std::optional<FileAggregate> decodeAggregate(std::string_view bytes);

}  // namespace claude_files
