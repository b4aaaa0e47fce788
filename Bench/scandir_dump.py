#!/usr/bin/env python3
"""The chunk-lister dump written as a short, straightforward Python script.

This is the peer a user would write instead of calling the library: os.scandir
over the volumes and chunks, DirEntry.stat() for the sizes, open() and read()
for the label and the trailers, a buffered file for the rows. It writes the
same bytes as the library (rows in directory order). Used by the benchmark.

    scandir_dump.py MOUNT_PATH MOUNT_PATH_ID COPY_ID MODE OUT

MODE 1: volumes without the single-instance marker, each CHUNK_<n> a chunk.
MODE 2: volumes with it, each CHUNK_<n> a folder of CHUNK_META_DATA_<m> records.
"""
import os
import sys

HEADER = b"MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n"
LABEL_SIZE = 1551
LABEL_COPY_ID_AT = 1007
TRAILER_SIZE = 1024
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


class ChunkNameWithoutId(Exception):
    pass


def read_decimal(data):
    """atoi of bytes, with a range check: (value, out_of_range)."""
    text = data.lstrip(b" \t\n\v\f\r")
    negative = text[:1] == b"-"
    if text[:1] in (b"+", b"-"):
        text = text[1:]
    digits = len(text) - len(text.lstrip(b"0123456789"))
    if digits == 0:
        return 0, False
    value = -int(text[:digits]) if negative else int(text[:digits])
    if value < INT32_MIN:
        return INT32_MIN, True
    if value > INT32_MAX:
        return INT32_MAX, True
    return value, False


def read_prefix(path, size):
    """The first `size` bytes of the file, or None when it is shorter or unreadable."""
    try:
        with open(path, "rb") as f:
            data = f.read(size)
    except OSError:
        return None
    return data if len(data) == size else None


def trailer_matches(data, volume_id, chunk_id):
    """The "VolumeId"/"ChunkId" records ("name value\\n", the name ended by a
    blank within 64 bytes, the value by a newline within 4096): at least one
    present and all matching."""
    found = False
    pos = 0
    while True:
        blank = data.find(b" ", pos, min(pos + 64, len(data)))
        if blank < 0:
            break
        newline = data.find(b"\n", blank + 1, min(blank + 1 + 4096, len(data)))
        if newline < 0:
            break
        name = data[pos:blank].split(b"\0", 1)[0]
        value = data[blank + 1:newline].split(b"\0", 1)[0]
        pos = newline + 1
        if name == b"VolumeId":
            found = True
            got, out_of_range = read_decimal(value)
            if out_of_range or got != volume_id:
                return False
        elif name == b"ChunkId":
            found = True
            got, out_of_range = read_decimal(value)
            if out_of_range or got != chunk_id:
                return False
    return found


def record(out, mount_path_id, volume_path, entry, volume_id, si):
    """One chunk (or one metadata record): its size, its trailer, its row."""
    id_text = entry.name.rsplit("_", 1)[1]
    if not id_text:
        if not si:
            raise ChunkNameWithoutId(entry.path)
        return
    chunk_id, out_of_range = read_decimal(id_text.encode())
    if out_of_range:
        return
    try:
        size = entry.stat().st_size
    except OSError:
        size = 0
    trailer = read_prefix(os.path.join(volume_path, f"CHUNKMAP_TRAILER_{chunk_id}"), TRAILER_SIZE)
    if trailer is None or not trailer_matches(trailer, volume_id, chunk_id):
        return
    out.write(f"{mount_path_id}, {volume_id}, {chunk_id}, {size}, {1 if si else 0}\r\n".encode())


def dump(mount_path, mount_path_id, copy_id, want_si, out_path):
    with open(out_path, "wb") as out:
        out.write(HEADER)
        with os.scandir(mount_path) as volumes:
            for volume in volumes:
                if not volume.name.startswith("V_"):
                    continue
                si = os.path.exists(os.path.join(volume.path, ".tzsivolume"))
                if si != want_si:
                    continue
                label = read_prefix(os.path.join(volume.path, "MEDIA_LABEL"), LABEL_SIZE)
                if label is None:
                    continue
                label_copy_id, out_of_range = read_decimal(label[LABEL_COPY_ID_AT:])
                if out_of_range or label_copy_id % 2**32 != copy_id % 2**32:
                    continue
                # Only the id's own plain decimal form names a volume.
                volume_id, _ = read_decimal(volume.name[2:].encode())
                if str(volume_id) != volume.name[2:]:
                    continue
                with os.scandir(volume.path) as chunks:
                    for chunk in chunks:
                        if not chunk.name.startswith("CHUNK_"):
                            continue
                        if not si:
                            record(out, mount_path_id, volume.path, chunk, volume_id, False)
                            continue
                        with os.scandir(chunk.path) as records:
                            for entry in records:
                                if entry.name.startswith("CHUNK_META_DATA_") and ".idx" not in entry.name:
                                    record(out, mount_path_id, volume.path, entry, volume_id, True)


def main():
    if len(sys.argv) != 6 or sys.argv[4] not in ("1", "2"):
        sys.stderr.write("usage: scandir_dump.py MOUNT_PATH MOUNT_PATH_ID COPY_ID MODE(1|2) OUT\n")
        return 2
    try:
        dump(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4] == "2", sys.argv[5])
    except (OSError, ChunkNameWithoutId) as e:
        sys.stderr.write(f"scandir_dump.py: {e}\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
