"""Before any test module is imported: LSL, should anything load it, stays on
the loopback interface of this machine (see lsl_env)."""
from .lsl_env import confine

confine()
