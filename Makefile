# Thin wrapper around CMake. Release programs land in build/, the sanitized
# test build in build/test/.
ROOT     := $(CURDIR)
RELEASE  := build/release
TESTDIR  := build/test
TSANDIR  := build/tsan
JOBS     ?= 2
# Every sanitizer report is fatal, leaks included (the black-box harness sets
# the same, with the reports in a file per server).
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: all run test test-build unit integration rooms tsan bench soak dropout descriptors fuzz deps test-deps clean

all: deps
	@cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release -DKV_OUTPUT_DIR=$(ROOT)/build >/dev/null
	@cmake --build $(RELEASE) -j $(JOBS)

# Runs the server in the foreground with every file it keeps under var/.
run: all
	@mkdir -p var
	@cp -f build/config.htm var/config.htm  # the help page lives in the installation directory
	KORVANET_REGISTRY=$(ROOT)/var/registry.reg KORVANET_HOME=$(ROOT)/var/ ./build/korvanet

deps:
	@scripts/install-deps.sh build

test-deps:
	@scripts/install-deps.sh test

test-build: test-deps
	@cmake -S . -B $(TESTDIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_SANITIZE=ON -DKV_TESTS=ON -DKV_OUTPUT_DIR=$(ROOT)/$(TESTDIR) >/dev/null
	@cmake --build $(TESTDIR) -j $(JOBS)

unit: test-build
	@set -e; for t in $(TESTDIR)/unit/unit_*; do echo "== $$t"; $(SANITIZER_ENV) $$t --gtest_brief=1; done

integration: test-build
	KORVANET_BIN=$(ROOT)/$(TESTDIR)/korvanet scripts/run-integration.sh

# Each room includes only the rooms below it (the order in CMakeLists.txt).
rooms:
	@scripts/check-rooms.sh

# The fuzz targets build and run beside the tests, at idle priority: the
# black-box suite mostly waits (protocol time-outs, pauses), and the fuzzers
# take only the time it leaves. Two at a time, the thirteen share about two
# minutes; a starved input gets a minute before it counts as a hang.
test: rooms test-build
	@chrt --idle 0 nice -n 19 env KV_FUZZ_TIMEOUT=60 scripts/run-fuzz.sh 17 >build/fuzz-run.log 2>&1 & fuzz=$$!; \
	status=0; $(MAKE) --no-print-directory unit integration || status=1; \
	echo "== fuzz targets"; wait $$fuzz || status=1; cat build/fuzz-run.log; exit $$status

# Every unit program, and the black-box modules that load threads (parallel
# proxy requests with hits and followers, mail delivery beside POP3, kills from
# the status page, apply and restart while serving), under ThreadSanitizer: any
# report fails the run.
TSAN_MODULES := test_cache.py test_mail_smtp.py test_mail_pop3.py test_mail_durability.py test_admin.py \
                test_config_apply.py test_host.py test_proxy.py
tsan: test-deps
	@cmake -S . -B $(TSANDIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_TSAN=ON -DKV_TESTS=ON -DKV_OUTPUT_DIR=$(ROOT)/$(TSANDIR) >/dev/null
	@cmake --build $(TSANDIR) -j $(JOBS)
	@set -e; for t in $(TSANDIR)/unit/unit_*; do echo "== $$t"; TSAN_OPTIONS=halt_on_error=1 $$t --gtest_brief=1; done
	KORVANET_SANITIZER=thread KORVANET_BIN=$(ROOT)/$(TSANDIR)/korvanet scripts/in-netns.sh /usr/bin/python3 -m pytest \
	    -q -p no:cacheprovider $(addprefix tests/integration/,$(TSAN_MODULES))

bench: all
	@scripts/install-deps.sh bench
	@cmake -S . -B $(RELEASE) -DKV_BENCH=ON >/dev/null
	@cmake --build $(RELEASE) -j $(JOBS) --target name_cache_bench dial_cycle_bench
	bench/run.sh
	bench/dns_run.sh

# 120 connections of every kind for SOAK_MINUTES (default 20) against the
# release build, in a namespace of its own; KORVANET_BIN picks another build.
soak: all
	@scripts/install-deps.sh bench
	scripts/in-netns.sh /usr/bin/python3 bench/soak.py $${KORVANET_BIN:-$(ROOT)/build/korvanet}

# How long a silent client and one sending a byte every 5 s hold each TCP
# port, with Timeout 2, against the release build (about 5 minutes).
dropout: all
	scripts/in-netns.sh /usr/bin/python3 bench/slow_clients.py $${KORVANET_BIN:-$(ROOT)/build/korvanet}

# The release build started with 64 descriptors and held out of them for a
# minute: its 3405 entries, its CPU meanwhile, and each service's recovery.
descriptors: all
	scripts/in-netns.sh /usr/bin/python3 bench/descriptors_bench.py $${KORVANET_BIN:-$(ROOT)/build/korvanet}

fuzz:
	@scripts/run-fuzz.sh 600

clean:
	rm -rf build

FORCE:
