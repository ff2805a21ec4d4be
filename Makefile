# Quick start: `make run` starts a demo, `make test` runs every test (plain,
# then under AddressSanitizer and UndefinedBehaviorSanitizer), then the
# threaded tests under ThreadSanitizer.

.PHONY: all deps build run test test-dev test-asan tsan bench soak fuzz clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake --preset dev >/dev/null
	@cmake --build --preset dev

# `make run` starts minisite; `make run DEMO=ticker PORT=8080` starts another
# demo.  The console demos and minisite take no port.
DEMO ?= minisite
PORT ?= 8080
CONSOLE_DEMOS := textjoin chatlog pathmatch namedgroups pathparts mounts

run: build
	@demo=build/dev/examples/$(DEMO); \
	[ -x "$$demo" ] || { echo "make run: no demo named '$(DEMO)'"; exit 1; }; \
	case " $(CONSOLE_DEMOS) " in *" $(DEMO) "*) exec "$$demo";; esac; \
	echo "$(DEMO): press Enter to stop"; \
	[ "$(DEMO)" != minisite ] || exec "$$demo"; \
	"$$demo" "$(PORT)" || \
	  { echo "make run: $(DEMO) did not start (is port $(PORT) free?)"; exit 1; }

test: test-dev test-asan tsan

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
	ctest --preset tsan -R 'OxHttp|OxRouter|Slowlane|Ticker'

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

# `make soak`: normal load beside slow clients and an upload storm for 60 s
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

clean:
	rm -rf build
