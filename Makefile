.PHONY: report test dev format tidy lint clean

# The main job: a self-contained HTML report of the shipped sample.
report:
	tools/report.sh

# The whole test suite on the oldest and the newest supported CPython.
test:
	tools/test.sh

# Rebuild into a kept environment and run pytest: make dev PY=3.13 ARGS="tests/runtime -x"
PY ?= 3.13
dev:
	tools/dev.sh $(PY) $(ARGS)

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.hpp')
	tools/lint-py.sh --fix

lint:
	tools/lint-js.sh
	tools/lint-py.sh

tidy:
	tools/tidy.sh

clean:
	rm -rf build .venv
