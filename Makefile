# The two commands of the README: `make run` (build and monitor the example configuration)
# and `make test` (install what the tests need, build every variant and run every test).
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

dist:
	scripts/dist.sh

clean:
	rm -rf build build-* dist
