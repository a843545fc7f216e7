"""Constants shared with the SDK."""

# The status every SDK function returns on success.
CSDK_OPERATE_SUCCESS = 0
