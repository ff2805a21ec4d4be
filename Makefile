# Quick start: `make run` starts a demo, `make test` runs every test: plain,
# the consumers of an installed library, under AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer, a
# Clang build, and the API reference.

.PHONY: all deps build run install test test-dev test-consumers test-asan \
	tsan test-clang bench soak fuzz clean deb deb-test docs

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake --preset dev >/dev/null
	@cmake --build --preset dev

# `make run` starts minisite; `make run DEMO=ticker PORT=8080` starts another
# demo (`DEMO=ticker-cpp` its C++ twin).  The console demos and minisite take
# no port.  It installs and
# builds only what the demo needs (the release preset, one target).
DEMO ?= minisite
PORT ?= 8080
# The directory fileserve serves (`make run DEMO=fileserve DIR=docs`).
DIR ?= .
CONSOLE_DEMOS := textjoin chatlog pathmatch namedgroups pathparts mounts

run:
	@[ -f "examples/$(DEMO).cpp" ] || [ -f "examples/cpp/$(DEMO:-cpp=).cpp" ] || \
	  { echo "make run: no demo named '$(DEMO)'"; exit 1; }
	@scripts/install-deps run
	@cmake --preset release >/dev/null
	@cmake --build --preset release --target "$(DEMO)"
	@demo=build/release/examples/$(DEMO); \
	case " $(CONSOLE_DEMOS) " in *" $(DEMO) "*) exec "$$demo";; esac; \
	echo "$(DEMO): press Enter to stop"; \
	if [ "$(DEMO)" = minisite ]; then \
	  "$$demo" | sed -u 's|^\(Server running at http://[^ ]*\)$$|\1/home|'; \
	  exit 0; \
	fi; \
	set -- "$(PORT)"; [ "$(DEMO)" != fileserve ] || set -- "$(PORT)" "$(DIR)"; \
	[ "$(DEMO)" != notes ] || set -- "$(PORT)" build/notes-data; \
	"$$demo" "$$@" || \
	  { echo "make run: $(DEMO) did not start (is port $(PORT) free?)"; exit 1; }

# `make install` builds the library shared and static (Release, no tests,
# no demos) and installs both, with the headers, ombrix.pc and the CMake
# package, under PREFIX (default /usr/local), staged in DESTDIR if set.
PREFIX ?= /usr/local

install:
	@scripts/install-deps run
	@for variant in shared static; do \
	  shared=ON; [ $$variant = shared ] || shared=OFF; \
	  cmake -S . -B build/install-$$variant -G Ninja \
	    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$(PREFIX)" \
	    -DBUILD_SHARED_LIBS=$$shared \
	    -DOMBRIX_BUILD_TESTS=OFF -DOMBRIX_BUILD_EXAMPLES=OFF >/dev/null && \
	  cmake --build build/install-$$variant -j 2 && \
	  DESTDIR="$(DESTDIR)" cmake --install build/install-$$variant || exit 1; \
	done

test: test-dev test-consumers test-asan tsan test-clang docs

test-dev: deps
	cmake --preset dev >/dev/null
	cmake --build --preset dev
	ctest --preset dev

# Programs built against a fresh install in a temporary prefix: C11 with
# pkg-config and C++17 with find_package(ombrix), each shared and static.
test-consumers: deps
	tests/consumer/run

test-asan: deps
	cmake --preset asan-ubsan >/dev/null
	cmake --build --preset asan-ubsan
	ctest --preset asan-ubsan

tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan
	ctest --preset tsan -R 'OxHttp|OxRouter|Slowlane|Ticker|Ws|FileCache'

# The library, demos and tests build warning-free with Clang too.
test-clang: deps
	cmake --preset clang >/dev/null
	cmake --build --preset clang
	ctest --preset clang

# `make bench`: the micro-benchmarks, the HTTP load comparison and the 1 GiB
# transfers, each waiting for a quiet machine first; results under
# build/bench/ (*-results.md).
bench:
	@scripts/install-deps bench
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j 2
	SKIP_BUILD=1 MIN_TIME=0.5 bench/micro/run
	SKIP_BUILD=1 bench/http/run
	SKIP_BUILD=1 bench/http/transfer

# `make soak`: normal load beside slow clients, an upload storm and WebSocket
# clients for 60 s
# (bench/soak/run); results in build/bench/soak-results.md.
soak:
	@scripts/install-deps bench
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j 2
	SKIP_BUILD=1 bench/soak/run

# `make fuzz`: each libFuzzer target (Clang, ASan+UBSan) for FUZZ_SECONDS
# seconds, one after the other, then a table of executions and coverage
# (build/fuzz/results.md).  `make fuzz FUZZ_SECONDS=30 FUZZ_TARGETS=router`
# runs one target briefly.  See fuzz/README.md.
FUZZ_SECONDS ?= 600
FUZZ_TARGETS ?=

fuzz:
	@scripts/install-deps fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j 2
	FUZZ_SECONDS="$(FUZZ_SECONDS)" FUZZ_TARGETS="$(FUZZ_TARGETS)" fuzz/run

# `make deb`: the Debian packages libombrix0 and libombrix-dev (debian/),
# built by dpkg-buildpackage in a copy of the tree (build/deb/libombrix/) so
# that they land in build/deb/, then checked by lintian.  `make deb-test`
# installs them with apt and builds a hello server against them.
deb:
	@scripts/install-deps deb
	rm -rf build/deb
	mkdir -p build/deb/libombrix
	tar -cf build/deb/tree.tar --exclude=./build --exclude=./.git \
	  --exclude=node_modules .
	tar -xf build/deb/tree.tar -C build/deb/libombrix
	rm build/deb/tree.tar
	cd build/deb/libombrix && dpkg-buildpackage -b -us -uc -J2
	lintian --fail-on error build/deb/*.changes
	@echo "make deb: the packages are in build/deb/:"; ls -1 build/deb/*.deb

deb-test:
	scripts/deb-test

# `make docs`: the API reference, made by Doxygen (docs/Doxyfile) from the
# comments of the public headers in include/, into build/docs/html/.  Any
# warning fails it, a public name without a doc comment among them.  The
# version comes from OMBRIX_VERSION_STRING in include/ombrix.h.
docs:
	@scripts/install-deps docs
	@rm -rf build/docs && mkdir -p build/docs
	@version=$$(sed -n 's/^#define OMBRIX_VERSION_STRING "\(.*\)"$$/\1/p' \
	  include/ombrix.h); \
	[ -n "$$version" ] || \
	  { echo "make docs: no OMBRIX_VERSION_STRING in include/ombrix.h"; exit 1; }; \
	{ cat docs/Doxyfile; echo "PROJECT_NUMBER = $$version"; } | doxygen - && \
	echo "make docs: libombrix $$version in build/docs/html/index.html"

clean:
	rm -rf build
