# Two commands do everything on a fresh machine: `make test` and `make demo`. Both install what is missing
# first (Debian packages, when run as root).
.PHONY: all deps build win64 win32 native test demo dist format clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	$(MAKE) win64 win32 native

win64 win32 native:
	cmake --preset $@ >/dev/null
	cmake --build --preset $@ --parallel

test: build
	@[ "$$(id -u)" -eq 0 ] || echo "Not root: the Wine tests need private network namespaces and will be skipped."
	@status=0; ctest --preset native --output-junit junit.xml || status=$$?; \
	  python3 tools/skip-reasons.py build/native/junit.xml; exit $$status

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
