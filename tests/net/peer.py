#!/usr/bin/env python3
"""A loopback peer for the transport tests, driven line by line over a control connection.

Usage: peer.py CONTROL_PORT. The peer connects to 127.0.0.1:CONTROL_PORT, listens on 127.0.0.1
and ::1 and reports "ports V4 V6", then answers each command with one line. It exits when the
control connection closes, or after an hour at the latest, so a crashed test leaves nothing behind.

Commands (one data connection at a time):
  certs DIR          make the test CA and server certificates in DIR (PEM and DER); the
                     intermediate of "interstored" is left in DIR/interstored-ca.der
  accept4 | accept6  accept the next data connection on that family's listener
  send HEX           send the bytes
  fill N             send N bytes "x"; a client that gives up first ends it early
  recv N             read exactly N bytes (fewer at end of stream); "data HEX"
  recvhead           read up to and including the first empty line (CR LF CR LF); "data HEX"
  drain              read until the client closes; "data HEX"
  close              close the data connection (FIN)
  tls CERT KEY [OPT] TLS server handshake on the data connection; "ok SNI" or "err REASON". OPT:
                     tls1.2 or tls1.3 (that version only), dhe1024 (TLS 1.2, DHE suites only,
                     a 1024-bit group); the peer's own security level is 0 so that it offers
                     whatever weak key or group the test asks for
  tlsanon            TLS 1.2 server handshake offering only suites without authentication
  tlsclose           send close-notify and keep the TCP connection
"""
import datetime
import ipaddress
import os
import socket
import ssl
import sys
import threading

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import dh, ec, rsa
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
from cryptography.x509.oid import NameOID


