# The environments the fuzz targets run in; sourced by .ci/fuzz and fuzz/figures.sh, from the
# repository's root:
#     fuzz_environment native   # .fuzz-venv: both modules built for fuzzing (CMake option ORBISK_FUZZ)
#     fuzz_environment python   # .fuzz-python-venv: the ordinary build, whose edges libFuzzer cannot see
#     fuzzing python fuzz/fuzz_image_file.py -max_total_time=60   # in the active one
#
# The fuzzing build is compiled with clang 16, installed with apt-get when missing. Debian 12's
# default clang, 14, cannot compile the modules (it leaves a consteval call inside a generic
# lambda to the linker); clang 17 and later instrument for a newer sanitizer runtime than the
# one atheris brings, which is why atheris is pinned too.
CLANG_VERSION=16
ATHERIS=atheris==3.0.0

install_clang() {
    local packages=("clang-$CLANG_VERSION" "libclang-rt-$CLANG_VERSION-dev")
    dpkg -s "${packages[@]}" > /dev/null 2>&1 && return
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${packages[@]}"
}

fuzz_environment() {
    FUZZ_BUILD=$1
    case $FUZZ_BUILD in
    native)
        install_clang
        python3 -m venv .fuzz-venv
        . .fuzz-venv/bin/activate
        pip install -q "$ATHERIS"
        CXX=clang++-$CLANG_VERSION pip install -q -Ccmake.define.ORBISK_FUZZ=ON -Cinstall.strip=false \
            -Cbuild-dir=build/fuzz-native .
        ;;
    python)
        python3 -m venv .fuzz-python-venv
        . .fuzz-python-venv/bin/activate
        pip install -q "$ATHERIS"
        pip install -q -Cbuild-dir=build/fuzz-python .
        ;;
    *)
        echo "fuzz_environment native|python" >&2
        return 2
        ;;
    esac
}

# The interpreter is not instrumented, so on the fuzzing build atheris's ASan and libFuzzer
# runtime is preloaded, as atheris documents for native extensions; so is libstdc++, which the
# interpreter does not load itself: ASan must find the real __cxa_throw at start-up to intercept
# the C++ exceptions our modules throw. PYTHONMALLOC=malloc lets ASan see the interpreter's own
# objects, whose buffers the modules write. The interpreter's allocations are never all freed,
# so leaks are not looked for here: .ci/sanitizers replays the corpora with LeakSanitizer.
fuzzing() {
    if [ "$FUZZ_BUILD" = native ]; then
        LD_PRELOAD="$(python -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so $(clang++-$CLANG_VERSION -print-file-name=libstdc++.so)" \
        PYTHONMALLOC=malloc \
        ASAN_OPTIONS="detect_leaks=0" \
        UBSAN_OPTIONS="print_stacktrace=1" \
            "$@"
    else
        "$@"
    fi
}

# "N runs, E edges (S at start), X exec/s" of a libFuzzer log with -print_final_stats=1.
fuzz_summary() {
    local runs speed seeds edges
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$1")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$1")
    seeds=$(grep -m 1 'INITED' "$1" | grep -o 'cov: [0-9]*' | cut -d ' ' -f 2)
    edges=$(grep -o 'cov: [0-9]*' "$1" | tail -n 1 | cut -d ' ' -f 2)
    echo "$runs runs, $edges edges ($seeds at start), $speed exec/s"
}
