"""python -m com_like_host serve | run SCRIPT.py | demo | certs"""

import argparse
import errno
import runpy
import ssl
import sys
import time
import traceback
from pathlib import Path

RUN_EPILOG = ("Options of ours may come before or after the script's name; the script gets "
              "the other words, and everything after --, e.g. "
              "run my_script.py --port 8765 -- --verbose out.xlsx")


def _add_serve_options(p):
    p.add_argument("--host", default="127.0.0.1", help="address to bind (default: loopback)")
    p.add_argument("--port", type=int, default=8765, help="port (default 8765; 0 picks one)")
    p.add_argument("--cert", help="certificate file (PEM): serve https and wss (default: the "
                                  "one `certs` made, if any)")
    p.add_argument("--key", help="private key file (PEM) of --cert")
    p.add_argument("--no-tls", action="store_true",
                   help="serve plain http even when `certs` has made a certificate")
    p.add_argument("--token", help="token for the pane URL (default: your stable token, kept "
                                    "in the config directory)")
    p.add_argument("--office-js", help="serve this file (and its folder) in place of the "
                                       "hosted office.js")
    p.add_argument("--allow-origin", action="append", default=[],
                   help="a further origin allowed to connect (repeatable)")
    p.add_argument("--manifest", help="write manifest.xml for this origin to this file")


def _tls_files(args):
    """(certfile, keyfile) to serve with, or (None, None); explicit files
    win over the ones `certs` made, and --no-tls over both."""
    if bool(args.cert) != bool(args.key):
        raise SystemExit("--cert and --key go together")
    if args.cert:
        if args.no_tls:
            raise SystemExit("--no-tls contradicts --cert/--key")
        for what, path in (("certificate", args.cert), ("key", args.key)):
            if not Path(path).is_file():
                raise SystemExit("error: %s file not found: %s" % (what, path))
        return args.cert, args.key
    if args.no_tls:
        return None, None
    from . import certs
    found = certs.made_pair()
    if found is None:
        return None, None
    warning = certs.expiry_warning(found[0])
    if warning:
        print("warning: %s" % warning, file=sys.stderr)
    return found


def _start(args):
    from .config import stable_token
    from .server import serve
    certfile, keyfile = _tls_files(args)
    if args.office_js and not Path(args.office_js).is_file():
        raise SystemExit("error: --office-js file not found: %s" % args.office_js)
    if args.manifest and not certfile:
        # Said before serving: Excel loads a pane only over https.
        raise SystemExit("error: --manifest needs https: Excel loads add-ins only over https; "
                         "make certificates with `python -m com_like_host certs`, or give "
                         "--cert and --key")
    try:
        h = serve(host=args.host, port=args.port, token=args.token or stable_token(),
                  office_js=args.office_js, certfile=certfile, keyfile=keyfile,
                  allowed_origins=args.allow_origin)
    except ssl.SSLError as e:
        raise SystemExit("error: cannot serve with certificate %s and key %s: %s"
                         % (certfile, keyfile, e))
    except OSError as e:
        if e.errno == errno.EADDRINUSE:
            raise SystemExit(
                "error: port %d is in use: is another `python -m com_like_host serve` (or "
                "`run`) running? Stop it, or pick another port with --port (0 picks a free "
                "one; the pane's URL and a sideloaded manifest name the port)." % args.port)
        if e.errno == errno.EADDRNOTAVAIL:
            raise SystemExit("error: cannot bind to %s: no such address on this machine"
                             % args.host)
        raise
    if args.manifest:
        try:
            h.write_manifest(args.manifest)
        except OSError as e:
            h.close()
            raise SystemExit("error: cannot write the manifest: %s" % e) from None
        print("manifest written to %s" % args.manifest)
    if not certfile:
        print("note: Excel loads add-ins over https only; make certificates with "
              "`python -m com_like_host certs` (or use --cert/--key) for a real workbook")
    else:
        print("serving https and wss with %s" % certfile)
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
    if not Path(args.script).is_file():
        raise SystemExit("error: script not found: %s" % args.script)
    h = _start(args)
    from . import _set_current_host
    try:
        print("waiting up to %.0f s for the add-in: open the task pane in Excel" % args.timeout,
              flush=True)
        if not h.wait_connected(args.timeout):
            print("error: no add-in connected within %.0f s (is the task pane open, and does "
                  "it show 'connected'?)" % args.timeout, file=sys.stderr)
            return 3
        _set_current_host(h)
        return _run_script(args.script, args.args)
    finally:
        _set_current_host(None)
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
    except Exception as e:
        traceback.print_exc()
        from . import current_host
        from .core import stale_note
        note = stale_note(current_host(), e)
        if note:
            print(note, file=sys.stderr)
        return 1
    finally:
        sys.argv = old_argv


def cmd_demo(args):
    from .demo import main as demo_main
    return demo_main(timeout=args.timeout)


def cmd_certs(args):
    from . import certs
    return certs.main(install=args.install, force=args.force)


def _parse_run(run_parser, argv):
    """``run``'s words: ours anywhere before a ``--``, the script's the rest.
    argparse's REMAINDER would hand the script every option after its name."""
    argv = list(argv)
    tail = []
    if "--" in argv:
        cut = argv.index("--")
        argv, tail = argv[:cut], argv[cut + 1:]
    args = run_parser.parse_intermixed_args(argv)
    args.args = list(args.args) + tail
    if args.script is None:
        if not args.args:
            run_parser.error("the script to run is missing")
        args.script = args.args.pop(0)
    return args


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    parser = argparse.ArgumentParser(prog="python -m com_like_host",
                                     description="Serve the com_like add-in and its WebSocket.")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("serve", help="print the pane URL and serve until interrupted",
                       allow_abbrev=False)
    _add_serve_options(p)
    p.set_defaults(fn=cmd_serve)
    run = sub.add_parser("run", help="serve, wait for the add-in, run a script, exit with its "
                                     "status", epilog=RUN_EPILOG, allow_abbrev=False)
    _add_serve_options(run)
    run.add_argument("--timeout", type=float, default=120.0,
                     help="seconds to wait for the add-in (default 120)")
    run.add_argument("script", nargs="?", help="the Python script to run")
    run.add_argument("args", nargs="*", help="the script's arguments")
    run.set_defaults(fn=cmd_run)
    p = sub.add_parser("demo", help="run the simulated-workbook demo's script through the real "
                                    "stack in headless Chromium, with the Office.js stand-in")
    p.add_argument("--timeout", type=float, default=60.0)
    p.set_defaults(fn=cmd_demo)
    p = sub.add_parser("certs", help="make (or renew) a local development CA and a "
                                     "certificate for localhost, and say how to trust the CA")
    p.add_argument("--install", action="store_true",
                   help="also add the CA to this user's trust store (may ask for a password)")
    p.add_argument("--force", action="store_true", help="make a new CA and certificate")
    p.set_defaults(fn=cmd_certs)
    if argv[:1] == ["run"]:
        args = _parse_run(run, argv[1:])
    else:
        args = parser.parse_args(argv)
    return args.fn(args)


if __name__ == "__main__":
    sys.exit(main())
