#!/usr/bin/python3
"""Stand-ins on 127.0.0.1 for the places Vantrell asks for the public address.

    GET  /say/<text>               200, the body is <text> (percent-decoded)
    GET  /family/<v4>/<v6>         200, <v4> to a request over IPv4, <v6> to one over IPv6
    GET  /silent                   never answers
    GET  /endless                  200, a body that never ends
    GET  /igd/<address>/desc.xml   the device description of a UPnP internet gateway
    POST /igd/<address>/control    its WANIPConnection: GetExternalIPAddress answers <address>
                                   ("fault": UPnP error 501, "endless": a reply that never
                                   ends), or the address it was given since
    SUBSCRIBE /igd/<address>/evt   subscribes to its events (CALLBACK and NT) or renews (SID),
                                   then sends the first event with the external address
    UNSUBSCRIBE /igd/<address>/evt ends a subscription (SID)
    GET  /igd-set/<a>/<new>        the gateway <a> has the external address <new> from now on
    GET  /igd-announce/<a>/<new>   the same, and every subscriber hears of it
    GET  /igd-forget/<a>           the gateway <a> forgets its subscriptions, as on a restart
    anything else                  404

--https CERTFILE: the same over HTTPS on a second port. --ipv6: plain HTTP also on [::1], on the
same port as on 127.0.0.1, so that "localhost" reaches it over either family. --log FILE: every
request's path is added to FILE, one a line, before it is answered (SUBSCRIBE and UNSUBSCRIBE
as "SUBSCRIBE <path> <SID or new>", each event sent as "NOTIFY <SID> <status>"). --event-seconds N:
how long a subscription lasts (1800). --ssdp ADDRESS: also answer SSDP
searches (239.255.255.250:1900) with the gateway of that address. --natpmp ADDRESS: answer
NAT-PMP requests on 127.0.0.1:5351 with that external address. --stun: STUN servers that answer
badly, one UDP port each: "other" answers another transaction, "garbage" with bytes that are no
STUN, "huge" with a datagram of 3000 bytes, "private" maps to 192.168.1.2, "v6" to 2001:db8::1.
Standard output names the ports ("HTTP <port>", "HTTPS <port>", "STUN <kind> <port>"),
"SSDP-FAILED <reason>" or "NATPMP-FAILED <reason>" if those cannot be answered, then "READY".
The server ends when its standard input closes.
"""

