"""Helpers shared across the host framework (stand-in)."""
