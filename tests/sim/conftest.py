import os
import sys

try:
    import com_like_sim  # noqa: F401  (installed with the project)
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..",
                                    "python_server", "veltrum"))

# The fixture itself; importing it (rather than listing the plugin) works
# whether or not the installed entry point has registered the plugin too.
from com_like_sim.pytest_plugin import excel_sim, pytest_configure  # noqa: E402,F401
