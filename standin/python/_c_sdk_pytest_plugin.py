"""The pytest plugin of the c-sdk distribution (entry point "qvsdk_standin").

A wheel built against the stand-in SDK holds the package qvsdk_standin, whose harness this
registers (qvsdk_standin.pytest_plugin: the check that fails a test whose event callable raised,
and the fixture `standin`). A wheel built against the vendor's SDK holds no stand-in: this then
registers nothing, and pytest still starts wherever that wheel is installed (an entry point
naming a missing module would stop it).
"""

import importlib.util

if importlib.util.find_spec("qvsdk_standin") is not None:
    from qvsdk_standin.pytest_plugin import (
        pytest_configure,
        pytest_runtest_call,
        pytest_runtest_setup,
        pytest_runtest_teardown,
        pytest_unconfigure,
        standin,
    )

    __all__ = [
        "pytest_configure",
        "pytest_runtest_call",
        "pytest_runtest_setup",
        "pytest_runtest_teardown",
        "pytest_unconfigure",
        "standin",
    ]
