"""Callbacks that react to run events and to one another."""
