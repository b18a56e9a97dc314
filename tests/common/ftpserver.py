#!/usr/bin/python3
"""Throwaway FTP server for the tests, on 127.0.0.1 and a port the system picks.

Run it with Debian's own interpreter (/usr/bin/python3), which has python3-pyftpdlib.

The first line on standard output is "PORT <number>". Every later line is one event:
    CONNECT <address>        a client connected
    CMD <line>               a command line arrived (the argument of PASS is masked)
    LOGIN <user>             a login succeeded
    LOGIN-FAILED <user>      a login was refused
    RECEIVED <path>          an upload completed (path relative to the root)
    INCOMPLETE <path>        an upload ended before its end
    DISCONNECT               a client went away
The server ends when its standard input closes, so it never outlives the test that started it.
"""

import argparse
import fnmatch
import logging
import os
import socket
import sys
import threading
import time


def emit(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def exit_when_stdin_closes():
    def watch():
        try:
            while sys.stdin.buffer.read(4096):
                pass
        finally:
            os._exit(0)

    threading.Thread(target=watch, daemon=True).start()


def serve_silently():
    """Accept connections and never say a word: a server that has hung."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    emit("PORT %d" % listener.getsockname()[1])
    held = []
    while True:
        conn, addr = listener.accept()
        held.append(conn)
        emit("CONNECT %s" % addr[0])


def serve_ftp(args):
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import DTPHandler, FTPHandler, ThrottledDTPHandler
    from pyftpdlib.log import config_logging
    from pyftpdlib.servers import FTPServer

    # Standard output carries the events; keep pyftpdlib's chatter off standard error too,
    # except for real trouble.
    config_logging(level=logging.WARNING)

    root = os.path.realpath(args.root)

    def relative(path):
        return os.path.relpath(os.path.realpath(path), root).replace(os.sep, "/")

    dtp_base = ThrottledDTPHandler if args.read_limit > 0 else DTPHandler

    class DataHandler(dtp_base):
        read_limit = args.read_limit
        if args.steady_rate > 0:
            ac_in_buffer_size = 8192  # a little at a time

        def handle_read(self):
            super().handle_read()
            if (args.stall_after > 0 and self.receive and not self._closed
                    and self.tot_bytes_received >= args.stall_after):
                # Stop reading and say nothing: the client's writes back up and stall.
                self.del_channel()
                return
            if (args.drop_after > 0 and self.receive and not self._closed
                    and self.tot_bytes_received >= args.drop_after):
                # Cut the data connection as a failing network would, and say so on the
                # control connection.
                self._resp = ("426 Connection closed; transfer aborted.", lambda *a: None)
                self.close()

            if args.steady_rate > 0 and self.receive and not self._closed:
                # Takes in no more than the rate allows, a little at a time, as a slow link does.
                if not hasattr(self, "steady_start"):
                    self.steady_start = time.monotonic()
                ahead = (self.tot_bytes_received / args.steady_rate
                         - (time.monotonic() - self.steady_start))
                if ahead > 0:
                    self.del_channel()
                    self.ioloop.call_later(ahead, self.resume_reading)

        def resume_reading(self):
            # Closed meanwhile (the client cut the connection), its descriptor may already
            # belong to the next data connection: taking it back would steal that one's reads.
            if not self._closed:
                self.add_channel(events=self.ioloop.READ)

        handle_read_event = handle_read  # pyftpdlib's loop calls this name

    class Handler(FTPHandler):
        dtp_handler = DataHandler
        auth_failed_timeout = 0
        banner = args.greeting

        def respond(self, resp, *rest, **kwargs):
            if args.echo_password and resp.startswith("530 ") and hasattr(
                    self, "refused_password"):
                resp = '530 Password "%s" is wrong.' % self.refused_password
            if (args.withhold_transfer_reply and resp.startswith("226 ")
                    and getattr(self, "last_command", "") == "STOR"):
                return None  # the page arrived whole, but the client is never told
            if args.reply_delay > 0:
                time.sleep(args.reply_delay)
            return super().respond(resp, *rest, **kwargs)

        def on_connect(self):
            emit("CONNECT %s" % self.remote_ip)

        def on_disconnect(self):
            emit("DISCONNECT")

        def pre_process_command(self, line, cmd, arg):
            self.last_command = cmd
            if cmd == "PASS":
                emit("CMD PASS ******")
            else:
                emit("CMD %s" % line)
            return super().pre_process_command(line, cmd, arg)

        def on_login_failed(self, username, password):
            emit("LOGIN-FAILED %s" % username)

        def on_file_received(self, file):
            emit("RECEIVED %s" % relative(file))

        def on_incomplete_file_received(self, file):
            emit("INCOMPLETE %s" % relative(file))

        def on_login(self, username):
            if args.login_dir:
                self.fs.cwd = "/" + args.login_dir
            emit("LOGIN %s" % username)

        def handle_auth_failed(self, msg, password):
            self.refused_password = password
            return super().handle_auth_failed(msg, password)

        def ftp_STOR(self, file, mode="w"):
            if args.refuse_dot_files and os.path.basename(file).startswith("."):
                self.respond("553 Dot files are not allowed.")
                return None
            if args.refuse_new_files and not os.path.exists(file):
                # As vsftpd answers where the login may not write into the folder.
                self.respond("553 Could not create file.")
                return None
            return super().ftp_STOR(file, mode)

        def ftp_RNTO(self, path):
            # Some servers will not rename onto a name that is taken.
            if args.refuse_rename_onto_existing and self._rnfr and self.fs.lexists(path):
                self._rnfr = None
                self.respond("553 Destination file exists.")
                return None
            if self._rnfr and (
                    (args.refuse_rename_from and fnmatch.fnmatchcase(
                        os.path.basename(self._rnfr), args.refuse_rename_from))
                    or (args.refuse_rename_to and fnmatch.fnmatchcase(
                        os.path.basename(path), args.refuse_rename_to))):
                self._rnfr = None
                self.respond(args.rename_refusal)
                return None
            return super().ftp_RNTO(path)

    if args.without_mlst:
        Handler.proto_cmds = {cmd: info for cmd, info in FTPHandler.proto_cmds.items()
                              if cmd not in ("MLST", "MLSD")}
    if args.passive_ports:
        first, last = (int(port) for port in args.passive_ports.split("-"))
        Handler.passive_ports = range(first, last + 1)
    if args.umask is not None:
        os.umask(int(args.umask, 8))

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, root, perm=args.perm)
    Handler.authorizer = authorizer

    server = FTPServer(("127.0.0.1", 0), Handler)
    emit("PORT %d" % server.address[1])
    server.serve_forever(handle_exit=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", required=True, help="folder the user logs into")
    parser.add_argument("--user", default="vantrell")
    parser.add_argument("--password", default="vantrell")
    parser.add_argument("--perm", default="elradfmwMT", help="pyftpdlib permission letters")
    parser.add_argument("--silent", action="store_true",
                        help="accept connections and never answer")
    parser.add_argument("--reply-delay", type=float, default=0.0,
                        help="seconds to wait before every reply")
    parser.add_argument("--drop-after", type=int, default=0,
                        help="cut every upload's data connection after this many bytes")
    parser.add_argument("--stall-after", type=int, default=0,
                        help="stop reading every upload after this many bytes, silently")
    parser.add_argument("--read-limit", type=int, default=0,
                        help="receive at most this many bytes per second")
    parser.add_argument("--steady-rate", type=int, default=0,
                        help="receive uploads at this many bytes per second, evenly")
    parser.add_argument("--refuse-rename-onto-existing", action="store_true",
                        help="refuse RNTO when the destination exists")
    parser.add_argument("--refuse-rename-from", metavar="GLOB",
                        help="refuse RNTO when the name renamed matches GLOB")
    parser.add_argument("--refuse-rename-to", metavar="GLOB",
                        help="refuse RNTO when the new name matches GLOB")
    parser.add_argument("--rename-refusal", default="553 File name not allowed.",
                        help="the reply to a refused RNTO")
    parser.add_argument("--refuse-dot-files", action="store_true",
                        help="refuse STOR of names that start with a dot")
    parser.add_argument("--refuse-new-files", action="store_true",
                        help="refuse STOR of names that do not exist yet, overwriting only")
    parser.add_argument("--umask", help="octal umask for the files the server creates")
    parser.add_argument("--without-mlst", action="store_true",
                        help="offer neither MLST nor MLSD")
    parser.add_argument("--withhold-transfer-reply", action="store_true",
                        help="never send the 226 that ends an upload (STOR)")
    parser.add_argument("--echo-password", action="store_true",
                        help="repeat a wrong password in the reply that refuses it")
    parser.add_argument("--passive-ports", metavar="FIRST-LAST",
                        help="the ports to listen on for data connections")
    parser.add_argument("--greeting", default="Vantrell test server ready.",
                        help="the text of the greeting after 220")
    parser.add_argument("--login-dir", default="",
                        help="folder below the root where a login starts; .. leads up from it")
    args = parser.parse_args()

    exit_when_stdin_closes()
    if args.silent:
        serve_silently()
    else:
        serve_ftp(args)


if __name__ == "__main__":
    main()
