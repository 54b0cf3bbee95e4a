#!/usr/bin/env bash
# Fuzzes the map readers and the compiled map scanner with atheris (libFuzzer
# for Python) against an AddressSanitizer + UBSan build of brenvale._mapscan.
#
#   bash tools/fuzz.sh                 # until stopped (or a finding)
#   bash tools/fuzz.sh --runs N        # N inputs, then a summary
#   bash tools/fuzz.sh --smoke         # a short run for CI
#   bash tools/fuzz.sh ... -- ARGS     # more libFuzzer options
#
# The scanner is built with clang, because libFuzzer's edge counters
# (-fsanitize=fuzzer-no-link) and the ASan runtime that atheris expects are
# clang's; the interpreter is not instrumented, so that runtime is preloaded.
# Findings (the input that failed) go to build/fuzz/findings; the corpus the
# run grows stays in build/fuzz/corpus for the next run.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=tools/venv.sh
source tools/venv.sh

runs=""
max_time=""
extra=()
extra_seed=()
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    # A fixed seed: the same mutations on every CI run of the same code.
    --smoke) max_time=25; extra_seed=(-seed=1); shift ;;
    --max-time) max_time="$2"; shift 2 ;;
    --) shift; extra=("$@"); break ;;
    *) echo "fuzz.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

BUILD="${BRENVALE_FUZZ_BUILD:-build/fuzz}"
jobs="$(nproc 2>/dev/null || echo 2)"

skip() {
  echo "fuzz.sh: SKIPPED: $*" >&2
  exit 0
}

section "fuzzing tools"
if ! command -v clang++ >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
  apt-get install -y -q clang >/dev/null 2>&1 ||
    { apt-get update -q >/dev/null && apt-get install -y -q clang >/dev/null; } || true
fi
command -v clang++ >/dev/null 2>&1 || skip "clang++ is not installed and cannot be installed here"
asan_rt="$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)"
if [ ! -e "$asan_rt" ]; then
  # Older layouts keep the runtime under the resource directory only.
  asan_rt="$(clang++ -print-resource-dir)/lib/linux/libclang_rt.asan-x86_64.so"
fi
if [ ! -e "$asan_rt" ] && [ "$(id -u)" = 0 ]; then
  version="$(clang++ -dumpversion | cut -d. -f1)"
  apt-get install -y -q "libclang-rt-$version-dev" >/dev/null 2>&1 || true
fi
[ -e "$asan_rt" ] || skip "clang's AddressSanitizer runtime is missing ($asan_rt)"

ensure_venv
if ! "$VENV_PY" -c 'import brenvale.readers.gnu_ld' >/dev/null 2>&1; then
  install_package OFF
fi
if ! "$VENV_PY" -c 'import atheris' >/dev/null 2>&1; then
  "$VENV_PY" -m pip install -q atheris || CLANG_BIN=clang "$VENV_PY" -m pip install -q atheris ||
    skip "atheris cannot be installed (pip install atheris failed)"
fi
libstdcxx="$(readlink -f "$(clang++ -print-file-name=libstdc++.so)")"
# The shared ASan runtime defines the edge-counter callbacks itself, and with it
# preloaded libFuzzer would never see a counter.  So the runtime is relinked
# from clang's static archives without its coverage part and with libFuzzer
# inside; atheris then finds libFuzzer in the process and uses that one.
runtime_dir="$(dirname "$asan_rt")"
runtime="$BUILD/asan_with_fuzzer.so"
if [ ! -e "$runtime" ] || [ "$runtime" -ot "$runtime_dir/libclang_rt.asan-x86_64.a" ]; then
  mkdir -p "$BUILD"
  archive="$BUILD/asan-without-coverage.a"
  cp "$runtime_dir/libclang_rt.asan-x86_64.a" "$archive"
  # The pre-init entry cannot sit in a shared object; LD_PRELOAD starts it early anyway.
  ar d "$archive" sanitizer_coverage_libcdep_new.cpp.o asan_preinit.cpp.o
  # What the runtime's start-up calls in the part taken out.
  printf 'namespace __sanitizer { void InitializeCoverage(bool, const char*) {} }\n' >"$BUILD/no_coverage.cpp"
  clang++ -shared -fPIC -Wl,--no-undefined -o "$runtime" "$BUILD/no_coverage.cpp" -Wl,--whole-archive "$archive" \
    "$runtime_dir/libclang_rt.asan_cxx-x86_64.a" "$runtime_dir/libclang_rt.fuzzer_no_main-x86_64.a" \
    -Wl,--no-whole-archive -lstdc++ -lpthread -ldl -lrt -lm
  rm -f "$archive"
