# Two commands do everything on a fresh machine: `make test` and `make demo`. Both install what is missing
# first (Debian packages, when run as root).
.PHONY: all deps build win64 win32 native sanitize clang-win64 clang-win32 test lint demo dist format clean

all: build

deps:
	@tools/install-deps.sh

# The shipped programs for both targets, and the native unit tests with the fakes.
BUILDS = win64 win32 native

build: deps
	$(MAKE) $(BUILDS)

win64 win32 native sanitize clang-win64 clang-win32:
	cmake --preset $@ >/dev/null
	cmake --build --preset $@ --parallel

# The native tests run 24 at a time: most of them wait (on Wine's time-outs, a slow server, a service's
# stop), each Wine test in a namespace and a Wine prefix of its own. At 16, the last of them started minutes
# late, behind tests that only waited, while a fifth of the processors' time went unused. The sanitize
# preset's tests run beside them, two at a time.
NATIVE_JOBS ?= 24

# Besides the shipped builds: the unit tests and fuzz targets under sanitizers, the program built by Clang
# for both Windows targets, and the lint (whose Windows half reads clang-win64's compile commands).
# - The chroot of the other Debian release's Wine, when there is none yet, is made from the start, while
#   everything is built, then its template prefix is booted: the tests under that Wine wait for both, and the
#   slowest of them need minutes of their own after that. The host's Wine boots its template meanwhile, so
#   that its tests start with the rest. The machine is busy throughout, so these go first (nice -10, when
#   root; the tests that would make them otherwise find them made).
# - The second build that release_reproducible compares with build/ is made beside the first, from a copy of
#   the sources (tests/release/test_reproducible.py): among the tests, it was starved by the rest for
#   minutes. The tests do not wait for it: release_reproducible does.
# - The three shipped builds are made side by side: one after the other, each one's serial steps (the
#   precompiled header, the links) left a processor idle.
# - The lint (label lint) needs no build, only the native and clang-win64 compile commands: it runs from the
#   start, behind everything else (nice 10), in the time the rest leaves idle, and the native tests without it.
#   Among them, it took a fixed share of the processors from tests that then waited longer.
# - The sanitize and Clang builds go on while the native preset's tests run, most of which wait; the Clang
#   builds, which nothing waits for, behind the rest (nice 10). The sanitize preset's tests follow its own
#   build, not the Clang ones, and that build goes first among them (nice -5, when root): at the pace of the
#   rest it ended minutes later, and its fuzz targets, which run for a time of their own, were all that ran at
#   the end.
test: deps
	@[ "$$(id -u)" -eq 0 ] || echo "Not root: the Wine tests need private network namespaces and will be skipped."
	@mkdir -p build; { nice -n -10 sh -c 'python3 tests/wine/wine_release.py make && \
	    QRVX_WINE_RELEASE=$$(python3 tests/wine/wine_release.py other) python3 tests/wine/rig.py --template'; \
	  } >build/wine-chroot.log 2>&1 & chroot=$$!; \
	  nice -n -10 sh -c 'QRVX_WINE_RELEASE=$$(python3 tests/wine/wine_release.py host) python3 tests/wine/rig.py \
	    --template' >build/wine-template.log 2>&1 & template=$$!; \
	  python3 tests/release/test_reproducible.py --second-build >build/reproducible-second.log 2>&1 & second=$$!; \
	  status=0; \
	  { cmake --preset native >/dev/null && cmake --preset clang-win64 >/dev/null; } || \
	    { wait; exit 1; }; \
	  nice -n 10 ctest --preset lint -j 4 --output-junit junit-lint.xml >build/lint.log 2>&1 & lint=$$!; \
	  ( $(MAKE) --no-print-directory -j3 --output-sync=target $(BUILDS) && \
	    for preset in sanitize clang-win32; do cmake --preset $$preset >/dev/null || exit 1; done \
	  ) || { wait; exit 1; }; \
	  { nice -n -5 cmake --build --preset sanitize --parallel 2 && \
	    ctest --preset sanitize -j 2 --output-junit junit.xml; } >build/sanitize/ctest.log 2>&1 & sanitize=$$!; \
	  { nice -n 10 cmake --build --preset clang-win64 --parallel 2 && \
	    nice -n 10 cmake --build --preset clang-win32 --parallel 2; } >build/clang-win64/build.log 2>&1 & clang=$$!; \
	  ctest --preset native -LE lint -j $(NATIVE_JOBS) --output-junit junit.xml || status=$$?; \
	  wait $$lint || status=1; \
	  wait $$sanitize || status=$$?; \
	  wait $$clang || { status=1; cat build/clang-win64/build.log; }; \
	  wait $$chroot; wait $$template; \
	  wait $$second || cat build/reproducible-second.log; \
	  echo "--- the lint, run meanwhile (build/lint.log):"; \
	  cat build/lint.log; \
	  echo "--- the sanitize build and its tests, run meanwhile (build/sanitize/ctest.log; the Clang builds' is" \
	    "build/clang-win64/build.log):"; \
	  cat build/sanitize/ctest.log; \
	  python3 tools/skip-reasons.py build/native/junit.xml build/native/junit-lint.xml build/sanitize/junit.xml; \
	  exit $$status

lint: deps
	cmake --preset clang-win64 >/dev/null
	cmake --preset native >/dev/null
	ctest --preset lint

demo: build
	python3 tools/demo.py

# Release archives in build/dist; signed when QRVX_SIGN_PFX and QRVX_SIGN_PASSWORD are set (see docs/building-and-testing.md).
dist: deps
	$(MAKE) win64 win32
	python3 tools/dist.py

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
