# The two commands of a fresh Debian 12 machine: `make demo` and `make test`.
# Each installs what it needs, configures and builds; the build uses both cores. `sudo make deps`
# installs the packages alone, for building as a user afterwards.

BUILD_PACKAGES := cmake ninja-build g++ make pkg-config libusb-1.0-0-dev libcli11-dev
# make demo's next steps pipe the tool's JSON through python3 -m json.tool.
DEMO_PACKAGES := $(BUILD_PACKAGES) python3
# The Python package's wheel is built with Debian's setuptools and wheel, offline; numpy is
# what the Python quick start reads into.
PYTHON_PACKAGES := python3 python3-pip python3-setuptools python3-wheel python3-venv python3-numpy
TEST_PACKAGES := $(BUILD_PACKAGES) $(PYTHON_PACKAGES) googletest libgtest-dev libbenchmark-dev umockdev \
                 libumockdev-dev python3-pytest python3-numpy mypy python3-jsonschema
BENCH_PACKAGES := $(BUILD_PACKAGES) libbenchmark-dev umockdev libumockdev-dev
# The kernel test: QEMU under software emulation, usbredir for the boards, and what the guest
# is packed from (its kernel and udev come as .debs, downloaded into build/kernel/debs).
KERNEL_PACKAGES := $(TEST_PACKAGES) qemu-system-x86 libusbredirparser-dev busybox-static cpio \
                   xz-utils
# Windows: the posix-thread mingw-w64 compilers (GoogleTest needs std::thread), GoogleTest's
# sources, CLI11's headers for the tool, and Wine for both architectures; qemu runs 32-bit Wine
# where the kernel cannot.
WINDOWS_PACKAGES := cmake ninja-build make g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
                    googletest libcli11-dev wine wine64 wine32:i386 qemu-user-static

# Root building in a clone that belongs to someone else (sudo make demo) uses build-root/, so
# that the owner's build/ never holds files the owner cannot replace. The presets read the
# suffix from the environment.
ifeq ($(shell id -u),0)
ifneq ($(shell stat -c %u .),0)
export QUORIX_BUILD_SUFFIX := -root
endif
endif
BUILD := build$(QUORIX_BUILD_SUFFIX)
TOOL := ./$(BUILD)/demo/tools/quorix/quorix

.PHONY: demo test test-tsan test-stress test-valgrind test-windows test-kernel windows bench fuzz build install wheel \
        deps deps-build deps-demo deps-test deps-bench deps-windows deps-kernel deps-python check-tree \
        clean packages

demo: deps-demo check-tree
	cmake --preset demo
	cmake --build --preset demo --target quorix_tool
	$(TOOL) --sim demo
	@echo
	@echo "Next steps:"
	@echo "  $(TOOL) --help    every command and its options"
	@echo "  $(TOOL) --sim --sim-state board.state startup set hello    a board that remembers:"
	@echo "      then ... --sim --sim-state board.state --json startup get | python3 -m json.tool"
	@echo "  make test    the whole suite, then again under ASan + UBSan (the README gives its time)"

# The packages of demo, test, wheel and bench, once, as root; then build as yourself.
deps: deps-test

# A build tree that holds another user's files (from a sudo make before build-root/ existed)
# would fail the build halfway; say so first, with the way out.
check-tree:
	@owner=$$(find $(BUILD) ! -user "$$(id -u)" -print -quit 2>/dev/null); \
	if [ -n "$$owner" ]; then \
	  echo "$(BUILD)/ holds files of another user ($$(stat -c %U "$$owner"), from an earlier 'sudo make'?)," >&2; \
	  echo "which this user cannot replace. Give them back with:  sudo chown -R $$(id -un) $(BUILD)" >&2; \
	  echo "or remove them with:  sudo rm -rf $(BUILD)" >&2; \
	  exit 1; \
	fi

test: deps-test check-tree
	cmake --preset default
	cmake --build --preset default
	ctest --preset default
	cmake --preset sanitize
	cmake --build --preset sanitize
	ctest --preset sanitize

# The core suite (the scenarios of several threads among it), the simulated library through the
# wrapper, the fault sweep and the soak, built with ThreadSanitizer: any data race or lock-order
# inversion fails the run.
test-tsan: deps-test check-tree
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

# The thread scenarios under an artificial load (two busy loops beside them): the core's thread
# tests STRESS_REPEAT times, the fork and exit tests of the simulated library, the wrapper's
# suite and the soak. A few minutes. STRESS_WINDOWS=1 adds the Windows suite's thread tests
# under Wine (after make windows).
STRESS_REPEAT ?= 20
STRESS_WINDOWS ?= 0
test-stress: deps-test check-tree
	cmake --preset default
	cmake --build --preset default --target quorix_tests quorix_library_test quorix_wrapper_test \
	  quorix_soak
	scripts/stress.sh $(BUILD)/default $(STRESS_REPEAT) $(STRESS_WINDOWS)

# The core suite and the fault sweep under valgrind's memcheck: no error, no leak. Minutes, so
# not part of make test.
test-valgrind: deps-valgrind check-tree
	cmake --preset default
	cmake --build --preset default --target quorix_tests quorix_fault_sweep
	valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
	  ./$(BUILD)/default/tests/quorix_fault_sweep
	valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
	  ./$(BUILD)/default/tests/quorix_tests

# KV420_FX2.dll and quorix-sim.dll for x64 and x86 (build/windows-x64/bin, build/windows-x86/bin),
# and their tests under Wine in a headless prefix of the project's own.
test-windows: windows
	scripts/wine.sh start
	status=0; ctest --preset windows-x64 || status=1; ctest --preset windows-x86 || status=1; \
	  scripts/wine.sh stop; exit $$status

