"""python -m com_like_host serve | run SCRIPT.py | demo"""

import argparse
import runpy
import sys
import time
import traceback


def _add_serve_options(p):
    p.add_argument("--host", default="127.0.0.1", help="address to bind (default: loopback)")
    p.add_argument("--port", type=int, default=8765, help="port (default 8765; 0 picks one)")
    p.add_argument("--cert", help="certificate file (PEM): serve https and wss")
    p.add_argument("--key", help="private key file (PEM) of --cert")
    p.add_argument("--token", help="token for the pane URL (default: your stable token, kept "
                                    "in the config directory)")
    p.add_argument("--office-js", help="serve this file (and its folder) in place of the "
                                       "hosted office.js")
    p.add_argument("--allow-origin", action="append", default=[],
                   help="a further origin allowed to connect (repeatable)")
    p.add_argument("--manifest", help="write manifest.xml for this origin to this file")


def _start(args):
    from .config import stable_token
    from .server import serve
    if bool(args.cert) != bool(args.key):
        raise SystemExit("--cert and --key go together")
    h = serve(host=args.host, port=args.port, token=args.token or stable_token(),
              office_js=args.office_js, certfile=args.cert, keyfile=args.key,
              allowed_origins=args.allow_origin)
    if args.manifest:
        h.write_manifest(args.manifest)
        print("manifest written to %s" % args.manifest)
    if not args.cert:
        print("note: Excel loads add-ins over https only; use --cert/--key for a real workbook")
    print("task pane: %s" % h.url, flush=True)
    return h


def cmd_serve(args):
    h = _start(args)
    try:
        print("serving until interrupted (Ctrl+C)", flush=True)
        was = False
        while True:
            time.sleep(0.5)
            now = h.connected
            if now != was:
                print("add-in %s" % ("connected" if now else "disconnected"), flush=True)
                was = now
    except KeyboardInterrupt:
        pass
    finally:
        h.close()
    return 0


def cmd_run(args):
    h = _start(args)
    try:
        print("waiting up to %.0f s for the add-in: open the task pane in Excel" % args.timeout,
              flush=True)
        if not h.wait_connected(args.timeout):
            print("error: no add-in connected within %.0f s (is the task pane open, and does "
                  "it show 'connected'?)" % args.timeout, file=sys.stderr)
            return 3
        return _run_script(args.script, args.args)
    finally:
        h.close()


def _run_script(path, argv):
    old_argv = sys.argv
    sys.argv = [path] + list(argv)
    try:
        runpy.run_path(path, run_name="__main__")
        return 0
    except SystemExit as e:
        code = e.code
        if code is None or isinstance(code, int):
            return code or 0
        print(code, file=sys.stderr)
        return 1
    except Exception:
        traceback.print_exc()
        return 1
    finally:
        sys.argv = old_argv


def cmd_demo(args):
    from .demo import main as demo_main
    return demo_main(timeout=args.timeout)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m com_like_host",
                                     description="Serve the com_like add-in and its WebSocket.")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("serve", help="print the pane URL and serve until interrupted")
    _add_serve_options(p)
    p.set_defaults(fn=cmd_serve)
    p = sub.add_parser("run", help="serve, wait for the add-in, run a script, exit with its status")
    _add_serve_options(p)
    p.add_argument("--timeout", type=float, default=120.0,
                   help="seconds to wait for the add-in (default 120)")
    p.add_argument("script")
    p.add_argument("args", nargs=argparse.REMAINDER)
    p.set_defaults(fn=cmd_run)
    p = sub.add_parser("demo", help="run the simulated-workbook demo's script through the real "
                                    "stack in headless Chromium, with the Office.js stand-in")
    p.add_argument("--timeout", type=float, default=60.0)
    p.set_defaults(fn=cmd_demo)
    args = parser.parse_args(argv)
    return args.fn(args)


if __name__ == "__main__":
    sys.exit(main())
