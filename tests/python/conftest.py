# The tests import their shared helpers as `support`, whatever import mode
# pytest runs in.
import os
import pathlib
import sys

from hypothesis import HealthCheck, settings

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

# Property tests: no deadline (debug and sanitizer builds are slow), a
# moderate number of examples by default; QUILLMORE_HYPOTHESIS=thorough for
# a long run.
settings.register_profile("quick", deadline=None, max_examples=100, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("thorough", parent=settings.get_profile("quick"), max_examples=5000)
settings.load_profile(os.environ.get("QUILLMORE_HYPOTHESIS", "quick"))
