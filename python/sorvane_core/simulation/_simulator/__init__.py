"""Native remote-operation core used by emulated runs."""
