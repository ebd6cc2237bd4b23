# The two commands a newcomer needs; everything else is CMake presets.
#   make test   install what is missing, build, run every test
#   make run    run the host
.PHONY: test run package package-test bench format format-check tidy clean


test:
	scripts/install-deps
	scripts/run-tests

# The host from a release build: on this display, or on a private Xvfb desktop when there is
# none. Ctrl-C stops it and everything it started.
run:
	scripts/install-deps
	cmake --preset release >/dev/null
	cmake --build --preset release --target tavelin
	scripts/run-host

# The Debian package, build/package/tavelin_<version>_<arch>.deb, for
# `sudo apt install ./build/package/tavelin_*.deb`.
package:
	scripts/install-deps
	scripts/build-package

# The package installed on this machine, run by a throwaway ordinary user and purged again
# (as root; the last step of `make test`).
package-test:
	scripts/install-deps
	scripts/test-package

# Figures, not pass or fail: an optimised build against loopback.
bench:
	scripts/install-deps --bench
	cmake --preset release >/dev/null
	cmake --build --preset release --target tavelin_bench_static tavelin_bench_parsing tavelin_bench_capture \
	  tavelin_bench_pipeline tavelin_bench_input tavelin-demo tavelin
	build/release/tests/tavelin_bench_static
	build/release/tests/tavelin_bench_parsing
	build/release/tests/tavelin_bench_capture
	build/release/tests/tavelin_bench_pipeline
	build/release/tests/tavelin_bench_input
	TAVELIN_DEMO=build/release/TavelinHost/tavelin-demo node tests/bench/stream-bench.mjs
	TAVELIN_HOST=build/release/TavelinHost/tavelin node tests/bench/desktop-bench.mjs
	TAVELIN_HOST=build/release/TavelinHost/tavelin node tests/bench/phone-bench.mjs

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

format-check:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror

# Over the clang build's compile commands (the gcc build carries flags clang does not know).
tidy:
	cmake --preset tsan >/dev/null
	git ls-files 'TavelinKit/*.cpp' 'TavelinServer/*.cpp' 'TavelinHost/*.cpp' | xargs clang-tidy -p build/tsan --quiet

clean:
	rm -rf build
