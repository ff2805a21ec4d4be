# Quick start: `make run` starts a demo, `make test` runs every test (plain,
# then under AddressSanitizer and UndefinedBehaviorSanitizer).

.PHONY: all deps build run test test-dev test-asan tsan bench clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake --preset dev >/dev/null
	@cmake --build --preset dev

run: build
	@for demo in textjoin chatlog pathmatch namedgroups pathparts mounts; do \
	  echo "== $$demo"; build/dev/examples/$$demo; echo; \
	done

test: test-dev test-asan

test-dev: deps
	cmake --preset dev >/dev/null
	cmake --build --preset dev
	ctest --preset dev

test-asan: deps
	cmake --preset asan-ubsan >/dev/null
	cmake --build --preset asan-ubsan
	ctest --preset asan-ubsan

tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan
	ctest --preset tsan -R 'Server|Thread'

clean:
	rm -rf build
