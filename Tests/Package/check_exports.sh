#!/bin/bash
# The library exports its three classes and g_Event, and nothing else, and
# takes what the host decides from the host.
set -euo pipefail
lib="$1"
symbols=$(nm -D --defined-only "$lib" | awk '{print $3}' | c++filt)
[ -n "$symbols" ] || { echo "no exported symbols in $lib"; exit 1; }
bad=0
while IFS= read -r s; do
  case "$s" in
    TzLibVolReconsiliation::* | ChunkListHelper::* | CloudChunkListHelper::* | g_Event) ;;
    "typeinfo for "* | "typeinfo name for "* | "vtable for "*) ;;
    *) echo "unexpected export: $s"; bad=1 ;;
  esac
done <<< "$symbols"
for want in "TzLibVolReconsiliation::CreateMultipleDumps(_TzLibVolReconInputParams&)" \
            "ChunkListHelper::Dump(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >)" \
            "CloudChunkListHelper::init()" "g_Event"; do
  grep -qxF "$want" <<< "$symbols" || { echo "missing export: $want"; bad=1; }
done
# Whether a look-up found nothing is the host's to say: the library asks the
# host's CJwError::IsNotFound and compiles in no error code of its own.
undefined=$(nm -D --undefined-only "$lib" | awk '{print $2}' | c++filt)
grep -qxF "CJwError::IsNotFound() const" <<< "$undefined" ||
  { echo "the library does not ask the host whether an entry is absent"; bad=1; }
[ $bad -eq 0 ] && echo "exports ok: $(wc -l <<< "$symbols") symbols"
exit $bad
