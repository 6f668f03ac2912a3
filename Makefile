# Two commands do everything on a fresh machine: `make test` and `make demo`. Both install what is missing
# first (Debian packages, when run as root).
.PHONY: all deps build win64 win32 native sanitize clang-win64 clang-win32 test lint demo dist format clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	$(MAKE) win64 win32 native

win64 win32 native sanitize clang-win64 clang-win32:
	cmake --preset $@ >/dev/null
	cmake --build --preset $@ --parallel

# Besides the shipped builds: the unit tests and fuzz targets under sanitizers, the program built by Clang
# for both Windows targets, and the lint (whose Windows half reads clang-win64's compile commands).
test: build
	$(MAKE) sanitize clang-win64 clang-win32
	@[ "$$(id -u)" -eq 0 ] || echo "Not root: the Wine tests need private network namespaces and will be skipped."
	@status=0; \
	  ctest --preset native --output-junit junit.xml || status=$$?; \
	  ctest --preset sanitize --output-junit junit.xml || status=$$?; \
	  python3 tools/skip-reasons.py build/native/junit.xml build/sanitize/junit.xml; exit $$status

lint: deps
	cmake --preset clang-win64 >/dev/null
	cmake --preset native >/dev/null
	ctest --preset lint

demo: build
	python3 tools/demo.py

# Release archives in build/dist; signed when QRVX_SIGN_PFX and QRVX_SIGN_PASSWORD are set (see README.md).
dist: deps
	$(MAKE) win64 win32
	python3 tools/dist.py

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
