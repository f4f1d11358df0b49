# Every target runs inside the project's toolchain (scripts/devroot): the host's own when it
# has CPython 3.14 and the libraries, otherwise a cached Debian sid root made on first use.
DEVROOT := scripts/devroot

.PHONY: test demo bench fuzz setup clean

test:
	$(DEVROOT) scripts/run-tests

setup:
	$(DEVROOT) --setup

clean:
	rm -rf build build-* dist
