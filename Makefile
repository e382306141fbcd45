# Thin wrapper over CMake. `make` builds, `make test` runs every test (plain
# and under AddressSanitizer + UndefinedBehaviorSanitizer).
BUILD      ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 20
JOBS       ?= $(shell nproc)
CMAKE_FLAGS ?=
# The package for this machine's release (make deb): its build folder, and
# the release (auto: this machine's; 12, 13 or their code names).
DEB_BUILD  ?= $(BUILD)/deb
DEBIAN_RELEASE ?= auto
# The releases of make debs, make systemtest and make release-test.
RELEASES   ?= 12 13
# The GoogleTest filter of make release-test.
TESTS      ?= *

.PHONY: all deps build demo test test-plain test-asan bench clean format fuzz faults deb debs \
	release-test systemtest

# Status 77 of a command says this machine cannot run it (it printed
# "SKIPPED: <why>"): that fails make too, unless SKIP=ok (CI), which lets
# the SKIPPED line stand. $(1): the status.
skip_ok = status=$(1); [ $$status -ne 77 ] || [ "$(SKIP)" != ok ] || status=0; exit $$status

all: build

deps:
	@sh scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	bash scripts/demo.sh $(BUILD)

test: test-plain test-asan

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE faults

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DVANTREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS) -LE faults

# The fault-injection run (about a minute and a half, labelled "faults"): the
# real agent against a misbehaving stand-in while its zones file keeps changing.
faults: build
	cd $(BUILD) && ctest -L faults --output-on-failure

# The Debian package for this machine's release, in $(DEB_BUILD)/ (version
# <upstream>-<revision>+deb<N>u1), checked by lintian: any error or warning
# fails.
deb: deps
	cmake -S . -B $(DEB_BUILD) -DVANTREL_TESTS=OFF -DVANTREL_DEBIAN_RELEASE=$(DEBIAN_RELEASE) \
		$(CMAKE_FLAGS)
	cmake --build $(DEB_BUILD) -j $(JOBS)
	rm -f $(DEB_BUILD)/vantrel_*.deb
	cd $(DEB_BUILD) && cpack -G DEB
	lintian --fail-on error,warning $(DEB_BUILD)/vantrel_*.deb

# The packages for every release of RELEASES (as root): "make deb" inside a
# minimal root of each release, bootstrapped once (a few minutes) and kept in
# $(BUILD)/roots/; the packages land in $(BUILD)/debs/ (packaging/release-build.sh).
debs:
	@if [ "$$(id -u)" -eq 0 ]; then sh scripts/install-deps.sh --with-systemtest; fi
	@status=0; bash packaging/release-build.sh $(BUILD) deb $(RELEASES) || status=$$?; \
	$(call skip_ok,$$status)

# The tests matching TESTS, built and run inside the root of every release of
# RELEASES, against that release's tools: make release-test RELEASES=13
# TESTS='ZonesReaderTest.*' holds the zones reader against Debian 13's BIND.
release-test:
	@if [ "$$(id -u)" -eq 0 ]; then sh scripts/install-deps.sh --with-systemtest; fi
	@status=0; bash packaging/release-build.sh $(BUILD) test '$(TESTS)' $(RELEASES) || \
	status=$$?; $(call skip_ok,$$status)

# The system test (tests/system/run.sh, as root, about a minute a release; a
# first run also bootstraps a root of each release, kept in $(BUILD)/roots/):
# each release's package under that release's systemd in a systemd-nspawn
# container, each run bounded to 8 minutes. The worst status counts: a
# failure, else a SKIPPED run (77, see skip_ok), else passed.
systemtest: debs
	@worst=0; for release in $(RELEASES); do status=0; \
		timeout -k 30 480 bash tests/system/run.sh $(BUILD) $$release || status=$$?; \
		[ $$status -eq 0 ] || [ $$worst -ne 0 -a $$worst -ne 77 ] || worst=$$status; \
	done; $(call skip_ok,$$worst)

bench: deps
	cmake -S . -B $(BENCH_BUILD) -DVANTREL_BENCH=ON -DVANTREL_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	sh bench/run.sh $(BENCH_BUILD)

# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS;
# fails when any of them finds a crash or a broken invariant.
fuzz:
	sh scripts/install-deps.sh --with-fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DVANTREL_FUZZ=ON -DVANTREL_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target vantrel_fuzzers
	sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

format:
	clang-format -i *.cpp *.h tests/*.cpp tests/*.h standin/*.cpp standin/*.h bench/*.cpp bench/*.h \
		fuzz/*.cpp fuzz/*.h faults/*.cpp

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD)
