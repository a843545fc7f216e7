"""Utilities of the host package."""

import logging

# The logger through which c_sdk reports failed SDK calls (at debug level).
qvsdklogger = logging.getLogger("qvsdk")