import argparse
import http.client
import os
import random
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def emit(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


DESCRIPTION = """<?xml version="1.0"?>
<root xmlns="urn:schemas-upnp-org:device-1-0">
<specVersion><major>1</major><minor>0</minor></specVersion>
<device>
<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>
<friendlyName>Test gateway</friendlyName>
<UDN>uuid:00000000-0000-0000-0000-000000000001</UDN>
<deviceList><device>
<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>
<deviceList><device>
<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>
<serviceList><service>
<serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>
<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>
<controlURL>{base}/control</controlURL><eventSubURL>{base}/evt</eventSubURL>
<SCPDURL>{base}/scpd.xml</SCPDURL>
</service></serviceList>
</device></deviceList>
</device></deviceList>
</device>
</root>
"""

ENVELOPE = """<?xml version="1.0"?>
<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" \
s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>{body}</s:Body></s:Envelope>
"""

EXTERNAL_ADDRESS = ENVELOPE.format(
    body='<u:GetExternalIPAddressResponse xmlns:u="urn:schemas-upnp-org:service:WANIPConnection:1">'
    "<NewExternalIPAddress>{address}</NewExternalIPAddress></u:GetExternalIPAddressResponse>")

FAULT = ENVELOPE.format(
    body="<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
    '<UPnPError xmlns="urn:schemas-upnp-org:control-1-0"><errorCode>501</errorCode>'
    "<errorDescription>Action Failed</errorDescription></UPnPError></detail></s:Fault>")


# The gateways' external addresses as set since, and their subscriptions: SID -> (gateway,
# callback URL, next SEQ).
EXTERNAL = {}
SUBSCRIPTIONS = {}
LOCK = threading.Lock()
EVENT_SECONDS = 1800

PROPERTY_SET = """<?xml version="1.0"?>
<e:propertyset xmlns:e="urn:schemas-upnp-org:event-1-0"><e:property>\
<ExternalIPAddress>{address}</ExternalIPAddress></e:property><e:property>\
<ConnectionStatus>Connected</ConnectionStatus></e:property></e:propertyset>
"""


def log(line):
    if LOG:
        with open(LOG, "a") as f:
            f.write(line + "\n")


def send_event(sid):
    """Sends the gateway's address to one subscriber, as a NOTIFY of its own."""
    with LOCK:
        if sid not in SUBSCRIPTIONS:
            return
        gateway, callback, seq = SUBSCRIPTIONS[sid]
        SUBSCRIPTIONS[sid] = (gateway, callback, seq + 1)
        address = EXTERNAL.get(gateway, gateway)
    url = urllib.parse.urlsplit(callback)
    try:
        connection = http.client.HTTPConnection(url.hostname, url.port, timeout=5)
        connection.request("NOTIFY", url.path, PROPERTY_SET.format(address=address),
                           {"Content-Type": 'text/xml; charset="utf-8"', "NT": "upnp:event",
                            "NTS": "upnp:propchange", "SID": sid, "SEQ": str(seq)})
        status = connection.getresponse().status
        connection.close()
    except OSError as e:
        status = type(e).__name__
    log("NOTIFY %s %s" % (sid, status))


class Handler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def answer(self, status, body, content_type="text/plain"):
        data = body.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)

    def endless(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/xml")
        self.end_headers()
        chunk = b"1" * 65536
        try:
            while True:
                self.wfile.write(chunk)
        except OSError:
            pass

    def do_GET(self):
        if LOG:
            with open(LOG, "a") as log:
                log.write(self.path + "\n")
        parts = self.path.split("/")
        if self.path == "/endless":
            return self.endless()
        if len(parts) >= 3 and parts[1] == "say":
            self.answer(200, urllib.parse.unquote("/".join(parts[2:])))
        elif len(parts) == 4 and parts[1] == "family":
            self.answer(200, parts[3] if ":" in self.client_address[0] else parts[2])
        elif self.path == "/silent":
            threading.Event().wait()
        elif len(parts) == 4 and parts[1] == "igd" and parts[3] == "desc.xml":
            self.answer(200, DESCRIPTION.format(base="/igd/" + parts[2]), "text/xml")
        elif len(parts) == 4 and parts[1] in ("igd-set", "igd-announce"):
            with LOCK:
                EXTERNAL[parts[2]] = parts[3]
                told = [sid for sid, s in SUBSCRIPTIONS.items() if s[0] == parts[2]]
            if parts[1] == "igd-announce":
                for sid in told:
                    send_event(sid)
            self.answer(200, "%d told" % len(told))
        elif len(parts) == 3 and parts[1] == "igd-forget":
            with LOCK:
                for sid in [sid for sid, s in SUBSCRIPTIONS.items() if s[0] == parts[2]]:
                    del SUBSCRIPTIONS[sid]
            self.answer(200, "forgotten")
        else:
            self.answer(404, "no such page")

    def subscription(self):
        parts = self.path.split("/")
        if len(parts) != 4 or parts[1] != "igd" or parts[3] != "evt":
            return None
        return parts[2]

    def do_SUBSCRIBE(self):
        gateway = self.subscription()
        sid = self.headers.get("SID")
        log("SUBSCRIBE %s %s" % (self.path, sid or "new"))
        if gateway is None:
            return self.answer(404, "no such service")
        if sid:
            with LOCK:
                known = sid in SUBSCRIPTIONS
            if not known:
                return self.answer(412, "no such subscription")
        else:
            callback = self.headers.get("CALLBACK", "").strip("<>")
            if self.headers.get("NT") != "upnp:event" or not callback.startswith("http://"):
                return self.answer(412, "no callback")
            sid = "uuid:%08x" % random.getrandbits(32)
            with LOCK:
                SUBSCRIPTIONS[sid] = (gateway, callback, 0)
            threading.Timer(0.05, send_event, (sid,)).start()
        self.send_response(200)
        self.send_header("SID", sid)
        self.send_header("TIMEOUT", "Second-%d" % EVENT_SECONDS)
        self.send_header("Content-Length", "0")
        self.send_header("Connection", "close")
        self.end_headers()

    def do_UNSUBSCRIBE(self):
        sid = self.headers.get("SID", "")
        log("UNSUBSCRIBE %s %s" % (self.path, sid))
        with LOCK:
            known = SUBSCRIPTIONS.pop(sid, None) is not None
        self.answer(200 if known else 412, "")

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        self.rfile.read(length)
        parts = self.path.split("/")
        action = self.headers.get("SOAPAction", "").strip('"').split("#")[-1]
        if len(parts) != 4 or parts[1] != "igd" or parts[3] != "control":
            self.answer(404, "no such control")
        elif action == "GetExternalIPAddress" and parts[2] == "endless":
            self.endless()
        elif action == "GetExternalIPAddress" and parts[2] != "fault":
            with LOCK:
                address = EXTERNAL.get(parts[2], parts[2])
            self.answer(200, EXTERNAL_ADDRESS.replace("{address}", address), "text/xml")
        else:
            self.answer(500, FAULT, "text/xml")


LOG = None


class Server6(ThreadingHTTPServer):
    address_family = socket.AF_INET6


def plain_servers(ipv6):
    """The plain HTTP server on 127.0.0.1, and with ipv6 one on [::1] at the same port."""
    for _ in range(50):
        plain = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        if not ipv6:
            return [plain]
        try:
            return [plain, Server6(("::1", plain.server_address[1]), Handler)]
        except OSError:
            plain.server_close()
    raise OSError("no port free on both 127.0.0.1 and [::1]")


def serve(server):
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()


def answer_searches(address, http_port):
    """Answers every SSDP search with the gateway that has the given external address."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("", 1900))
    group = socket.inet_aton("239.255.255.250") + socket.inet_aton("127.0.0.1")
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, group)

    def loop():
        while True:
            data, sender = sock.recvfrom(4096)
            text = data.decode("latin-1")
            if not text.startswith("M-SEARCH"):
                continue
            st = "upnp:rootdevice"
            for line in text.split("\r\n"):
                if line.lower().startswith("st:"):
                    st = line[3:].strip()
            reply = ("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nEXT:\r\nST: %s\r\n"
                     "USN: uuid:00000000-0000-0000-0000-000000000001::%s\r\n"
                     "SERVER: Linux UPnP/1.0 test/1.0\r\n"
                     "LOCATION: http://127.0.0.1:%d/igd/%s/desc.xml\r\n\r\n"
                     % (st, st, http_port, address))
            sock.sendto(reply.encode("latin-1"), sender)

    threading.Thread(target=loop, daemon=True).start()


COOKIE = 0x2112A442


def stun_reply(kind, request, sender):
    transaction = request[8:20]
    if kind == "other":
        transaction = bytes(12)
    if kind == "garbage":
        return b"HTTP/1.1 400 Bad Request\r\n\r\n"
    if kind in ("private", "huge"):
        family, raw = 1, socket.inet_aton("192.168.1.2")
    elif kind == "v6":
        family, raw = 2, socket.inet_pton(socket.AF_INET6, "2001:db8::1")
    else:
        family, raw = 1, socket.inet_aton(sender[0])
    mask = struct.pack("!I", COOKIE) + transaction
    xored = bytes(b ^ m for b, m in zip(raw, mask))
    value = struct.pack("!BBH", 0, family, sender[1] ^ (COOKIE >> 16)) + xored
    attributes = struct.pack("!HH", 0x0020, len(value)) + value
    if kind == "huge":
        attributes += struct.pack("!HH", 0x8022, 2976) + b"x" * 2976
    return struct.pack("!HHI", 0x0101, len(attributes), COOKIE) + transaction + attributes


def answer_stun(kind):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))

    def loop():
        while True:
            data, sender = sock.recvfrom(2048)
            if len(data) >= 20:
                sock.sendto(stun_reply(kind, data, sender), sender)

    threading.Thread(target=loop, daemon=True).start()
    emit("STUN %s %d" % (kind, sock.getsockname()[1]))


def answer_natpmp(address):
    """"short:ADDRESS" first answers with the header alone, eight bytes, then in full."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 5351))
    start = time.monotonic()
    short = address.startswith("short:")
    address = address.split(":")[-1]

    def loop():
        while True:
            data, sender = sock.recvfrom(64)
            if data[:2] == b"\0\0":
                reply = struct.pack("!BBHI", 0, 128, 0, int(time.monotonic() - start))
                if short:
                    sock.sendto(reply, sender)
                    time.sleep(0.05)
                sock.sendto(reply + socket.inet_aton(address), sender)

    threading.Thread(target=loop, daemon=True).start()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--https", metavar="CERTFILE")
    parser.add_argument("--ssdp", metavar="ADDRESS")
    parser.add_argument("--natpmp", metavar="ADDRESS")
    parser.add_argument("--stun", action="store_true")
    parser.add_argument("--ipv6", action="store_true")
    parser.add_argument("--log", metavar="FILE")
    parser.add_argument("--event-seconds", type=int, default=1800)
    args = parser.parse_args()
    global LOG, EVENT_SECONDS
    LOG = args.log
    EVENT_SECONDS = args.event_seconds

    servers = plain_servers(args.ipv6)
    plain = servers[0]
    for server in servers:
        serve(server)
    emit("HTTP %d" % plain.server_address[1])
    if args.https:
        secure = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.https)
        secure.socket = context.wrap_socket(secure.socket, server_side=True)
        serve(secure)
        emit("HTTPS %d" % secure.server_address[1])
    if args.ssdp:
        try:
            answer_searches(args.ssdp, plain.server_address[1])
        except OSError as e:
            emit("SSDP-FAILED %s" % e)
    if args.natpmp:
        try:
            answer_natpmp(args.natpmp)
        except OSError as e:
            emit("NATPMP-FAILED %s" % e)
    if args.stun:
        for kind in ("other", "garbage", "huge", "private", "v6"):
            answer_stun(kind)
    emit("READY")

    try:
        while sys.stdin.buffer.read(4096):
            pass
    finally:
        os._exit(0)


if __name__ == "__main__":
    main()
