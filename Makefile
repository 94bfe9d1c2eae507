# The README's commands. Each one installs what is missing first.
JOBS ?= 2

.PHONY: deps build test run demo install package bench soak fuzz clean

PREFIX ?= $(HOME)/.local

FUZZ_SECONDS ?= 60

deps:
	@scripts/install-deps

build: deps
	cmake --preset default
	cmake --build --preset default -j$(JOBS)

test: deps
	cmake --preset asan
	cmake --build --preset asan -j$(JOBS)
	ctest --preset asan

# The menu application where there is a display, else the agent in the
# terminal. WATCH=DIR watches a folder instead of reading Capture One; ARGS
# are passed on (ARGS=--headless keeps it in the terminal).
run: build
	@exec build/bin/vantle-agent $(if $(WATCH),--watch "$(WATCH)") $(ARGS)

# A short session end to end: the stand-in capture application, the agent and
# a companion on a private session bus, then all three stop.
demo: build
	@scripts/demo build/bin

# The executables, the applications-menu entry, the icons and the systemd
# user unit, under PREFIX (~/.local by default).
install: build
	cmake --install build --prefix "$(PREFIX)"

# A Debian package, in build/, checked by lintian when it is installed:
# an error fails the target.
package: build
	rm -f build/*.deb
	cd build && cpack
	@if command -v lintian >/dev/null; then lintian --fail-on error build/*.deb; \
	else echo "lintian is not installed: the package is not checked"; fi

# Runs every benchmark, even after one misses its target; fails if any did.
bench: build
	@ran=0; missed=""; for b in build/bin/bench_*; do \
		[ -x "$$b" ] || continue; ran=1; echo "== $$b"; "$$b" || missed="$$missed $$b"; \
	done; [ $$ran -eq 1 ] || echo "No benchmarks are built yet."; \
	if [ -n "$$missed" ]; then echo "Missed a target:$$missed"; exit 1; fi

# A shooting day compressed into ten minutes (VANTLE_SOAK_MINUTES), over the
# real agent, the stand-in capture application and ten companions.
soak: build
	build/bin/vantle-soak

# Fuzzes the message decoder for FUZZ_SECONDS; needs clang. Not part of `make test`.
fuzz: deps
	@command -v clang++ >/dev/null || { echo "make fuzz needs clang++ (apt-get install clang)"; exit 1; }
	cmake --preset fuzz
	cmake --build --preset fuzz -j$(JOBS)
	mkdir -p build/fuzz/corpus/message
	build/fuzz/bin/fuzz_message -max_total_time=$(FUZZ_SECONDS) build/fuzz/corpus/message fuzz/corpus/message

clean:
	rm -rf build
