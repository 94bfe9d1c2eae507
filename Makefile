# The README's commands. Each one installs what is missing first.
JOBS ?= 2

.PHONY: deps build test run bench clean

deps:
	@scripts/install-deps

build: deps
	cmake --preset default
	cmake --build --preset default -j$(JOBS)

test: deps
	cmake --preset asan
	cmake --build --preset asan -j$(JOBS)
	ctest --preset asan

run: build
	@if [ -x build/bin/vantle-agent ]; then \
		exec build/bin/vantle-agent $(ARGS); \
	else \
		echo "The agent is not built yet: everything else is built under build/."; \
	fi

bench: build
	@set -e; ran=0; for b in build/bin/bench_*; do \
		[ -x "$$b" ] || continue; ran=1; echo "== $$b"; "$$b"; \
	done; [ $$ran -eq 1 ] || echo "No benchmarks are built yet."

clean:
	rm -rf build
