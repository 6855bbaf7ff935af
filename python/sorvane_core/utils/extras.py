"""The optional extras, as the errors that need one name them."""

ANALYSIS = "pip install 'sorvane_core[analysis]'"
RL = "pip install 'sorvane_core[rl]'"
