"""Events and callbacks that drive a run."""
