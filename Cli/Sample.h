// `tzrecon sample`: writes a sample mount path of a disk library.
//
//   DIR/V_<v>/MEDIA_LABEL              copy id as decimal text at byte 1007
//   DIR/V_<v>/CHUNK_<c>                a chunk (sparse file, seeded size)
//   DIR/V_<v>/CHUNKMAP_TRAILER_<c>     "VolumeId <v>\nChunkId <c>\n", 1024 bytes
//
// and with --single-instanced:
//
//   DIR/V_<v>/.tzsivolume
//   DIR/V_<v>/CHUNK_<c>/CHUNK_META_DATA_<n>       sparse, seeded size
//   DIR/V_<v>/CHUNK_<c>/CHUNK_META_DATA_<n>.idx   sparse
//   DIR/V_<v>/CHUNKMAP_TRAILER_<n>                "VolumeId <v>\nChunkId <n>\n"
//
// Volume ids run from 1; chunk ids and metadata numbers are unique across the
// whole mount path.
#pragma once

#include <string>
#include <vector>

namespace tzcli {

// Runs the command on its arguments (after "sample"); returns the exit status.
int RunSample(const std::vector<std::string>& args);

}  // namespace tzcli
