# The two commands of the README.
.PHONY: demo check

demo:
	scripts/demo

check:
	scripts/check
