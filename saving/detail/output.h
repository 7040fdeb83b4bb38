// Output handling shared by the FAT and NTFS engines: creating and writing the output file with
// the disk-full stop, and the total-files bar.
#pragma once

#include <span>
#include <string>

#include "saving/save_context.h"

namespace snapmend::saving::detail {

// True for the errors that mean the destination has no room left.
bool isNoSpace(int error);

// Unless previewMode: the disk-full message and stopAll.
void reportDiskFull(SaveContext& ctx);

// Creates the output; on failure reports a full disk and honours skipOnOpenFailure.
OpenedOutput createOutput(SaveContext& ctx, const std::string& path, ExtractOutcome& outcome);

// Writes data; a failure is recorded in outcome (a full disk also stops the save). False on failure.
bool writeOutput(SaveContext& ctx, OutputFile& file, std::span<const std::byte> data, ExtractOutcome& outcome);

// Closes the output; a failure to flush is a write failure.
void closeOutput(SaveContext& ctx, OutputFile& file, ExtractOutcome& outcome);

// Steps the total-files bar while it is below the total.
void stepTotalFiles(SaveContext& ctx);

} // namespace snapmend::saving::detail
