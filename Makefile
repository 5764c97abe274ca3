# Front door over CMake. `make run` and `make test` are all a fresh Debian 12
# machine needs: each installs what is missing first.

BUILD_DIR   ?= build
ASAN_DIR    ?= build-asan
FUZZ_DIR    ?= build-fuzz
BUILD_TYPE  ?= RelWithDebInfo
JOBS        ?= $(shell nproc)
FUZZ_SECONDS ?= 60

# Debian packages: to build and test (the window's X tests run under a virtual
# X server driven by xdotool; the desktop entry, metainfo and man pages are
# validated; the ledger's tests start a PostgreSQL server of their own and open
# its CSV export in a spreadsheet, Gnumeric's ssconvert; the operator view is
# drawn in a tmux pane), to take screenshots, and to fuzz.
PACKAGES       := cmake make g++ pkg-config qt6-base-dev qt6-serialport-dev qt6-charts-dev \
                  libfontconfig-dev \
                  libxcb1-dev fonts-liberation \
                  xvfb xauth xdotool appstream desktop-file-utils groff-base tmux \
                  libqt6sql6-sqlite libqt6sql6-psql libpq-dev postgresql gnumeric
BENCH_PACKAGES := imagemagick xterm
FUZZ_PACKAGES  := clang libclang-rt-14-dev
PACKAGE_PACKAGES := dpkg-dev

.PHONY: all deps deps-bench deps-fuzz deps-package build run test sanitize bench fuzz screenshots package clean

all: build

deps:
	@scripts/install-packages.sh $(PACKAGES)

deps-bench: deps
	@scripts/install-packages.sh $(BENCH_PACKAGES)

deps-fuzz: deps
	@scripts/install-packages.sh $(FUZZ_PACKAGES)

deps-package: deps
	@scripts/install-packages.sh $(PACKAGE_PACKAGES)

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	@scripts/run-with-emulator.sh $(BUILD_DIR)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

sanitize: deps
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DKORVA_SANITIZE=ON
	cmake --build $(ASAN_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	ctest --test-dir $(ASAN_DIR) --output-on-failure

bench: deps-bench build
	xvfb-run -a -s "-screen 0 1024x768x24" $(BUILD_DIR)/korva-bench

fuzz: deps-fuzz
	@FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_DIR=$(FUZZ_DIR) scripts/fuzz.sh

screenshots: deps-bench build
	xvfb-run -a -s "-screen 0 1024x768x24" scripts/screenshots.sh $(BUILD_DIR) docs

package: deps-package build
	cd $(BUILD_DIR) && cpack -G DEB

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(FUZZ_DIR)
