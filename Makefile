# The two commands a fresh clone needs: `make run` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
GENERATOR  := -G Ninja
JOBS       ?= $(shell nproc)

.PHONY: all deps configure build run test asan bench clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/bin/qordex

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

asan: deps
	@cmake -S . -B $(ASAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DQORDEX_SANITIZE=ON
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
		ctest --output-on-failure -j $(JOBS) --timeout 900
	@bash scripts/fuzz-smoke.sh

bench: build
	@bash bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz
