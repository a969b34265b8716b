# The fixture itself; importing it (rather than listing the plugin) works
# whether or not the installed entry point has registered the plugin too.
from com_like_sim.pytest_plugin import excel_sim, pytest_configure  # noqa: F401
