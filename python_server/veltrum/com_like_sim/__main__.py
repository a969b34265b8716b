"""python -m com_like_sim demo | members [--json]"""

import sys

USAGE = ("usage: python -m com_like_sim {demo,members [--json]}\n\n"
         "  demo             run a short script against a simulated workbook\n"
         "  members          print the table of the simulated workbook's members\n"
         "  members --json   the same as the add-in reads it (com_like_host/addin/members.json)")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) == 1 and argv[0] in ("-h", "--help"):
        print(USAGE)
        return 0
    if argv == ["members", "--json"]:
        from .member_table import member_table_json_text
        sys.stdout.write(member_table_json_text())
        return 0
    if len(argv) != 1 or argv[0] not in ("demo", "members"):
        print(USAGE, file=sys.stderr)
        return 2
    if argv[0] == "members":
        from .member_table import member_table_markdown
        print(member_table_markdown())
        return 0
    from .demo import main as demo_main
    return demo_main()


if __name__ == "__main__":
    sys.exit(main())
