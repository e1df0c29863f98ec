#!/usr/bin/python3
"""An SMTP server that plays a man in the middle of STARTTLS: its "220" to STARTTLS comes with a
forged plain-text reply in the same packet, as if injected on the way. A client that read those
bytes after the switch would take them for the server's answer to its next command.

    starttls_injector.py PORT CERT KEY LOG

Writes every line it receives inside the channel to LOG; prints "ready" once it listens."""
import socket
import ssl
import sys

port, cert, key, log = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port))
listener.listen(1)
print("ready", flush=True)
context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
context.load_cert_chain(cert, key)
while True:
    plain, _ = listener.accept()
    try:
        reader = plain.makefile("rb")
        plain.sendall(b"220 mail.test ESMTP\r\n")
        reader.readline()                                   # EHLO
        plain.sendall(b"250-mail.test\r\n250 STARTTLS\r\n")
        reader.readline()                                   # STARTTLS
        plain.sendall(b"220 Go ahead\r\n250 forged\r\n")    # the forged reply rides along
        secure = context.wrap_socket(plain, server_side=True)
        lines = secure.makefile("rb")
        # EHLO, AUTH LOGIN, the user name, the password: each gets the next answer in turn.
        answers = [b"250-mail.test\r\n250 AUTH LOGIN\r\n", b"334 VXNlcm5hbWU6\r\n", b"334 UGFzc3dvcmQ6\r\n",
                   b"535 5.7.8 Authentication credentials invalid\r\n"]
        for answer in answers:
            line = lines.readline()
            if not line:
                break
            with open(log, "a") as f:
                f.write(line.decode(errors="replace"))
            secure.sendall(answer)
        secure.close()
    except (OSError, ssl.SSLError):
        plain.close()