fi
[ -e "$libstdcxx" ] || libstdcxx="$(readlink -f "$(g++ -print-file-name=libstdc++.so)")"

section "sanitized scanner with edge counters ($BUILD)"
# -fno-sanitize=vptr: its handlers live in a C++ runtime part that only an
# executable links, not the preloaded one.
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRENVALE_SANITIZE=ON -DBRENVALE_PYTHON=ON -DBRENVALE_CPP_TESTS=OFF \
  "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -fno-sanitize=vptr" \
  "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=fuzzer-no-link" \
  -DPython_EXECUTABLE="$PWD/$VENV_PY" >/dev/null
cmake --build "$BUILD" -j "$jobs" --target _mapscan

# The package from this tree, with the sanitized scanner and the installed
# (unsanitized) contract modules, which the readers do not call.
stage="$BUILD/stage"
rm -rf "$stage"
mkdir -p "$stage"
cp -r python/brenvale "$stage/"
find "$stage/brenvale" -name '*.so' -delete
find "$stage/brenvale" -name __pycache__ -prune -exec rm -rf {} +
installed="$("$VENV_PY" -c 'import brenvale, os; print(os.path.dirname(brenvale.__file__))')"
cp "$installed"/*.so "$stage/brenvale/"
rm -f "$stage"/brenvale/_mapscan*.so
cp "$BUILD"/_mapscan*.so "$stage/brenvale/"

corpus="$BUILD/corpus"
seeds="$BUILD/seeds"
findings="$BUILD/findings"
rm -rf "$seeds"
mkdir -p "$corpus" "$findings"
"$VENV_PY" tools/fuzz_maps.py --seeds "$seeds"
# Earlier findings, fixed since, stay in the run as seeds.
regressions=tests/python/data/fuzz
[ -d "$regressions" ] || regressions=""

options=(-timeout=10 -rss_limit_mb=3072 -max_len=2048 -print_final_stats=1
  "-artifact_prefix=$findings/" -detect_leaks=0)
[ -n "$runs" ] && options+=("-runs=$runs")
[ -n "$max_time" ] && options+=("-max_total_time=$max_time")

section "fuzzing (${runs:+$runs inputs}${max_time:+at most $max_time s})"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
shm=/dev/shm
[ -w "$shm" ] || shm="${TMPDIR:-/tmp}"
BRENVALE_FUZZ_SCRATCH="$(mktemp -d "$shm/brenvale-fuzz.XXXXXX")"
export BRENVALE_FUZZ_SCRATCH
trap 'rm -rf "$BRENVALE_FUZZ_SCRATCH"' EXIT
started=$SECONDS
set +e
LD_PRELOAD="$runtime $libstdcxx" \
  ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1" \
  PYTHONPATH="$stage" BRENVALE_FUZZ_NEEDS_SCANNER=1 \
  "$VENV_PY" tools/fuzz_maps.py "${options[@]}" "${extra_seed[@]}" "${extra[@]}" "$corpus" "$seeds" $regressions
status=$?
set -e
echo "fuzz.sh: libFuzzer exit status $status after $((SECONDS - started)) s"
if [ "$status" -ne 0 ]; then
  echo "fuzz.sh: finding(s) in $findings:" >&2
  ls -l "$findings" >&2
  exit "$status"
fi
section "fuzzing found nothing"
