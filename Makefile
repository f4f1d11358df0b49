# Every target runs inside the project's toolchain (scripts/devroot): the host's own when it
# has CPython 3.14 and the libraries, otherwise a cached Debian sid root made on first use.
DEVROOT := scripts/devroot

.PHONY: test check demo docs bench fuzz setup clean shell

test:
	$(DEVROOT) scripts/run-tests
	tests/host/launchers.sh

# The fast loop while working: incremental build, C++ tests, Python tests without the slow ones,
# mypy. `make test` runs every check.
check:
	$(DEVROOT) scripts/check

demo:
	$(DEVROOT) sh -c 'scripts/build && PYTHONPATH=$$PWD/build/python python3.14 scripts/demo.py build/demo'

# The documentation (docs/, Sphinx with Markdown pages) as HTML in build/docs; the API reference
# is read from the freshly built package.
docs:
	$(DEVROOT) sh -c 'scripts/build && PYTHONPATH=$$PWD/build/python python3.14 -m sphinx -E -W --keep-going -q -b html docs build/docs'

bench:
	$(DEVROOT) scripts/bench

# FUZZ_SECONDS per harness (default 600).
fuzz:
	$(DEVROOT) scripts/fuzz $(FUZZ_SECONDS)

# A shell in the toolchain with the freshly built package: `tarnkv` on PATH, `python3.14`
# importing it. Starts in the repository; the host's /tmp, /home, /root, ... are visible.
shell:
	$(DEVROOT) sh -c 'scripts/build && mkdir -p build/bin && ln -sf ../../scripts/tarnkv build/bin/tarnkv && \
		PATH=$$PWD/build/bin:$$PATH PYTHONPATH=$$PWD/build/python$${PYTHONPATH:+:$$PYTHONPATH} exec bash'

setup:
	$(DEVROOT) --setup

clean:
	rm -rf build build-* dist
