// The folders that this thread's CJwDirectory objects hold open.
//
// A walk stats every entry of the folder it is listing. Resolving such a
// name relative to the open folder's descriptor (fstatat) spares the kernel
// the walk of the whole path for every entry; the result is the same.
#pragma once

#include <cstddef>
#include <string>

namespace tzhost {

// `folder` ends in "/" and must stay valid until UnregisterOpenFolder.
void RegisterOpenFolder(const std::string* folder, int fd);
void UnregisterOpenFolder(int fd);

// The descriptor of an open folder whose path is path[0, folderLength)
// (folderLength includes the final "/"), or -1.
int FindOpenFolder(const char* path, size_t folderLength);

}  // namespace tzhost
