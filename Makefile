# Two commands do everything on a fresh machine: `make test` and `make demo`. Both install what is missing
# first (Debian packages, when run as root).
.PHONY: all deps build win64 win32 native test demo format clean

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

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
