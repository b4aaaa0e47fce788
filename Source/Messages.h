// The texts of the log lines that tzrecon reads to follow and sum up a dump:
// the library logs them from here, and tzrecon's log watch recognises them
// by these very texts, so that a message reworded here is reworded for both.
// Header only, not installed and not exported.
#pragma once

namespace tzrecon::messages {

// Tags under which one text means two things.
inline constexpr char kVerifyVolumeTag[] = "ChunkListHelper::VerifyVolume";
inline constexpr char kTrailerTag[] = "ChunkListHelper::GetVolumeAndChunkIdFromCMT";

// Level 2: the walk's progress.
inline constexpr char kMountPath[] = "Mount Path :: %s";
inline constexpr char kDumpingChunk[] = "Dumping Chunk Info [%s]";

// Level -1, and the dump still complete: an entry passed over.
inline constexpr char kNotAVolume[] = "This is not a volume folder [%s], skipping";
inline constexpr char kNotAChunk[] = "This is not a chunk [%s], skipping";
// A chunk left out: its id does not fit a row, or its trailer disagrees.
inline constexpr char kChunkIdOutOfRange[] = "Error :: Chunk id of [%s] is out of range, skipping";
inline constexpr char kTrailerVolumeIdDiffers[] =
    "Volume Id in Chunk [%d] and in volume folder [%d] do not match.";
inline constexpr char kTrailerChunkIdDiffers[] =
    "Chunk Id in chunk map trailer [%d] and in chunk file name [%d] do not match";
inline constexpr char kTrailerIdsMissing[] =
    "Either chunk id or volume id not found on chunk map trailer (%s)";
inline constexpr char kTrailerShort[] = "Error :: Failed to read 1024 bytes from CMT";
// Names the trailer of the line before: not a notice of its own.
inline constexpr char kTrailerLeftOut[] = "Error :: Chunk map trailer [%s] is left out: %s";
// Under kTrailerTag a chunk left out, under kVerifyVolumeTag a volume skipped.
inline constexpr char kCannotOpenLabel[] = "Error :: Failed to open volume label file [%s]";
// A volume skipped.
inline constexpr char kCannotReadLabel[] = "Error :: Media-label file Read error(%s)";
// A chunk written with size 0.
inline constexpr char kSizeUnknown[] = "Failed to get the file size, Ignoring, error=%s";

// The level -1 lines above, which leave a dump complete.
inline constexpr const char* kCompleteDumpNotices[] = {
    kNotAVolume,       kNotAChunk,       kChunkIdOutOfRange,
    kTrailerVolumeIdDiffers, kTrailerChunkIdDiffers, kTrailerIdsMissing,
    kTrailerShort,     kTrailerLeftOut,  kCannotOpenLabel,
    kCannotReadLabel,  kSizeUnknown,
};

// Level -1, the dump failed: a file that is not the dump's own is at its
// name (and is left there).
inline constexpr char kDumpNameTaken[] =
    "Error :: A file already exists at the dump file's name [%s]; it is left untouched";

}  // namespace tzrecon::messages
