// The chunk map trailer: "name value\n" records in its first 1024 bytes,
// among them "VolumeId" and "ChunkId", against which the disk walk checks
// every chunk. Not installed and not exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class EvDebug;

namespace tzrecon {

// A chunk map trailer's records lie in its first 1024 bytes.
constexpr size_t kTrailerReadSize = 1024;

// Splits the next "name value\n" record in place (see
// ChunkListHelper::GetNextNameValue).
int SplitTrailerRecord(char*& cursor, char*& name, char*& value, const char* end);

// Checks the records of a trailer's first bytes (`data`, `size` bytes,
// modified in place) against the ids, logging the first mismatch through
// `debug`. True when at least one id record was found and all matched.
bool VerifyTrailerRecords(char* data, size_t size, int32_t volumeId, int32_t chunkId,
                          EvDebug& debug, const std::string& trailerPath);

}  // namespace tzrecon
