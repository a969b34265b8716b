"""python -m com_like_sim demo"""

import sys


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] != ["demo"] or len(argv) > 1:
        print("usage: python -m com_like_sim demo\n\n"
              "  demo   run a short script against a simulated workbook", file=sys.stderr)
        return 2
    from .demo import main as demo_main
    return demo_main()


if __name__ == "__main__":
    sys.exit(main())
