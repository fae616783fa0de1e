"""The suite's hooks: the module under test in the header, and a check that an installed wheel
is the one under test. What the test files share is in helpers.py."""
import os

import pytest


def pytest_report_header(config):
    import loss
    return "loss: " + loss.__file__


def pytest_configure(config):
    # Set where an installed wheel is under test: nothing of the checkout may stand in for it.
    if os.environ.get("LOSS_TEST_INSTALLED"):
        import sysconfig
        import loss
        site = os.path.realpath(sysconfig.get_paths()["platlib"])
        if os.path.dirname(os.path.realpath(loss.__file__)) != site:
            raise pytest.UsageError("loss comes from %s, not from the installed wheel in %s" % (loss.__file__, site))
