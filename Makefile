# Entry points for people and CI. Every target installs what is missing first.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: deps configure build test clean fuzz install

deps:
	./scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DQUORIN_WERROR=ON $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR)

# Installs the daemon (/usr/local/sbin), the client (/usr/local/bin) and the systemd unit; then
# `systemctl daemon-reload && systemctl enable --now quorind` starts it.
install: build
	cmake --install $(BUILD_DIR)

FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_CORPUS = $(FUZZ_DIR)/corpus/JSONDuplicateKeyValidator

# Builds the fuzzers with clang and runs the JSON validator's for FUZZ_SECONDS. Its corpus grows
# in $(FUZZ_CORPUS), seeded from Fuzz/seeds and the example fixtures.
fuzz: deps
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	    -DQUORIN_WERROR=ON -DQUORIN_BUILD_FUZZERS=ON -DQUORIN_BUILD_TESTS=OFF \
	    -DQUORIN_BUILD_BENCHMARKS=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target JSONDuplicateKeyValidatorFuzzer
	mkdir -p $(FUZZ_CORPUS)
	cp Fuzz/seeds/*.json $(wildcard Examples/fixtures/*.json) $(FUZZ_CORPUS)/
	$(FUZZ_DIR)/Fuzz/JSONDuplicateKeyValidatorFuzzer -max_total_time=$(FUZZ_SECONDS) \
	    -max_len=65536 -timeout=10 -artifact_prefix=$(FUZZ_DIR)/ $(FUZZ_CORPUS)

DEMO_HOME ?= /home/ana
REPLAY_BENCH_FIXTURE = $(BUILD_DIR)/replay-benchmark.json

.PHONY: demo bench bench-replay

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

# Times `quorin replay` of the largest fixture the reading limits allow (about 10 MiB), human
# report and JSON. Wall time and peak memory come from /usr/bin/time; hyperfine adds statistics
# when it is installed.
bench-replay: build
	$(BUILD_DIR)/Benchmarks/GenerateReplayFixture $(REPLAY_BENCH_FIXTURE)
	@if command -v hyperfine > /dev/null; then \
	    hyperfine --warmup 1 --output=null \
	        '$(BUILD_DIR)/quorin replay $(REPLAY_BENCH_FIXTURE) --home $(DEMO_HOME)' \
	        '$(BUILD_DIR)/quorin replay $(REPLAY_BENCH_FIXTURE) --home $(DEMO_HOME) --json'; \
	fi
	@for format in "" --json; do \
	    if [ -x /usr/bin/time ]; then \
	        /usr/bin/time -f "quorin replay $$format: wall %e s, max RSS %M KiB" \
	            $(BUILD_DIR)/quorin replay $(REPLAY_BENCH_FIXTURE) --home $(DEMO_HOME) $$format \
	            > /dev/null || exit 1; \
	    else \
	        echo "quorin replay $$format:"; \
	        bash -c "time $(BUILD_DIR)/quorin replay $(REPLAY_BENCH_FIXTURE) --home $(DEMO_HOME) $$format > /dev/null" || exit 1; \
	    fi; \
	done
