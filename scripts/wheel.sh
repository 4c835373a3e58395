#!/usr/bin/env bash
# Builds the wheel users install, and checks it, into dist/:
#   sdist -> wheel built from that sdist (libcrypto and libstdc++ linked into
#   every extension module) -> auditwheel repair (GMP vendored beside the
#   modules, the manylinux tag of the oldest glibc the modules can run on).
# Then, for every *.abi3.so in the wheel: one exported symbol, its PyInit_;
# every library it loads resolving inside the wheel or to the C library; and
# an import, with a masking call, where the system's GMP, libcrypto and
# libstdc++ cannot be found. abi3audit, twine check and the size close it.
#
#   scripts/wheel.sh          build and check
#   scripts/wheel.sh --check  check the wheel already in dist/
set -Eeuo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
max_bytes=$((5 * 1024 * 1024))
# What an extension may load from the system: the C library's own objects and
# libgcc_s, which glibc itself loads to unwind threads (every manylinux policy
# lists it).
system_libs='^(linux-vdso\.so\.1|ld-linux-x86-64\.so\.2|libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|libgcc_s\.so\.1)$'
hidden_libs=(libgmp.so.10 libcrypto.so.3 libstdc++.so.6)

fail() { echo "wheel.sh: $*" >&2; exit 1; }
trap 'echo "wheel.sh: failed at line $LINENO: $BASH_COMMAND" >&2' ERR

build() {
  local work=build/wheel
  rm -rf "$work"
  mkdir -p "$work" dist
  "$python" -m build --sdist --no-isolation --outdir "$work/sdist" . >/dev/null
  local sdist
  sdist=$(ls "$work"/sdist/zorva_rs-*.tar.gz)
  CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)} \
    "$python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
    -w "$work/raw" "$sdist"
  auditwheel repair -w "$work/repaired" "$work"/raw/zorva_rs-*.whl >"$work/repair.log" 2>&1 ||
    { cat "$work/repair.log" >&2; fail "auditwheel repair"; }
  rm -f dist/zorva_rs-*
  cp "$sdist" "$work"/repaired/zorva_rs-*.whl dist/
}

check() {
  local wheels=(dist/zorva_rs-*.whl)
  [ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || fail "expected one wheel in dist/, found: ${wheels[*]}"
  local wheel=${wheels[0]} name
  name=$(basename "$wheel")
  echo "wheel $name, $(stat -c %s "$wheel") bytes"
  [ "$(stat -c %s "$wheel")" -lt $max_bytes ] || fail "$name is 5 MiB or more"

  local shown tag
  shown=$(auditwheel show "$wheel" | tr -s ' \n' '  ')
  tag=$(grep -oE 'consistent with the following platform tag: "manylinux_2_[0-9]+_x86_64"' <<<"$shown" |
        grep -oE 'manylinux_2_[0-9]+_x86_64') || { echo "$shown" >&2; fail "auditwheel gives no manylinux tag"; }
  case "$name" in
    *-cp311-abi3-*"$tag"*.whl) echo "auditwheel: $tag" ;;
    *) fail "$name is not tagged cp311-abi3 $tag" ;;
  esac
  abi3audit --strict --report "$wheel" >/dev/null || { abi3audit --strict --report "$wheel"; fail "abi3audit"; }
  twine check --strict dist/zorva_rs-* >/dev/null || { twine check --strict dist/zorva_rs-*; fail "twine check"; }

  local unpacked
  unpacked=$(mktemp -d /tmp/zorva-wheel.XXXXXX)
  trap "rm -rf '$unpacked'" RETURN
  "$python" -m zipfile -e "$wheel" "$unpacked"
  local modules=()
  while IFS= read -r so; do modules+=("$so"); done < <(find "$unpacked" -maxdepth 1 -name '*.abi3.so' | sort)
  [ ${#modules[@]} -gt 0 ] || fail "no extension module in $name"
  local so stem exported lib path
  for so in "${modules[@]}"; do
    stem=$(basename "$so" .abi3.so)
    exported=$(nm -D --defined-only "$so" | awk '{print $NF}')
    [ "$exported" = "PyInit_$stem" ] || fail "$stem exports: $(echo $exported)"
    # Every needed library: found, and either the wheel's own or the system's C library.
    while read -r lib _ path _; do
      [ -n "$lib" ] || continue
      [ "$path" != "not" ] || fail "$stem: $lib not found"
      [[ "$lib" =~ $system_libs ]] && continue
      [[ "$path" == "$unpacked"/* ]] || fail "$stem loads $lib from the system ($path)"
    done < <(ldd "$so" | sed -E 's/^\s+//; s/ \(0x[0-9a-f]+\)$//; s|^(/[^ ]*/)?([^ /]+)$|\2 => \1\2|')
    echo "$stem: exports PyInit_$stem only; loads $(ldd "$so" | awk '{print $1}' | xargs)"
  done

  # The import with the system's copies out of sight: a private mount
  # namespace with an empty file bound over each; where the sandbox refuses
  # namespaces, the loader check above is the evidence.
  local binds="" lib target
  for lib in "${hidden_libs[@]}"; do
    # awk reads to the end: leaving early would fail the pipeline on SIGPIPE.
    target=$(ldconfig -p | awk -v l="$lib" '$1 == l && /x86-64/ && !found++ {print $NF}')
    [ -n "$target" ] && binds+="mount --bind '$unpacked/.empty' '$(readlink -f "$target")' && "
  done
  : >"$unpacked/.empty"
  if unshare -m true 2>/dev/null; then
    unshare -m sh -c "mount --make-rprivate / && ${binds} exec \"\$@\"" sh \
      "$python" py/testing/module_check.py wheel "$unpacked" "${hidden_libs[@]}" \
      || fail "import with the system's libraries hidden"
  else
    echo "no mount namespace here: the loader check above stands for the hidden-libraries import"
  fi
}

case "${1:-}" in
  --check) check ;;
  "") build; check ;;
  *) echo "usage: scripts/wheel.sh [--check]" >&2; exit 2 ;;
esac
