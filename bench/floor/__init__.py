"""The call-overhead floor extension, built by the benchmark itself (never shipped)."""
