import os
import sys

from hypothesis import HealthCheck, settings

# `make test-asan` points the suite at the sanitizer build instead of the installed module.
_module_dir = os.environ.get("TESSEL_MODULE_DIR")
if _module_dir:
    sys.path.insert(0, _module_dir)

import tessel  # noqa: E402

if _module_dir and os.path.dirname(os.path.abspath(tessel.__file__)) != os.path.abspath(_module_dir):
    raise RuntimeError(f"expected tessel from {_module_dir}, imported {tessel.__file__}")

# Under AddressSanitizer the process reserves terabytes of shadow address space.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

settings.register_profile("default", max_examples=300, deadline=None)
settings.register_profile(
    "sanitizer", max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


def pytest_report_header(config):
    # On a free-threaded interpreter the GIL stays off only if the module declares it needs none.
    gil = "enabled" if getattr(sys, "_is_gil_enabled", lambda: True)() else "disabled"
    return f"tessel: {tessel.__file__} (GIL {gil})"