windows: deps-windows
	cmake --preset windows-x64
	cmake --build --preset windows-x64
	cmake --preset windows-x86
	cmake --build --preset windows-x86

# The native library on the real Linux USB stack: a QEMU guest boots Debian's kernel on EHCI
# and then on xHCI, with two simulated boards served to it over usbredir (tests/kernel/).
# KERNEL_RUN=a,b runs only those scenarios; KERNEL_HC=ehci only that controller.
KERNEL_RUN ?= all
KERNEL_HC ?= ehci,xhci
test-kernel: deps-kernel check-tree
	cmake --preset default
	cmake --build --preset default --target quorix quorix_usbredir_board quorix_guest_test poll_boards
	tests/kernel/make-guest.sh $(BUILD)/kernel $(BUILD)/default
	python3 tests/kernel/run.py --cache $(BUILD)/kernel --bin $(BUILD)/default --hc $(KERNEL_HC) \
	  --run $(KERNEL_RUN)

# Figures, not verdicts: read rates next to memcpy, the cost of a poll, allocations after open
# on both libraries, and the application loops at the USB 2.0 rate (about two minutes).
# Debian's libbenchmark is built without NDEBUG, so it warns that it "was built as DEBUG": that
# is the benchmark library's own build, not Quorix's (Release here).
bench: deps-bench check-tree
	cmake --preset bench
	cmake --build --preset bench --target quorix_bench quorix_stream_loops quorix_queued_loops \
	  quorix_native_allocations
	./$(BUILD)/bench/bench/quorix_bench
	TMPDIR=$(CURDIR)/$(BUILD)/bench ./$(BUILD)/bench/bench/quorix_native_allocations
	./$(BUILD)/bench/bench/quorix_stream_loops
	./$(BUILD)/bench/bench/quorix_queued_loops

# Each fuzz target under libFuzzer for FUZZ_SECONDS (default 60), from its seed corpus in
# tests/fuzz/; what it finds new goes to build/fuzz/corpus/. Crashing inputs are left in the
# current directory (crash-*, or timeout-* for an input that ran past 10 s): keep them in
# tests/fuzz/<target>-regressions/.
FUZZ_SECONDS ?= 60
FUZZERS := firmware_reader_fuzz api_sequence_fuzz hostile_board_fuzz
fuzz: deps-fuzz check-tree
	cmake --preset fuzz
	cmake --build --preset fuzz --target $(FUZZERS)
	for fuzzer in $(FUZZERS); do \
	  mkdir -p $(BUILD)/fuzz/corpus/$$fuzzer && \
	  ./$(BUILD)/fuzz/fuzz/$$fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=10 -print_final_stats=1 \
	    $(BUILD)/fuzz/corpus/$$fuzzer tests/fuzz/$$fuzzer tests/fuzz/$$fuzzer-regressions || exit 1; \
	done

build: deps-build check-tree
	cmake --preset default
	cmake --build --preset default

# Everything an application needs, into PREFIX (UDEV_RULES_DIR: where the udev rule goes, if
# not lib/udev/rules.d under PREFIX). Builds what is installed, in build/demo (build-root/demo
# for sudo make install in another user's clone), and no tests.
PREFIX ?= /usr/local
install: deps-build check-tree
	cmake --preset demo -DCMAKE_INSTALL_PREFIX=$(PREFIX) \
	  $(if $(UDEV_RULES_DIR),-DQUORIX_UDEV_RULES_DIR=$(UDEV_RULES_DIR))
	cmake --build --preset demo
	cmake --install $(BUILD)/demo

# The Python package's wheel, with both libraries inside: build/wheel/quorix-*.whl (build-root/
# for root in another user's clone). The libraries are those of make demo's build, built here
# if needed, so they are built once for both.
wheel: deps-python check-tree
	cmake --preset demo
	cmake --build --preset demo --target quorix quorix-sim
	QUORIX_CMAKE_BUILD=$(CURDIR)/$(BUILD)/demo /usr/bin/python3 -m pip wheel --no-build-isolation \
	  --no-deps -w $(BUILD)/wheel .
	@ls $(BUILD)/wheel/quorix-*.whl

deps-build:
	@scripts/ensure-packages.sh $(BUILD_PACKAGES)

deps-demo:
	@scripts/ensure-packages.sh $(DEMO_PACKAGES)

deps-test:
	@scripts/ensure-packages.sh $(sort $(PACKAGES_test))

deps-fuzz:
	@scripts/ensure-packages.sh $(BUILD_PACKAGES) clang libclang-rt-14-dev

deps-valgrind:
	@scripts/ensure-packages.sh $(TEST_PACKAGES) valgrind

deps-windows:
	@scripts/ensure-packages.sh $(WINDOWS_PACKAGES)

deps-kernel:
	@scripts/ensure-packages.sh $(KERNEL_PACKAGES)

deps-python:
	@scripts/ensure-packages.sh $(sort $(PACKAGES_wheel))

deps-bench:
	@scripts/ensure-packages.sh $(BENCH_PACKAGES)

# What make TARGET installs, for scripts and the tests: make -s packages TARGET=wheel
packages:
	@echo $(sort $(PACKAGES_$(TARGET)))
PACKAGES_demo := $(DEMO_PACKAGES)
PACKAGES_test := $(TEST_PACKAGES) $(DEMO_PACKAGES) $(PYTHON_PACKAGES)
PACKAGES_wheel := $(BUILD_PACKAGES) $(PYTHON_PACKAGES)
PACKAGES_install := $(BUILD_PACKAGES)
PACKAGES_bench := $(BENCH_PACKAGES)
PACKAGES_windows := $(WINDOWS_PACKAGES)
PACKAGES_kernel := $(KERNEL_PACKAGES)

# Root's clean in another user's clone removes build-root/, which that user cannot.
clean:
	rm -rf $(BUILD)
