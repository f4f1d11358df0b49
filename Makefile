# Every target runs inside the project's toolchain (scripts/devroot): the host's own when it
# has CPython 3.14 and the libraries, otherwise a cached Debian sid root made on first use.
DEVROOT := scripts/devroot

.PHONY: test demo bench fuzz setup clean

test:
	$(DEVROOT) scripts/run-tests

demo:
	$(DEVROOT) sh -c 'scripts/build && PYTHONPATH=$$PWD/build/python python3.14 scripts/demo.py build/demo'

bench:
	$(DEVROOT) scripts/bench

# FUZZ_SECONDS per harness (default 600).
fuzz:
	$(DEVROOT) scripts/fuzz $(FUZZ_SECONDS)

setup:
	$(DEVROOT) --setup

clean:
	rm -rf build build-* dist
