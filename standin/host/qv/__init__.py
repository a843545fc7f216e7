"""A small stand-in for the host package `qv`, for tests and the demo.

It provides only what c_sdk imports: qv.constant.CSDK_OPERATE_SUCCESS and qv.utils.qvsdklogger.
It is put on sys.path by the tests and the demo and never installed under this name.
"""
