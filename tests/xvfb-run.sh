#!/usr/bin/env bash
# Runs one command under a private Xvfb server of its own, so that tests that
# need a display can run side by side: tests/xvfb-run.sh COMMAND ARGS...
exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" "$@"
