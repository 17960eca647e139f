# Entry points for people and CI. Each installs what it is missing first: `make run`, `build`,
# `package` and `install` what building and running need, `make test` and the rest what the
# tests and benchmarks need too (scripts/install-deps.sh names both sets).
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
# The real peers the tests run that are unpacked, not installed (exim).
PEERS      ?= $(abspath $(BUILD))/peers
TEST_ARGS   = -DVANTRO_BUILD_TESTS=ON -DVANTRO_PEERS_DIR=$(PEERS)

.PHONY: deps deps-test configure build run test test-plain test-offline check sanitize tsan flaky bench fuzz clean format package install

deps:
	@scripts/install-deps.sh run

deps-test:
	@scripts/install-deps.sh test
	@scripts/unpack-exim.sh $(PEERS)/exim

# The programs alone: the tests, benchmarks and tools are left out of the build.
configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTRO_BUILD_TESTS=OFF $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: configure
	cmake --build $(BUILD) -j $(JOBS) --target vantrosmtp
	$(BUILD)/app/vantrosmtp

# The habits the README states, checked: formatting and layering; then the whole suite
# (warnings as errors), again under AddressSanitizer and UBSan, and under ThreadSanitizer.
test: check test-plain test-offline sanitize tsan

check: deps-test
	scripts/check-layering.sh
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
	@echo "format: every file as .clang-format has it"

test-plain: deps-test
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTRO_WERROR=ON $(TEST_ARGS) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The plain suite again in a network namespace of its own with only loopback, as on a machine
# offline: no test may need a network or a name server (root only; about a minute). unshare
# makes no mount namespace, so it runs in a chroot whose / is no mount point too; where no
# network namespace can be made, it says why and the plain run's status stands.
test-offline: test-plain
	@if [ "$$(id -u)" -ne 0 ]; then echo "test-offline: needs root for a network namespace; skipped"; exit 0; fi; \
	if ! why=$$(unshare --net true 2>&1); then \
	  echo "test-offline: no network namespace here ($$why); the plain run's status stands"; exit 0; fi; \
	cd $(BUILD) && unshare --net sh -c 'ip link set lo up && ctest --output-on-failure -j $(JOBS)'; \
	status=$$?; echo "test-offline: the suite with loopback only, status $$status"; exit $$status

sanitize: deps-test
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTRO_SANITIZE=ON $(TEST_ARGS) $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

tsan: deps-test
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTRO_TSAN=ON $(TEST_ARGS) $(CMAKE_ARGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  ctest --output-on-failure -j $(JOBS)

# Every test that waits on threads, sockets or child processes, FLAKY_RUNS times each
# (stopping a test at its first failure), plainly and under ThreadSanitizer; prints each test
# that failed at least once with its failure. Long: FLAKY_RUNS=30 takes 84 minutes on two cores.
FLAKY_RUNS ?= 30
flaky: deps-test
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTRO_WERROR=ON $(TEST_ARGS) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTRO_TSAN=ON $(TEST_ARGS) $(CMAKE_ARGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	JOBS=$(JOBS) scripts/flaky.sh $(FLAKY_RUNS) $(BUILD) $(TSAN_BUILD)

# The Debian packages (build/vantrosmtp_<version>_amd64.deb and the MTA's), of the programs
# alone.
package: build
	cd $(BUILD) && cpack -G DEB
	scripts/debug-symbols.sh $(BUILD)

# Installs under /usr/local (or PREFIX=...): program, sample message, desktop entry, icons,
# metainfo and the systemd user unit.
install: build
	cmake --install $(BUILD) --prefix $(or $(PREFIX),/usr/local)

BENCHMARKS = bench_idle_loop bench_smtp_server bench_relay_client bench_end_to_end bench_crash_run \
             bench_token_command bench_sendmail bench_polite_upstreams bench_hostile_upstream \
             bench_delivery_semantics bench_far_upstream bench_oauth

bench: deps-test
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(TEST_ARGS) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target vantrosmtp vantrosmtp-sendmail $(BENCHMARKS)
	$(BUILD)/bench/bench_idle_loop 2
	$(BUILD)/bench/bench_smtp_server 300 60
	$(BUILD)/bench/bench_relay_client 2000
	$(BUILD)/bench/bench_end_to_end $(BUILD)/app/vantrosmtp 3200
	$(BUILD)/bench/bench_end_to_end $(BUILD)/app/vantrosmtp --slow-burst
	$(BUILD)/bench/bench_crash_run $(BUILD)/app/vantrosmtp
	$(BUILD)/bench/bench_token_command $(BUILD)/app/vantrosmtp
	$(BUILD)/bench/bench_sendmail $(BUILD)/app/vantrosmtp $(BUILD)/app/vantrosmtp-sendmail
	$(BUILD)/bench/bench_polite_upstreams $(BUILD)/app/vantrosmtp
	$(BUILD)/bench/bench_hostile_upstream $(BUILD)/app/vantrosmtp
	$(BUILD)/bench/bench_delivery_semantics $(BUILD)/app/vantrosmtp
	$(BUILD)/bench/bench_far_upstream $(BUILD)/app/vantrosmtp
	$(BUILD)/bench/bench_oauth $(BUILD)/app/vantrosmtp

# Long fuzz runs of the inbound server and of the client against hostile upstreams (the suite
# runs short ones).
fuzz: deps-test
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(TEST_ARGS) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target smtpserver_tests smtpclient_tests
	VANTRO_FUZZ_SESSIONS=$${VANTRO_FUZZ_SESSIONS:-50000} VANTRO_FUZZ_SEED=$${VANTRO_FUZZ_SEED:-$$(date +%s)} \
	  $(BUILD)/tests/smtpserver/smtpserver_tests --gtest_filter='SmtpFuzz.*'
	VANTRO_UPSTREAM_FUZZ_SESSIONS=$${VANTRO_UPSTREAM_FUZZ_SESSIONS:-20000} \
	  VANTRO_FUZZ_SEED=$${VANTRO_FUZZ_SEED:-$$(date +%s)} \
	  $(BUILD)/tests/smtpclient/smtpclient_tests --gtest_filter='UpstreamFuzz.*'

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
