# The two commands of a fresh Debian 12 machine: `make demo` and `make test`.
# Each installs what it needs, configures and builds; the build uses both cores.

BUILD_PACKAGES := cmake ninja-build g++ make pkg-config libusb-1.0-0-dev libcli11-dev
# The Python package's wheel is built with Debian's setuptools and wheel, offline.
PYTHON_PACKAGES := python3 python3-pip python3-setuptools python3-wheel python3-venv
TEST_PACKAGES := $(BUILD_PACKAGES) $(PYTHON_PACKAGES) googletest libgtest-dev libbenchmark-dev umockdev \
                 libumockdev-dev python3-pytest python3-numpy mypy
BENCH_PACKAGES := $(BUILD_PACKAGES) libbenchmark-dev umockdev libumockdev-dev
# The kernel test: QEMU under software emulation, usbredir for the boards, and what the guest
# is packed from (its kernel and udev come as .debs, downloaded into build/kernel/debs).
KERNEL_PACKAGES := $(TEST_PACKAGES) qemu-system-x86 libusbredirparser-dev busybox-static cpio \
                   xz-utils
# Windows: the posix-thread mingw-w64 compilers (GoogleTest needs std::thread), GoogleTest's
# sources, and Wine for both architectures; qemu runs 32-bit Wine where the kernel cannot.
WINDOWS_PACKAGES := cmake ninja-build make g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
                    googletest wine wine64 wine32:i386 qemu-user-static

.PHONY: demo test test-tsan test-valgrind test-windows test-kernel windows bench fuzz build install wheel \
        deps-build deps-test deps-bench deps-windows deps-kernel deps-python clean

demo: deps-build
	cmake --preset demo
	cmake --build --preset demo --target quorix_tool
	./build/demo/tools/quorix/quorix --sim demo

test: deps-test
	cmake --preset default
	cmake --build --preset default
	ctest --preset default
	cmake --preset sanitize
	cmake --build --preset sanitize
	ctest --preset sanitize

# The core suite (the scenarios of several threads among it), the simulated library through the
# wrapper, the fault sweep and the soak, built with ThreadSanitizer: any data race or lock-order
# inversion fails the run.
test-tsan: deps-test
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

# The core suite and the fault sweep under valgrind's memcheck: no error, no leak. Minutes, so
# not part of make test.
test-valgrind: deps-valgrind
	cmake --preset default
	cmake --build --preset default --target quorix_tests quorix_fault_sweep
	valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
	  ./build/default/tests/quorix_fault_sweep
	valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
	  ./build/default/tests/quorix_tests

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
test-kernel: deps-kernel
	cmake --preset default
	cmake --build --preset default --target quorix quorix_usbredir_board quorix_guest_test
	tests/kernel/make-guest.sh build/kernel build/default
	python3 tests/kernel/run.py --cache build/kernel --bin build/default --hc $(KERNEL_HC) \
	  --run $(KERNEL_RUN)

# Figures, not verdicts: read rates next to memcpy, the cost of a poll, allocations after open
# on both libraries, and the application loops at the USB 2.0 rate (about two minutes).
bench: deps-bench
	cmake --preset bench
	cmake --build --preset bench --target quorix_bench quorix_stream_loops quorix_native_allocations
	./build/bench/bench/quorix_bench
	TMPDIR=$(CURDIR)/build/bench ./build/bench/bench/quorix_native_allocations
	./build/bench/bench/quorix_stream_loops

# Each fuzz target under libFuzzer for FUZZ_SECONDS (default 60), from its seed corpus in
# tests/fuzz/; what it finds new goes to build/fuzz/corpus/. Crashing inputs are left in the
# current directory (crash-*, or timeout-* for an input that ran past 10 s): keep them in
# tests/fuzz/<target>-regressions/.
FUZZ_SECONDS ?= 60
FUZZERS := firmware_reader_fuzz api_sequence_fuzz hostile_board_fuzz
fuzz: deps-fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz --target $(FUZZERS)
	for fuzzer in $(FUZZERS); do \
	  mkdir -p build/fuzz/corpus/$$fuzzer && \
	  ./build/fuzz/fuzz/$$fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=10 -print_final_stats=1 \
	    build/fuzz/corpus/$$fuzzer tests/fuzz/$$fuzzer tests/fuzz/$$fuzzer-regressions || exit 1; \
	done

build: deps-build
	cmake --preset default
	cmake --build --preset default

# Everything an application needs, into PREFIX (UDEV_RULES_DIR: where the udev rule goes, if
# not lib/udev/rules.d under PREFIX). Builds what is installed, in build/demo, and no tests.
PREFIX ?= /usr/local
install: deps-build
	cmake --preset demo -DCMAKE_INSTALL_PREFIX=$(PREFIX) \
	  $(if $(UDEV_RULES_DIR),-DQUORIX_UDEV_RULES_DIR=$(UDEV_RULES_DIR))
	cmake --build --preset demo
	cmake --install build/demo

# The Python package's wheel, with both libraries inside: build/wheel/quorix-*.whl.
wheel: deps-python
	/usr/bin/python3 -m pip wheel --no-build-isolation --no-deps -w build/wheel .

deps-build:
	@scripts/ensure-packages.sh $(BUILD_PACKAGES)

deps-test:
	@scripts/ensure-packages.sh $(TEST_PACKAGES)

deps-fuzz:
	@scripts/ensure-packages.sh $(BUILD_PACKAGES) clang libclang-rt-14-dev

deps-valgrind:
	@scripts/ensure-packages.sh $(TEST_PACKAGES) valgrind

deps-windows:
	@scripts/ensure-packages.sh $(WINDOWS_PACKAGES)

deps-kernel:
	@scripts/ensure-packages.sh $(KERNEL_PACKAGES)

deps-python:
	@scripts/ensure-packages.sh $(BUILD_PACKAGES) $(PYTHON_PACKAGES)

deps-bench:
	@scripts/ensure-packages.sh $(BENCH_PACKAGES)

clean:
	rm -rf build
