"""Remote side of an emulation: node actors and the operations they accept.

Kept free of imports so that modules needing only ``Service`` do not pull in Ray.
"""
