# The two commands of the README, plus the pieces they are made of.
BUILD ?= build
ASAN_BUILD ?= build-asan
ARM64_BUILD ?= build-arm64
JOBS ?= 2
# Keeps the nested builds from printing every directory they enter.
MAKEFLAGS += --no-print-directory

.PHONY: all deps deps-run deps-package build build-only run check test test-all test-fast test-asan demo bench fuzz format format-check clean \
	package install-check tidy bench-server bench-network status-page-shot \
	deps-arm64 configure-arm64 package-arm64 test-arm64 install-check-arm64

all: build

deps:
	@tools/install-deps.sh test

deps-run:
	@tools/install-deps.sh run

deps-package:
	@tools/install-deps.sh package

# cpack builds the whole tree before packaging unless told otherwise; package builds only what
# the packages hold, and make test builds everything before cpack runs as a test.
CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
	-DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null

# Builds only; installing what is missing belongs to run and test.
build: build-only

build-only:
	@$(CONFIGURE)
	@cmake --build $(BUILD) -j$(JOBS)

# $(call quiet_build,TARGETS): only those, and silent when they are up to date; the build's
# output is shown when it fails.
define quiet_build
	@$(CONFIGURE)
	@log=$$(mktemp) && trap 'rm -f "$$log"' EXIT && \
		if ! cmake --build $(BUILD) -j$(JOBS) --target $(1) >"$$log" 2>&1; then \
			cat "$$log"; exit 1; \
		fi; \
		n=$$(grep -c "Building CXX" "$$log"); [ "$$n" = 0 ] || echo "Built Kavlink ($$n files compiled)."
endef

# Without a display Kavlink goes headless by itself and says so.
PROGRAMS = kavlink kavlink-server kavlink-lan
run: deps-run
	$(call quiet_build,$(PROGRAMS))
	@$(BUILD)/kavlink $(ARGS)

test-fast: deps build-only
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKAVLINK_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS)

# test-fast builds the packages, checks them and installs them into a temporary root as well;
# test-arm64 does all of it again for arm64 under the emulator (README: what it adds).
test: format-check test-fast test-asan

# Everything: test, and the arm64 part under the emulator. CI runs this.
test-all: test test-arm64

# The quick loop: the incremental normal build and every test but the package, desktop and
# real-reconnect ones.
check: deps build-only
	@cd $(BUILD) && ctest -j$(JOBS) -LE 'packages|desktop|real-reconnect' --output-on-failure

# kavlink_VERSION_ARCH.deb and kavlink-server_VERSION_ARCH.deb in $(BUILD)/packages/.
package: deps-package
	$(call quiet_build,$(PROGRAMS) kavlink_packaging_files)
	@cd $(BUILD) && cpack -G DEB

# The packages unpacked outside the build tree, and the installed programs relaying.
install-check: package
	@packaging/install_check.sh $(BUILD)/packages .

# arm64 cross-built on this machine with Debian's multiarch packages, its programs and tests run
# under user-mode emulation (cmake/aarch64-linux-gnu.cmake).
deps-arm64:
	@tools/install-deps.sh arm64

# cpack builds the whole tree before packaging unless told otherwise; package-arm64 builds only
# what the packages hold, and test-arm64 builds everything before cpack runs as a test.
configure-arm64: deps-arm64
	@cmake -S . -B $(ARM64_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
		-DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON --no-warn-unused-cli >/dev/null

# kavlink_VERSION_arm64.deb and kavlink-server_VERSION_arm64.deb in $(ARM64_BUILD)/packages/.
package-arm64: configure-arm64
	@cmake --build $(ARM64_BUILD) -j$(JOBS) --target kavlink kavlink-server kavlink-lan kavlink_packaging_files
	@cd $(ARM64_BUILD) && cpack -G DEB

# Every test but the desktop check (an X server and a tray host of arm64 are not worth
# emulating), the packages' checks and install check included. A test that times out runs once
# more: the emulator has stalled an end-to-end test once without a word (a failure still fails).
test-arm64: configure-arm64
	@cmake --build $(ARM64_BUILD) -j$(JOBS)
	cd $(ARM64_BUILD) && ctest --output-on-failure -j$(JOBS) -LE desktop --repeat after-timeout:2

install-check-arm64: package-arm64
	@KAVLINK_EMULATOR=qemu-aarch64-static packaging/install_check.sh $(ARM64_BUILD)/packages .

# Speed and memory side by side with socat, on loopback; bounded, prints one table.
bench: deps-run build-only
	@tools/install-deps.sh bench
	@python3 bench/relay_bench.py $(BUILD) $(BENCH_ARGS)
	@python3 bench/stale_time.py $(BUILD)
	@$(BUILD)/bench_server

demo: deps-run
	$(call quiet_build,$(PROGRAMS))
	@tools/demo.sh $(BUILD)

# The tunnel server under load and attack next to ncat --broker, one table (about 7 minutes),
# then its guard against many addresses and the real Kavlink, another (about 12 minutes;
# GUARD_ROWS and GUARD_WRONG_S shorten it). SERVER_BEFORE=path/to/an/older/kavlink-server adds
# a column to both. The bench tools come first: the load tool's TLS clients build with libssl-dev.
bench-server: deps-run
	@tools/install-deps.sh bench
	@$(MAKE) build-only
	@bench/bench_server.sh $(BUILD) $(SERVER_BEFORE)
	@python3 bench/server_guard.py $(BUILD) $(SERVER_BEFORE)

# The tunnel on a real network: wall clock steps, a 90 s blackout with HeartBeat on, split
# log-in prompts and a server name that moves, in namespaces of its own (about three minutes;
# needs root for the link emulator's tun devices; NETWORK_BEFORE=path/to/an/older/kavlink adds
# a column).
bench-network: deps-run build-only
	@tools/install-deps.sh bench
	@python3 bench/tunnel_network.py $(BUILD) $(NETWORK_BEFORE)

# The README's screenshot of the server's status page, by headless Chromium.
status-page-shot: deps-run build-only
	@tools/install-deps.sh docs
	@python3 tools/status_page_shot.py $(BUILD) docs/status-page.png

fuzz:
	@tools/install-deps.sh fuzz
	@CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVLINK_FUZZ=ON >/dev/null
	@cmake --build build-fuzz -j$(JOBS)

# clang-tidy's small set (.clang-tidy) over our code, with the GCC build's compile commands
# (clang skips the warning options only GCC knows).
tidy: build-only
	@tools/install-deps.sh tidy
	@run-clang-tidy -quiet -j$(JOBS) -p $(BUILD) -extra-arg=-Wno-unknown-warning-option "$$PWD/(core|relay|links|hub|ui|app|server|lantool|tests)/" >$(BUILD)/tidy.log 2>&1 \
		|| { grep -E "warning:|error:" $(BUILD)/tidy.log; exit 1; }

format:
	@tools/sources.sh | xargs clang-format -i

format-check: deps
	@files=$$(tools/sources.sh) && [ -n "$$files" ] && clang-format --dry-run --Werror $$files

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(ARM64_BUILD) build-fuzz
