"""The demo: an ordinary com_like user script run against a simulated
workbook (python -m com_like_sim demo); the script and its runner are the
host's (com_like_host.demo_script), shared with the live demo."""

import sys

from com_like_host.demo_script import DEADLINE, import_module, run_script


def main():
    com_like = import_module()
    if com_like is None:
        return 1
    from .host import LocalHost
    return run_script(com_like, LocalHost, DEADLINE)


if __name__ == "__main__":
    sys.exit(main())