def make_cert(subject, key, issuer, issuer_key, days_from, days_to, names=None, ips=None, ca=False):
    now = datetime.datetime.now(datetime.timezone.utc)
    builder = (x509.CertificateBuilder()
               .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, subject)]))
               .issuer_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, issuer)]))
               .public_key(key.public_key())
               .serial_number(x509.random_serial_number())
               .not_valid_before(now + datetime.timedelta(days=days_from))
               .not_valid_after(now + datetime.timedelta(days=days_to))
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
    alt = [x509.DNSName(n) for n in names or []] + [x509.IPAddress(ipaddress.ip_address(a)) for a in ips or []]
    if alt:
        builder = builder.add_extension(x509.SubjectAlternativeName(alt), critical=False)
    if ca:
        builder = builder.add_extension(
            x509.KeyUsage(digital_signature=True, key_cert_sign=True, crl_sign=True, content_commitment=False,
                          key_encipherment=False, data_encipherment=False, key_agreement=False,
                          encipher_only=False, decipher_only=False), critical=True)
    cert = builder.sign(issuer_key, hashes.SHA256())
    # Wine's crypt32 rejects an ECDSA signature whose r or s is shorter than the curve's size in bytes
    # (about one in a hundred), so a chain that Windows trusts would at times be refused. ECDSA signing
    # is randomised: signing again gives a full-width pair.
    if isinstance(issuer_key, ec.EllipticCurvePrivateKey):
        width = (issuer_key.curve.key_size + 7) // 8
        while any((n.bit_length() + 7) // 8 < width for n in decode_dss_signature(cert.signature)):
            cert = builder.sign(issuer_key, hashes.SHA256())
    return cert


# The 1024-bit MODP group of RFC 2409 (its second Oakley group), generator 2.
MODP1024 = int(
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A08798E3404DD"
    "EF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
    "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381FFFFFFFFFFFFFFFF", 16)


def write(directory, name, cert, key, sent=()):
    """The certificate, then any other certificate the server sends with it, in NAME.pem."""
    with open(os.path.join(directory, name + ".pem"), "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
        for other in sent:
            f.write(other.public_bytes(serialization.Encoding.PEM))
    with open(os.path.join(directory, name + ".der"), "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.DER))
    with open(os.path.join(directory, name + ".key"), "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))


def make_certs(directory):
    os.makedirs(directory, exist_ok=True)
    ca_key = ec.generate_private_key(ec.SECP256R1())
    # A name of its own for every run: a root that an aborted run left behind must not be taken
    # for this run's issuer.
    ca_name = "Volarix Test Root " + os.urandom(6).hex()
    ca = make_cert(ca_name, ca_key, ca_name, ca_key, -1, 30, ca=True)
    write(directory, "ca", ca, ca_key)
    loopback = dict(names=["localhost"], ips=["127.0.0.1", "::1"])
    # Two intermediates: the test trusts the first in the machine's CA store, the second is nowhere.
    intermediates = {}
    for role in ("stored", "missing"):
        name = "%s Intermediate %s" % (ca_name, role)
        key = ec.generate_private_key(ec.SECP256R1())
        intermediates[role] = (name, make_cert(name, key, ca_name, ca_key, -1, 30, ca=True), key)
    stored, missing = intermediates["stored"], intermediates["missing"]
    write(directory, "interstored-ca", stored[1], stored[2])
    ec_key = lambda: ec.generate_private_key(ec.SECP256R1())
    rsa_key = lambda bits: lambda: rsa.generate_private_key(public_exponent=65537, key_size=bits)
    # name, key maker, issuer (name, certificate, key) or None for self-signed, validity, names,
    # certificates sent after the leaf
    root = (ca_name, ca, ca_key)
    for name, new_key, issuer, start, end, alt, sent in [
        ("server", ec_key, root, -1, 30, loopback, ()),
        ("expired", ec_key, root, -30, -1, loopback, ()),
        ("notyet", ec_key, root, 1, 30, loopback, ()),
        ("otherhost", ec_key, root, -1, 30, dict(names=["other.example"]), ()),
        ("selfsigned", ec_key, None, -1, 30, loopback, ()),
        ("rsa1024", rsa_key(1024), root, -1, 30, loopback, ()),
        ("rsa2048", rsa_key(2048), root, -1, 30, loopback, ()),
        ("rsa4096", rsa_key(4096), root, -1, 30, loopback, ()),
        ("interstored", ec_key, stored, -1, 30, loopback, ()),
        ("intermissing", ec_key, missing, -1, 30, loopback, ()),
        ("intersent", ec_key, missing, -1, 30, loopback, (missing[1],)),
    ]:
        key = new_key()
        if issuer is None:
            cert = make_cert("localhost", key, "localhost", key, start, end, **alt)
        else:
            cert = make_cert("localhost", key, issuer[0], issuer[2], start, end, **alt)
        write(directory, name, cert, key, sent)
    with open(os.path.join(directory, "dh1024.pem"), "wb") as f:
        f.write(dh.DHParameterNumbers(MODP1024, 2).parameters().parameter_bytes(
            serialization.Encoding.PEM, serialization.ParameterFormat.PKCS3))


class Connection:
    """The data connection and the bytes read past what a command asked for."""

    def __init__(self, sock):
        self.sock = sock
        self.pending = b""

    def recv_exact(self, n):
        while len(self.pending) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                break
            self.pending += chunk
        data, self.pending = self.pending[:n], self.pending[n:]
        return data

    def recv_head(self):
        while b"\r\n\r\n" not in self.pending:
            chunk = self.sock.recv(65536)
            if not chunk:
                data, self.pending = self.pending, b""
                return data
            self.pending += chunk
        end = self.pending.index(b"\r\n\r\n") + 4
        data, self.pending = self.pending[:end], self.pending[end:]
        return data


def main():
    control = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
    control.settimeout(3600)
    listeners = {}
    for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
        s = socket.socket(family, socket.SOCK_STREAM)
        s.bind((host, 0))
        s.listen(8)
        s.settimeout(60)
        listeners[family] = s
    reader = control.makefile("r")

    def reply(text):
        control.sendall((text + "\n").encode())

    reply("ports %d %d" % (listeners[socket.AF_INET].getsockname()[1],
                           listeners[socket.AF_INET6].getsockname()[1]))
    conn = None
    data_conn = None
    for line in reader:
        words = line.split()
        if not words:
            continue
        cmd, args = words[0], words[1:]
        try:
            if cmd == "certs":
                make_certs(args[0])
                reply("ok")
            elif cmd in ("accept4", "accept6"):
                family = socket.AF_INET if cmd == "accept4" else socket.AF_INET6
                conn, _ = listeners[family].accept()
                conn.settimeout(60)
                data_conn = Connection(conn)
                reply("ok")
            elif cmd == "send":
                conn.sendall(bytes.fromhex(args[0]) if args else b"")
                reply("ok")
            elif cmd == "fill":
                try:
                    conn.sendall(b"x" * int(args[0]))
                except ConnectionError:
                    pass
                reply("ok")
            elif cmd == "recv":
                reply("data " + data_conn.recv_exact(int(args[0])).hex())
            elif cmd == "recvhead":
                reply("data " + data_conn.recv_head().hex())
            elif cmd == "drain":
                data, data_conn.pending = data_conn.pending, b""
                while True:
                    try:
                        chunk = conn.recv(65536)
                    except (ConnectionError, ssl.SSLError):
                        break
                    if not chunk:
                        break
                    data += chunk
                reply("data " + data.hex())
            elif cmd == "close":
                conn.close()
                conn = None
                reply("ok")
            elif cmd == "tls":
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                context.set_ciphers("DEFAULT:@SECLEVEL=0")
                for option in args[2:]:
                    if option in ("tls1.2", "tls1.3"):
                        version = getattr(ssl.TLSVersion, "TLSv1_" + option[-1])
                        context.minimum_version = context.maximum_version = version
                    elif option == "dhe1024":
                        context.maximum_version = ssl.TLSVersion.TLSv1_2
                        context.set_ciphers("DHE-RSA-AES128-GCM-SHA256:@SECLEVEL=0")
                        context.load_dh_params(os.path.join(os.path.dirname(args[0]), "dh1024.pem"))
                    else:
                        raise ValueError("unknown option " + option)
                context.load_cert_chain(args[0], args[1])
                seen = []
                context.sni_callback = lambda s, name, c: seen.append(name)
                try:
                    conn = context.wrap_socket(conn, server_side=True)
                    data_conn = Connection(conn)
                    reply("ok " + (seen[0] if seen and seen[0] else "-"))
                except (ssl.SSLError, ConnectionError, OSError) as e:
                    reply("err " + type(e).__name__)
            elif cmd == "tlsanon":
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                context.maximum_version = ssl.TLSVersion.TLSv1_2
                context.set_ciphers("aNULL:@SECLEVEL=0")
                try:
                    conn = context.wrap_socket(conn, server_side=True)
                    data_conn = Connection(conn)
                    reply("ok")
                except (ssl.SSLError, ConnectionError, OSError) as e:
                    reply("err " + type(e).__name__)
            elif cmd == "tlsclose":
                # unwrap waits for the client's close-notify in turn; the client may never send it.
                threading.Thread(target=conn.unwrap, daemon=True).start()
                reply("ok")
            else:
                reply("err unknown")
        except Exception as e:  # the test reads the failure instead of hanging
            reply("err %s %s" % (type(e).__name__, str(e).replace("\n", " ")))


if __name__ == "__main__":
    try:
        main()
    except ConnectionError:
        pass  # the test went away without closing; nothing to clean up

