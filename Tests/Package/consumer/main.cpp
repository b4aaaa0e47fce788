// A host program built against the installed package.
#include <TzLibVolReconciliation.h>

#include <cstdio>
#include <string>

int main() {
  TzLibVolReconsiliation recon;
  _TzLibVolReconInputParams params;
  params.dumpFlags = DUMP_SIDB_PRIMARY | DUMP_SIDB_SECONDARY;
  params.dumpPath = "/tmp";
  params.copyId = 1;
  if (!recon.CreateMultipleDumps(params)) {
    std::puts("CreateMultipleDumps(12) failed");
    return 1;
  }
  recon.SetLastError(5);
  std::string text = "x";
  if (recon.GetLastError(text) != 5 || !text.empty()) {
    std::puts("error state not read back");
    return 1;
  }
  std::puts("consumer ok");
  return 0;
}
