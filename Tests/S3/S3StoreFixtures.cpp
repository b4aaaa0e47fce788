#include "S3StoreFixtures.h"

#include <sstream>

namespace s3test {

std::string Walk(CloudStore& store, bool skipMarked, const std::string& root) {
  std::ostringstream out;
  std::vector<std::string> files, volumes;
  out << "root" << store.List(root, files, volumes).AsString();
  for (const std::string& volume : volumes) out << " " << volume;
  for (const std::string& volume : volumes) {
    if (volume.rfind("V_", 0) != 0) continue;
    const std::string path = root + "/" + volume;
    bool marked = false;
    const CJwError markerError = store.Exists(path + "/.tzsivolume", marked);
    out << "\n" << volume << " marker " << marked << markerError.AsString();
    if (marked && skipMarked) continue;
    CJwError error;
    out << " label [" << Read(store, path + "/MEDIA_LABEL", 4096, &error) << "]" << error.AsString();
    std::vector<std::string> names, folders;
    out << " files" << store.List(path, names, folders).AsString();
    for (const std::string& name : names) {
      uint64_t size = 0;
      const CJwError sizeError = store.Size(path + "/" + name, size);
      out << " " << name << "=" << size << sizeError.AsString();
    }
    for (const std::string& folder : folders) out << " " << folder << "/";
  }
  return out.str();
}


}  // namespace s3test
