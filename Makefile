# Entry points for people and CI. Every target installs what is missing first.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: deps configure build test clean fuzz install uninstall test-install test-shipped test-asan \
        test-tsan

# Every build is a unity build: a target's sources are compiled a batch at a time, so the heavy
# headers are parsed, and their templates instantiated, once a batch instead of once a file.
COMMON_CMAKE_FLAGS = -DQUORIN_WERROR=ON -DCMAKE_UNITY_BUILD=ON

deps:
	./scripts/install-deps

# The shipped programs (the daemon and the client), optimized, warnings as errors.
configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(COMMON_CMAKE_FLAGS) \
	    -DQUORIN_BUILD_TESTS=OFF -DQUORIN_BUILD_BENCHMARKS=OFF $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Everything CI checks: the shipped programs build, the shipped client reads its allocator
# settings, every test passes under AddressSanitizer and UndefinedBehaviorSanitizer, and the tests
# that race threads pass under ThreadSanitizer.
test: build test-shipped test-install test-asan test-tsan

# Only the shipped client has an allocator of its own (the sanitizers bring theirs), so only there
# can a link that drops its settings be seen: jemalloc then prints its defaults.
test-shipped: build
	@MALLOC_CONF=stats_print:true $(BUILD_DIR)/quorin --version 2>&1 | grep -q 'opt.thp: "always"' \
	    || { echo "test-shipped: quorin does not ask its allocator for huge pages"; exit 1; }

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR)

# The test builds, with clang: every test under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the executable of tests that race threads under ThreadSanitizer (whose clang version models
# the atomics Asio uses). Line tables are enough for the sanitizers' reports and cost far less to
# compile than full debug information.
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan
SANITIZER_CMAKE_FLAGS = -DCMAKE_BUILD_TYPE=Debug '-DCMAKE_CXX_FLAGS_DEBUG=-O1 -gline-tables-only' \
	-DCMAKE_CXX_COMPILER=clang++ $(COMMON_CMAKE_FLAGS) -DQUORIN_BUILD_BENCHMARKS=OFF

test-asan: deps
	cmake -S . -B $(ASAN_DIR) $(SANITIZER_CMAKE_FLAGS) -DQUORIN_SANITIZE=address,undefined
	cmake --build $(ASAN_DIR) -j $(JOBS)
	ctest --test-dir $(ASAN_DIR) --output-on-failure --no-tests=error -j $(JOBS)

test-tsan: deps
	cmake -S . -B $(TSAN_DIR) $(SANITIZER_CMAKE_FLAGS) -DQUORIN_SANITIZE=thread
	cmake --build $(TSAN_DIR) -j $(JOBS) --target QuorinThreadedTests
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(TSAN_DIR) --output-on-failure --no-tests=error \
	    -j $(JOBS) -L threads

# Installs the shipped programs of `make build` (no tests, no benchmarks) under PREFIX: the daemon
# (sbin), the client (bin), the systemd unit naming the daemon there (lib/systemd/system), the
# man pages, and the polkit policy (/usr/share/polkit-1/actions, where polkit reads it), all
# below DESTDIR when it is set. Then `systemctl daemon-reload && systemctl enable --now quorind`
# starts it. CMake lists what it installed in $(BUILD_DIR)/install_manifest.txt, and
# `make uninstall` (with the same DESTDIR) removes exactly those files.
PREFIX ?= /usr/local
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD_DIR) --prefix $(PREFIX)

uninstall:
	@test -f $(BUILD_DIR)/install_manifest.txt \
	    || { echo "uninstall: nothing was installed from $(BUILD_DIR)"; exit 1; }
	@while IFS= read -r file || [ -n "$$file" ]; do rm -f -- "$(DESTDIR)$$file" && echo "removed $(DESTDIR)$$file"; \
	    done < $(BUILD_DIR)/install_manifest.txt
	@rm -f $(BUILD_DIR)/install_manifest.txt

# Installs into a scratch DESTDIR under another prefix and checks the file list, the unit's
# paths, that systemd accepts the unit, and that uninstalling removes everything.
test-install: build
	./scripts/check-install $(BUILD_DIR)

FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = JSONDuplicateKeyValidatorFuzzer ReplayFixtureFuzzer ProtectionConfigurationFuzzer \
    XPCFrameFuzzer SecretRedactorFuzzer LineDiffFuzzer
FUZZ_TARGET ?= $(FUZZ_TARGETS)

