"""Simulator of the configuration daemon and the devices of a Corvanet network."""
