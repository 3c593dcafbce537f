# Front door. `make demo` runs the main job, `make test` every test.
SHELL := /bin/bash
JOBS  ?= $(shell nproc)

.PHONY: all deps wine-deps host demo test windows bench fuzz lint clean nt \
        test-host test-asan test-tsan test-fuzz

all: host

deps:
	@tools/install-deps.sh

# Wine for the tests of the Windows builds (never fails: what is missing is
# reported, and those tests are skipped).
wine-deps: deps
	@tools/install-deps.sh wine

define build_preset
	cmake --preset $(1) >/dev/null
	cmake --build --preset $(1) -j $(JOBS)
endef

host: deps
	$(call build_preset,host)

demo: host
	tools/demo.sh build/host/bin

windows: deps
	$(call build_preset,win-i686)
	$(call build_preset,win-x86_64)

test-host: host windows wine-deps
	ctest --preset host -j $(JOBS)

test-asan: deps
	$(call build_preset,asan)
	ctest --preset asan -j $(JOBS)

test-tsan: deps
	$(call build_preset,tsan)
	ctest --preset tsan -j $(JOBS)

lint: host
	tools/lint.sh build/host

# Every fuzzer for a short bounded run (`make fuzz` runs them longer).
test-fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz --target fuzzers -j $(JOBS)
	tools/fuzz.sh build/fuzz/bin 30

test: test-host test-asan test-tsan test-fuzz lint
	@echo "all test stages passed"

# The real driver on a real NT-family kernel (ReactOS under QEMU): one line
# per check, "N passed, M failed" last; skipped without the image or QEMU.
nt: deps
	tools/nt/run.sh

bench: deps
	$(call build_preset,bench)
	tools/bench.sh build/bench/bin

fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz --target fuzzers -j $(JOBS)
	tools/fuzz.sh build/fuzz/bin 300

clean:
	rm -rf build
