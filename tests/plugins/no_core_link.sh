#!/bin/sh
# Fails when a plug-in needs the core library, or when it is not a loadable
# object at all. Usage: no_core_link.sh module...
status=0
for module in "$@"; do
  # A cross build's module cannot be loaded here: its needed list is read
  # instead (readelf for ELF, the build's objdump, $OBJDUMP, for PE).
  out=$(ldd "$module" 2>&1) || out=$(readelf -d "$module" 2>&1) || out=$("${OBJDUMP:-objdump}" -p "$module" 2>&1) \
    || { echo "neither ldd, readelf nor objdump reads $module: $out"; status=1; continue; }
  case "$out" in
    *vgm_Common*) echo "$module needs the core library:"; echo "$out"; status=1 ;;
  esac
done
exit $status
