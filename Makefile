# Developer chores that are not part of the package build.
#   make fuzz [FUZZ_SECONDS=120]   run every libFuzzer target for a bounded time (needs clang-14)
#   make sanitize-tests            run the pytest suite against an ASan+UBSan build of the extension
#   make cpp-tests                 build and run the C++ checks of the core
#   make bench                     run every benchmark script

PYTHON ?= python3
FUZZ_SECONDS ?= 60
FUZZ_BUILD := build/fuzz
ASAN_BUILD := build/asan
DEV_BUILD := build/dev

.PHONY: fuzz fuzz-build fuzz-corpus sanitize-tests cpp-tests bench

fuzz-build:
	@test -f $(FUZZ_BUILD)/build.ninja || CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) -G Ninja \
	    -DSKARVO_FUZZ=ON -DSKARVO_PYTHON=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_BUILD)

fuzz-corpus:
	$(PYTHON) fuzz/make_corpus.py $(FUZZ_BUILD)/corpus

fuzz: fuzz-build fuzz-corpus
	@set -e; for target in $(FUZZ_BUILD)/fuzz_*; do \
	    name=$$(basename $$target); \
	    mkdir -p $(FUZZ_BUILD)/found/$$name; \
	    echo "== $$name ($(FUZZ_SECONDS) s)"; \
	    $$target -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
	        -artifact_prefix=$(FUZZ_BUILD)/found/$$name/ $(FUZZ_BUILD)/corpus/$$name 2>&1 \
	        | grep -E '^(Done|==[0-9]+==|SUMMARY|.*ERROR)' ; \
	done

sanitize-tests:
	@test -f $(ASAN_BUILD)/build.ninja || cmake -S . -B $(ASAN_BUILD) -G Ninja -DSKARVO_SANITIZE=ON \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -Dpybind11_DIR="$$($(PYTHON) -m pybind11 --cmakedir)" \
	    -DPython_EXECUTABLE="$$(command -v $(PYTHON))"
	cmake --build $(ASAN_BUILD)
	# CPython keeps its own allocations until exit, so leak checking is off;
	# every other ASan and UBSan report aborts the run.
	# libstdc++ is preloaded too, so that C++ exceptions thrown inside the
	# extension unwind through the sanitizer's interceptors.
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=$(ASAN_BUILD):python SKARVO_SANITIZED=1 $(PYTHON) -m pytest -p no:cacheprovider

cpp-tests:
	scripts/dev-build.sh $(DEV_BUILD) -DSKARVO_CPP_TESTS=ON
	cmake -DSKARVO_CPP_TESTS=ON $(DEV_BUILD) >/dev/null
	cmake --build $(DEV_BUILD)
	@set -e; for t in $(DEV_BUILD)/test_*; do echo "== $$t"; $$t; done

bench:
	@set -e; for b in benchmarks/bench_*.py; do echo "== $$b"; PYTHONPATH=$(DEV_BUILD):python $(PYTHON) $$b; done
