# The tests import their shared helpers as `support`, whatever import mode
# pytest runs in.
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