# Builds the fuzzers with clang and runs each of FUZZ_TARGET (all of them, one after another, by
# default) for FUZZ_SECONDS. A target's corpus grows in $(FUZZ_DIR)/corpus/<target>, seeded from
# Fuzz/seeds/<target>; the JSON readers also read the example fixtures, which stay where they are.
# A fault stops the run and leaves its input in $(FUZZ_DIR) as <target>-crash-... (or -timeout-,
# -leak-, -oom-).
fuzz: deps
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	    -DQUORIN_WERROR=ON -DQUORIN_BUILD_FUZZERS=ON -DQUORIN_BUILD_TESTS=OFF \
	    -DQUORIN_BUILD_BENCHMARKS=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target $(FUZZ_TARGET)
	@for target in $(FUZZ_TARGET); do \
	    case $$target in \
	        JSONDuplicateKeyValidatorFuzzer|ReplayFixtureFuzzer) extra=Examples/fixtures ;; \
	        *) extra= ;; \
	    esac; \
	    mkdir -p $(FUZZ_DIR)/corpus/$$target && \
	    cp Fuzz/seeds/$$target/* $(FUZZ_DIR)/corpus/$$target/ && \
	    echo "== $$target for $(FUZZ_SECONDS) s" && \
	    $(FUZZ_DIR)/Fuzz/$$target -max_total_time=$(FUZZ_SECONDS) -max_len=65536 -timeout=10 \
	        -artifact_prefix=$(FUZZ_DIR)/$$target- $(FUZZ_DIR)/corpus/$$target $$extra || exit 1; \
	done

DEMO_HOME ?= /home/ana
REPLAY_BENCH_FIXTURE = $(BUILD_DIR)/replay-benchmark.json

.PHONY: demo bench bench-replay bench-daemon

# Replays every example fixture, then writes the AI analysis request for the shell start-up
# scenario with the change to ~/.bashrc shared as a diff. The home directory is fixed so the
# results do not depend on the machine.
demo: build
	@for fixture in Examples/fixtures/*.json; do \
	    echo "== quorin replay $$fixture --home $(DEMO_HOME)"; \
	    $(BUILD_DIR)/quorin replay "$$fixture" --home $(DEMO_HOME) || exit 1; \
	    echo; \
	done
	@echo "== quorin export Examples/fixtures/shell-startup-edited.json --home $(DEMO_HOME) --diff ..."
	@$(BUILD_DIR)/quorin export Examples/fixtures/shell-startup-edited.json --home $(DEMO_HOME) \
	    --diff '~/.bashrc' Examples/files/bashrc-before Examples/files/bashrc-after

BENCH_DIR ?= build-release

# Runs the Google Benchmark programs in a release build of their own.
bench: deps
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORIN_WERROR=ON \
	    -DQUORIN_BUILD_TESTS=OFF
	cmake --build $(BENCH_DIR) -j $(JOBS) --target QuorinBenchmarks
	$(BENCH_DIR)/Benchmarks/QuorinBenchmarks --benchmark_repetitions=3 \
	    --benchmark_report_aggregates_only=true

# Measures the daemon as a process of its own: exec latency with and without it, write-to-record
# latency, 5,000 changes a second for 20 s with its memory, and its idle memory. Needs root: it
# mounts private tmpfs file systems, and the daemon (a stand-in marking only one of them) uses
# fanotify.
bench-daemon: deps
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORIN_WERROR=ON \
	    -DQUORIN_BUILD_TESTS=OFF
	cmake --build $(BENCH_DIR) -j $(JOBS) --target DaemonMeasurements
	$(BENCH_DIR)/Benchmarks/DaemonMeasurements

# Times `quorin replay` of the largest fixture the reading limits allow (about 10 MiB), human
# report and JSON, side by side with Python merely parsing the same file, in alternating runs so
# that the machine's load weighs on all three alike. Wall time and peak memory come from
# /usr/bin/time; hyperfine adds statistics when it is installed.
PYTHON_PARSE = /usr/bin/python3 -c "import json, sys; json.load(open(sys.argv[1]))"
REPLAY_BENCH_RUNS ?= 5

bench-replay: build
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORIN_WERROR=ON \
	    -DQUORIN_BUILD_TESTS=OFF
	cmake --build $(BENCH_DIR) -j $(JOBS) --target GenerateReplayFixture
	$(BENCH_DIR)/Benchmarks/GenerateReplayFixture $(REPLAY_BENCH_FIXTURE)
	@if command -v hyperfine > /dev/null; then \
	    hyperfine --warmup 1 --output=null \
	        '$(PYTHON_PARSE) $(REPLAY_BENCH_FIXTURE)' \
	        '$(BUILD_DIR)/quorin replay $(REPLAY_BENCH_FIXTURE) --home $(DEMO_HOME)' \
	        '$(BUILD_DIR)/quorin replay $(REPLAY_BENCH_FIXTURE) --home $(DEMO_HOME) --json'; \
	fi
	@echo "load average: $$(cut -d' ' -f1-3 /proc/loadavg)"
	@printf '%-6s %-28s %-28s %-28s\n' run "python3 json.load" "quorin replay" "quorin replay --json"
	@for run in $$(seq $(REPLAY_BENCH_RUNS)); do \
	    python=$$( { /usr/bin/time -f "%e s, %M KiB" $(PYTHON_PARSE) $(REPLAY_BENCH_FIXTURE) \
	        > /dev/null; } 2>&1 ) || { echo "failed: python3 json.load"; exit 1; }; \
	    human=$$( { /usr/bin/time -f "%e s, %M KiB" $(BUILD_DIR)/quorin replay \
	        $(REPLAY_BENCH_FIXTURE) --home $(DEMO_HOME) > /dev/null; } 2>&1 ) \
	        || { echo "failed: quorin replay"; exit 1; }; \
	    json=$$( { /usr/bin/time -f "%e s, %M KiB" $(BUILD_DIR)/quorin replay \
	        $(REPLAY_BENCH_FIXTURE) --home $(DEMO_HOME) --json > /dev/null; } 2>&1 ) \
	        || { echo "failed: quorin replay --json"; exit 1; }; \
	    printf '%-6s %-28s %-28s %-28s\n' $$run "$$python" "$$human" "$$json"; \
	done
	@echo "load average: $$(cut -d' ' -f1-3 /proc/loadavg)"
