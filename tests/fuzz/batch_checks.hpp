// Checks of the batch path that the fuzz target runs on every input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillmore::fuzzing {

// The stream through BatchDecoder in the given chunk sizes (used in turn;
// each v < 0xE0 is v bytes, else (v - 0xDF) * 256) and whole: the arrays,
// the times and the loss counters must be the same both ways, the raw
// samples and rows those that the frame machine's listener receives, and
// the counters those the machine counts.  Aborts on a difference.
void checkBatchPath(const std::vector<std::uint8_t>& stream, const std::uint8_t* chunks, std::size_t chunkCount);

}  // namespace quillmore::fuzzing
