# The two commands of the README: `make run` (build and monitor the example configuration)
# and `make test` (install what the tests need, build every variant and run every test);
# `make dist` builds the release packages.
.PHONY: build run test bench dist clean

build:
	scripts/deps.sh runtime
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSTVIGIL_TESTS=OFF >/dev/null
	cmake --build build -j$$(nproc) --target hostvigil

# Runs in run/, a copy of examples/ that is made once and then kept, so your edits stay.
run: build
	mkdir -p run
	for f in examples/hostvigil_host.txt examples/hostvigil_email.txt; do \
		[ -e run/$$(basename $$f) ] || cp $$f run/; done
	cd run && ../build/hostvigil

test:
	scripts/test.sh

bench:
	scripts/bench.sh

# Release packages through CPack into dist/: the Linux archive and Debian package, then the
# Windows zip from the mingw-w64 cross build.
dist:
	cmake -S . -B build-dist -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSTVIGIL_TESTS=OFF >/dev/null
	cmake --build build-dist -j$$(nproc)
	cd build-dist && cpack
	cmake -S . -B build-dist-windows -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSTVIGIL_TESTS=OFF >/dev/null
	cmake --build build-dist-windows -j$$(nproc)
	cd build-dist-windows && cpack

clean:
	rm -rf build build-* dist
